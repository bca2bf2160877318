// Command-line arguments of the isort command.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace isort::app {

// A bad command line; main prints the message and the usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "512M", "2G", "1.5G", "300000" (bytes); K, M, G, T are powers of 1024.
std::uint64_t ParseSize(const std::string& text);
// A positive whole number.
std::uint64_t ParseCount(const std::string& text);

// Walks the arguments of one subcommand: options with values, flags and
// positional arguments.
class Arguments {
 public:
  Arguments(int argc, char** argv, int first);

  // The value of `--name VALUE` or `--name=VALUE` (or -x VALUE with `shortName`).
  std::optional<std::string> Value(const std::string& name, const std::string& shortName = "");
  bool Flag(const std::string& name);
  // What is left after the options; an unknown option is a usage error.
  std::vector<std::string> Positional();

 private:
  std::vector<std::string> args_;
  std::vector<bool> used_;
};

}  // namespace isort::app
