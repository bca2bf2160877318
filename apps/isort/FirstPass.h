// Pass 1 of `isort sort`: reads the CSV input once, checks every record
// against the header, and spools what pass 2 needs, counting the lengths of
// the records and of the key codes and learning, per key column, whether all
// its values are numbers (KeyFacts).
//
// A regular file is read in parallel chunks, one per thread: the chunks are
// cut just after a '\n' and each is read as if a record began there. Reading
// from a true record start is exact, so the reader of chunk k knows whether
// the cut after it fell between records: it reads on to the first record
// boundary at or after the cut, and if that boundary is the cut, chunk k+1
// is good; otherwise a quoted field spans the cut, and chunk k reads the
// rest of the input itself while the later chunks are dropped. On W1's CSV
// two chunks take pass 1 from 1.16 s to 0.67 s (best of 5). A chunk is at
// least 32 MiB
// (ISORT_CHUNK_BYTES, a hook for tests, changes that).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Missing.h"
#include "Progress.h"
#include "RowLayout.h"
#include "Spool.h"

namespace isort::app {

struct FirstPassResult {
  std::string byteOrderMark;  // the input's, written before everything
  bool hasHeader = true;
  std::string header;   // the header's bytes, without its line end
  std::string lineEnd;  // the first record's line end ("\n" when it had none)
  std::vector<KeyFacts> keys;
  LengthCounts records{RowLayout::kMaxInlineBytes};
  std::uint64_t rows = 0;                      // data records
  std::vector<std::unique_ptr<Spool>> spools;  // the records, in input order
};

struct FirstPassInput {
  int descriptor;        // open for reading, at its start
  std::string name;      // for messages
  std::uint64_t size;    // of a regular file; 0: unknown, read in one piece
  std::vector<std::string> by;  // --by lists
  bool reverse;          // -r
  char delimiter;
  bool noHeader;
  MissingTexts missing;
  const TextOrder* textOrder;  // for the lengths of text codes
  std::uint64_t longestRecord;  // bytes; a longer record is refused
  std::string tmpdir;    // where the spools go
  unsigned int threads;  // readers at most (at most 8 are used)
};

// Throws BadInput (with the line in the whole input), CannotSort and
// std::bad_alloc. A value that is no number in a column --by marks :num is
// bad input.
FirstPassResult ReadInput(const FirstPassInput& input, Progress& progress);

}  // namespace isort::app
