// SortFileSorter: the FileSort behind sortfile_, which reads rows through the
// host's get callback and hands them back through its put callback. A C++
// host includes this header to catch SortFileSorter::Error, which sortfile_
// lets through when the put callback refuses a row.
#ifndef ISORT_SORTFILESORTER_H
#define ISORT_SORTFILESORTER_H

#include <vector>

#include "isort/FileSort.h"
#include "isort/export.h"
#include "isort/sortfile.h"
#include "isort/types.h"

class ISORT_EXPORT SortFileSorter : public FileSort {
 public:
  // Thrown by PutRow when the host's put callback returns non-zero.
  class ISORT_EXPORT Error {};

  // `nvars`: units per row (its low 32 bits).
  SortFileSorter(const std::vector<FileSort::SortKey>& keys, void* context,
                 isort_get_callback getCallback, isort_put_callback putCallback,
                 INTEGER nvars);
  ~SortFileSorter() override;

  const OBS* GetRow() override;
  void PutRow(const OBS* row) override;

  // The result of the last put callback; 0 before the first.
  INTEGER PutResult() const { return putResult; }

 private:
  void* context;
  isort_get_callback getCallback;
  isort_put_callback putCallback;
  INTEGER nvars;
  OBS* rowBuffer;
  INTEGER putResult;
};

// Appends the keys of the host key array `ukeys` (column-major: `nukeys`
// positions from 1, then directions, then widths) to `keys`.
ISORT_EXPORT void MakeCSortKeys(const SI* ukeys, unsigned int nukeys,
                                std::vector<FileSort::SortKey>& keys);

#endif  // ISORT_SORTFILESORTER_H
