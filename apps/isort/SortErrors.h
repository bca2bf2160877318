// The two ways `isort sort` fails, as exceptions inside the command; SortCsv
// turns them into its exit statuses.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace isort::app {

// The input is not CSV as expected, or a key column is unknown; `line` is the
// line at fault, from 1 (0: not known yet). `tooLong`: the input is fine but
// a record at that line is longer than the memory budget allows.
class BadInput : public std::runtime_error {
 public:
  BadInput(std::uint64_t line, const std::string& what, bool tooLong = false)
      : std::runtime_error(what), line(line), tooLong(tooLong) {}
  std::uint64_t line;
  bool tooLong;
};

// Reading, writing or sorting failed for a reason outside the input's text.
class CannotSort : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace isort::app
