// TiedRows: the last step of ordering before rows are written out. The
// engine orders rows by their key fields, which hold a bounded prefix of
// each code; rows whose fields tie up to a code longer than its prefix come
// out of the engine next to each other in input order, and are put in order
// here by their whole codes, stably. Only one such group is held at a time,
// and at most kHeldBytes of it: a larger group is refused, as a sort that
// would break its memory budget.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "RowLayout.h"
#include "ScratchFile.h"

namespace isort::app {

class TiedRows {
 public:
  // What a held group may take: rows and the whole codes read for them.
  static constexpr std::uint64_t kHeldBytes = std::uint64_t{32} << 20;

  // Rows as `layout` lays them out, long codes in `codes`; every row goes on
  // to `write` in the final order.
  TiedRows(const RowLayout& layout, const ScratchFile& codes,
           std::function<void(const OBS*)> write);

  // The next row in the engine's order.
  void Put(const OBS* row);
  // Writes what is held; call after the last row.
  void Finish();

 private:
  void Hold(const OBS* row);
  void WriteHeld();
  const std::string& Code(const OBS* row, std::size_t key);
  void Count(std::uint64_t bytes);

  const RowLayout& layout_;
  const ScratchFile& codes_;
  std::function<void(const OBS*)> write_;
  const unsigned int rowUnits_;
  unsigned int tiedUnits_ = 0;  // of the held group
  std::vector<OBS> held_;       // its rows, one after another
  // The whole codes read for the held rows: [row * keys + key].
  std::vector<std::string> wholeCodes_;
  std::vector<char> codeRead_;
  std::uint64_t heldBytes_ = 0;
};

}  // namespace isort::app
