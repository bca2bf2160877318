// TiedRows: the last step of ordering before rows are written out. The
// engine orders rows by their key fields, which hold a bounded prefix of
// each code; rows whose fields tie up to a code longer than its prefix come
// out of the engine next to each other, and are put in order here by their
// whole codes, stably.
//
// One such group is held at a time: the key part of each row (its rows go
// to a work file once they pass kHeldRowBytes) and each distinct whole code
// once (a hash finds a code that may be equal; the bytes decide), in memory
// while the codes held stay within kHeldBytes, else compared where they lie
// in the code file, a piece at a time. So a column of a few long values
// repeated a million times costs a few codes and the key parts, and a few
// distinct values of 40 MB cost reading them; a group whose key parts alone
// pass kHeldBytes is refused, as a sort that would break its memory budget.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "RowLayout.h"
#include "ScratchFile.h"

namespace isort::app {

class TiedRows {
 public:
  // What the distinct codes held, and the key parts, may take each: with
  // the rows' 8 MiB, the output's buffers and the code pieces, the command
  // keeps within 100 MiB beside the engine's budget.
  static constexpr std::uint64_t kHeldBytes = std::uint64_t{16} << 20;
  static constexpr std::uint64_t kHeldRowBytes = std::uint64_t{8} << 20;

  // Rows as `layout` lays them out, long codes in `codes`, a work file for
  // rows in `workDirectory`; every row goes on to `write` in the final order.
  TiedRows(const RowLayout& layout, const ScratchFile& codes, std::string workDirectory,
           std::function<void(const OBS*)> write);

  // The next row in the engine's order.
  void Put(const OBS* row);
  // Writes what is held; call after the last row.
  void Finish();

 private:
  static constexpr std::uint32_t kNoCode = ~std::uint32_t{0};

  // A distinct whole code: its bytes when held, and where it lies.
  struct Code {
    std::string bytes;
    bool held = false;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
  };

  void Hold(const OBS* row);
  void FindCodes(std::size_t member);
  std::uint32_t CodeOf(const OBS* keyPart, std::size_t key);
  std::uint64_t HashCode(std::uint64_t offset, std::uint64_t length);
  int CompareCodes(const Code& x, const Code& y);
  void WriteHeld();

  const RowLayout& layout_;
  const ScratchFile& codes_;
  const std::string workDirectory_;
  std::function<void(const OBS*)> write_;
  const unsigned int rowUnits_;
  const unsigned int keyUnits_;
  const std::size_t keys_;

  // The held group.
  std::size_t members_ = 0;
  unsigned int tiedUnits_ = 0;
  std::vector<OBS> keyParts_;             // keyUnits_ per member
  std::vector<std::uint32_t> codeIds_;    // keys_ per member: index in wholeCodes_
  std::vector<Code> wholeCodes_;          // distinct whole codes
  std::unordered_multimap<std::uint64_t, std::uint32_t> byHash_;  // and where they are
  std::vector<OBS> rows_;                 // the rows, until they pass kHeldRowBytes
  std::unique_ptr<ScratchFile> spill_;    // then all of them
  std::uint64_t heldBytes_ = 0;  // of the codes held
  std::vector<char> piece_;
  std::vector<char> otherPiece_;
  std::vector<OBS> row_;
};

}  // namespace isort::app
