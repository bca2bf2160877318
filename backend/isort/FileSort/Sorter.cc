#include "FileSort/Sorter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "FileSort/CacheLines.h"
#include "FileSort/Data.h"
#include "FileSort/Prefaulter.h"
#include "FileSort/RecordSort.h"
#include "FileSort/RowPipe.h"
#include "FileSort/RunFeed.h"
#include "FileSort/Runs.h"
#include "FileSort/SpareCore.h"
#include "FileSort/Stopwatch.h"

namespace {

// Tags and the quicksort's counters are 32-bit: a batch holds fewer than
// 2^31 records, and its payload store stays below 2^31 bytes so that two
// payload positions of one batch always differ by less than 2^31.
constexpr std::uint64_t kMaxBatchRows = (std::uint64_t{1} << 31) - 1;
constexpr std::uint64_t kMaxPayloadBytes = (std::uint64_t{1} << 31) - 1;

// Bytes that one compressed group of `units` units can take at most: the
// units themselves, one byte per eight, and a small constant.
std::uint64_t WorstGroupBytes(std::uint64_t units) { return units * 8 + units / 8 + 16; }

std::uint64_t ReadTag(const OBS* tag) {
  std::uint64_t value;
  std::memcpy(&value, tag, sizeof value);
  return value;
}

void WriteTag(OBS* tag, std::uint64_t value) { std::memcpy(tag, &value, sizeof value); }

// Payloads are read back in sorted order, that is from all over the store,
// and each read misses the caches and the TLB (150-180 ns on our VMs). A
// prefetch instruction waits for the page walk here, so instead the records
// go in groups: the bytes of each payload of a group are read in a tight
// loop, where the misses overlap, and then the group is written. Sorting and
// writing a batch of 4.7 million W1 records (runs_bench, best of 4): 875 ms
// with a prefetch 16 records ahead, 822 ms reading the first byte of each
// payload in groups of 64 (16: 1102 ms, 256: 884 ms), 541 ms reading the
// cache line after it too.
constexpr std::uint64_t kPayloadGroup = 64;

// A large batch loads with a helper faulting in its memory (Prefaulter.h); a
// small input has been loaded before the helper would have started.
constexpr std::uint64_t kPrefaultFromRow = 65536;

// A later batch that has come in order for a quarter of its rows, or for
// this many, goes on through a RunFeed: a helper starts in tens of
// microseconds, and shuffled W1 rows turn back by their third row, nearly
// sorted ones (W1n) within a hundred.
constexpr std::uint64_t kFeedFromRow = 4096;

}  // namespace

FileSort::Sorter::Sorter(Data* data)
    : data(data), comparator(data->comparator), order(comparator), words(comparator.Keys()) {}

FileSort::Sorter::~Sorter() {
  try {
    FileStatistics();
  } catch (const std::bad_alloc&) {
    data->RecordOutOfMemory();
  }
}

template <typename Operation>
void FileSort::Sorter::Recording(Operation operation) {
  try {
    operation();
  } catch (const std::bad_alloc&) {
    data->RecordOutOfMemory();
  } catch (const ErrorText& error) {
    data->RecordError(error);
  }
}

void FileSort::Sorter::FileStatistics() {
  if (stats.rows != 0 && data->statistics != nullptr) data->statistics->sorts.push_back(stats);
}

bool FileSort::Sorter::LoadBatch() {
  if (data->Failed()) return false;
  bool loaded = false;
  Recording([this, &loaded] {
    batch.Free();
    FileStatistics();
    stats.rows = 0;
    stats.loadTime = 0;
    stats.sortTime = 0;
    stats.writeTime = 0;
    if (!data->inputExhausted) loaded = FillBatch();
  });
  return loaded;
}

bool FileSort::Sorter::FillBatch() {
  Stopwatch stopwatch(nullptr, &stats.loadTime);
  if (workFile == nullptr) workFile = data->NewWorkFile();

  const unsigned int keyUnits = data->splitter.keyUnits;
  const unsigned int payloadUnits = data->splitter.payloadUnits;
  stats.memory = data->memoryTarget / data->threadCount;
  // A share smaller than one record still sorts: every batch takes at least
  // one row, even if that row alone exceeds the share.
  stats.batchRows = std::clamp<std::uint64_t>(data->BatchSize(stats.memory), 1, kMaxBatchRows);
  batch.Obtain(stats.batchRows * (keyUnits + 1));
  SetPayloadLimit();
  // The store is made once, for the whole share: until written, that is
  // address space only (a mapping, not the allocator's). So it never moves,
  // and the helper may fault in all of a later batch's store, which holds
  // more rows once the payloads turn out to compress better than the first
  // batch assumed. (The record buffer is not made larger up front: from
  // the allocator, the sanitizers' allocators touch what they hand out.)
  if (payloads == nullptr) {
    const auto share = static_cast<std::uint32_t>(std::min(stats.memory, PayloadCeiling()));
    storeBytes = payloadUnits == 0 ? payloadLimit : std::max(payloadLimit, share);
    payloads = std::make_unique<VORN_InMemoryFile>(storeBytes);
  }
  payloads->Seek(0, VORN_StrBaseIO::FromStart);
  // The row's two parts, which this thread writes at every row while a
  // RunFeed's helper may write nearby.
  const unsigned int width = keyUnits + 1;
  const isort::PaddedUnits parts(width + payloadUnits);
  OBS* const loose = parts.get();  // the record of a row that goes straight to the run
  OBS* const payload = loose + width;
  batchNumber = data->batchCount++;
  run = nullptr;
  written = false;

  // A batch after the first goes straight into its run while its rows come
  // in order (InOrderWatch): such a batch is one that no sort would change,
  // and its rows then never touch the record buffer and the store. The first
  // row out of order takes the rows before it back (TakeBackRows), and the
  // batch loads on as any other. The first batch stays in memory: it may
  // hold the whole input, which then never reaches a work file.
  std::unique_ptr<isort::InOrderWatch> watch;
  if (batchNumber != 0 && order.ComparesBytes()) {
    watch = std::make_unique<isort::InOrderWatch>(comparator, order, width);
  }
  std::uint64_t runPayloadBytes = 0;
  const auto storedPayloadBytes = [&] {
    return watch != nullptr ? runPayloadBytes : static_cast<std::uint64_t>(payloads->Tell());
  };
  // Once the rows have come in order a while, a helper writes them, until
  // they turn back or the batch nears its payload limit.
  const std::uint64_t feedFromRow =
      std::clamp<std::uint64_t>(stats.batchRows / 4, 1, kFeedFromRow);
  std::unique_ptr<isort::RunFeed> feed;
  const auto stopFeed = [&] {
    if (feed == nullptr) return;
    runPayloadBytes += feed->PayloadBytes();
    feed.reset();
  };

  // The store may move once a row could carry it past the bytes it was made
  // for: the helper stops before that row.
  const std::uint64_t storeLimit = std::min<std::uint64_t>(payloadLimit, storeBytes);
  const std::uint64_t storeSettles =
      storeLimit - std::min<std::uint64_t>(storeLimit, WorstGroupBytes(payloadUnits));
  isort::Prefaulter prefaulter;
  OBS* record = batch.get();
  while (stats.rows < stats.batchRows) {
    if (payloadUnits != 0) {
      if (feed != nullptr && runPayloadBytes + feed->PayloadBytesAtMost() >= payloadLimit) {
        stopFeed();
      }
      if (feed == nullptr && storedPayloadBytes() >= payloadLimit) break;
    }
    if (stats.rows == kPrefaultFromRow && watch == nullptr && isort::SpareCore()) {
      StartPrefaulting(prefaulter, storeSettles);
    }
    if (prefaulter.Running()) {
      if (static_cast<std::uint64_t>(payloads->Tell()) > storeSettles) prefaulter.Stop();
      prefaulter.Reached(stats.rows * width * sizeof(OBS));
    }
    const OBS* row = data->owner->GetRow();
    if (row == nullptr) {
      data->inputExhausted = true;
      singleBatch = batchNumber == 0;
      lastBatch = true;
      break;
    }
    if (watch != nullptr) {
      data->splitter.Split(row, loose, payload);
      WriteTag(loose + keyUnits, stats.rows);
      if (watch->Admits(loose)) {
        if (feed != nullptr) {
          feed->Put(loose, payload);
        } else {
          runPayloadBytes += AppendToRun(loose, payload);
        }
        if (++stats.rows == feedFromRow && stats.rows < stats.batchRows) feed = StartFeed();
        continue;
      }
      stopFeed();
      TakeBackRows();
      watch.reset();
      record = batch.get() + stats.rows * width;
      std::memcpy(record, loose, keyUnits * sizeof(OBS));
    } else {
      data->splitter.Split(row, record, payload);
    }
    if (payloadUnits == 0) {
      WriteTag(record + keyUnits, stats.rows);
    } else {
      WriteTag(record + keyUnits, static_cast<std::uint64_t>(payloads->Tell()));
      WriteCompressed(*payloads, payload, payloadUnits);
    }
    record += width;
    ++stats.rows;
  }
  stopFeed();

  prefaulter.GiveBack(stats.rows * width * sizeof(OBS), static_cast<std::size_t>(payloads->Tell()),
                      StoreAddress());

  data->rowsLoaded += static_cast<double>(stats.rows);
  data->packedBytes += static_cast<double>(storedPayloadBytes());
  if (data->statistics != nullptr) {
    data->statistics->totalRows += stats.rows;
    data->statistics->rowBytes = (keyUnits + payloadUnits) * 8;
  }
  written = watch != nullptr;
  if (stats.rows != 0 && !singleBatch) OpenRun();
  return stats.rows != 0;
}

void FileSort::Sorter::OpenRun() {
  if (run != nullptr) return;
  data->sequences.emplace_front(workFile);
  run = &data->sequences.front();
}

std::uint64_t FileSort::Sorter::AppendToRun(OBS* record, const OBS* payload) {
  OpenRun();
  const unsigned int payloadUnits = data->splitter.payloadUnits;
  if (payloadScratch == nullptr) {
    payloadScratch = std::make_unique<VORN_InMemoryFile>(WorstGroupBytes(payloadUnits));
  }
  isort::RunWriter writer(*run, data->splitter.keyUnits, payloadUnits);
  return writer.AppendAsStored(record, batchNumber, payload, *payloadScratch);
}

std::unique_ptr<isort::RunFeed> FileSort::Sorter::StartFeed() {
  const unsigned int payloadUnits = data->splitter.payloadUnits;
  const unsigned int recordUnits = data->splitter.keyUnits + 1;
  if (!isort::RunFeed::Pays(recordUnits + payloadUnits)) return nullptr;
  // The helper reads nothing of this Sorter, whose statistics the loading
  // thread updates at every row; it has a scratch stream of its own.
  auto scratch = std::make_shared<VORN_InMemoryFile>(WorstGroupBytes(payloadUnits));
  auto feed = std::make_unique<isort::RunFeed>(
      recordUnits, payloadUnits, WorstGroupBytes(payloadUnits), stats.batchRows - stats.rows,
      [run = run, keyUnits = recordUnits - 1, payloadUnits, batch = batchNumber, scratch](
          OBS* record, const OBS* payload) {
        return isort::RunWriter(*run, keyUnits, payloadUnits)
            .AppendAsStored(record, batch, payload, *scratch);
      });
  if (!feed->Start()) return nullptr;
  return feed;
}

void FileSort::Sorter::TakeBackRows() {
  if (run == nullptr) return;
  const unsigned int keyUnits = data->splitter.keyUnits;
  const unsigned int payloadUnits = data->splitter.payloadUnits;
  {
    // A second handle reads what the first has written (it writes out the
    // first one's buffer); the payload groups go into the store undecoded.
    WorkFile reader(*workFile);
    reader.Seek(run->start, VORN_StrBaseIO::FromStart);
    OBS* record = batch.get();
    for (std::uint64_t i = 0; i < stats.rows; ++i, record += keyUnits + 1) {
      ReadCompressed(reader, record, keyUnits + 1);
      if (payloadUnits == 0) {
        WriteTag(record + keyUnits, i);
      } else {
        WriteTag(record + keyUnits, static_cast<std::uint64_t>(payloads->Tell()));
        CopyPrecompressed(reader, *payloads, payloadUnits);
      }
    }
  }
  // The run starts again empty: the batch's sorted rows will overwrite it.
  workFile->Seek(run->start, VORN_StrBaseIO::FromStart);
  run->end = run->start;
}

void FileSort::Sorter::StartPrefaulting(isort::Prefaulter& prefaulter, std::uint64_t storeEnd) {
  const unsigned int width = data->splitter.keyUnits + 1;
  const isort::Prefaulter::Area records{batch.get(), stats.batchRows * width * sizeof(OBS)};
  const isort::Prefaulter::Area store{const_cast<void*>(StoreAddress()),
                                      StoreAddress() != nullptr ? storeEnd : 0};
  prefaulter.Start(records, store);
}

const void* FileSort::Sorter::StoreAddress() const {
  if (data->splitter.payloadUnits == 0 || VORN_InMemoryAddress == nullptr) return nullptr;
  return VORN_InMemoryAddress(*payloads, 0);
}

std::uint64_t FileSort::Sorter::PayloadCeiling() const {
  // The last row may carry the store past the limit by one group.
  return kMaxPayloadBytes -
         std::min(kMaxPayloadBytes - 1, WorstGroupBytes(data->splitter.payloadUnits));
}

void FileSort::Sorter::SetPayloadLimit() {
  const unsigned int payloadUnits = data->splitter.payloadUnits;
  if (payloadUnits == 0) {
    payloadLimit = 32;
    return;
  }
  // Compressed bytes of one row: a third of the raw payload until a batch
  // has been loaded, then the running average.
  const std::uint64_t estimate = data->PayloadBytesPerRow(8 * std::uint64_t{payloadUnits} / 3);
  payloadLimit = static_cast<std::uint32_t>(std::min(estimate * stats.batchRows, PayloadCeiling()));
}

void FileSort::Sorter::ProcessBatch() {
  if (data->Failed() || written) return;
  Recording([this] {
    std::unique_ptr<isort::SteppedRadixSort> stepped;
    {
      Stopwatch stopwatch(nullptr, &stats.sortTime);
      SortBatch(&stepped);
    }
    Stopwatch stopwatch(nullptr, &stats.writeTime);
    if (singleBatch) {
      DeliverRows(stepped.get());
    } else {
      WriteRun(stepped.get());
    }
  });
}

void FileSort::Sorter::SortBatch(std::unique_ptr<isort::SteppedRadixSort>* stepped) {
  const std::uint64_t width = data->splitter.keyUnits + 1;
  // The batch that ends the input is sorted bucket by bucket while its rows
  // go out (see DeliverRows and WriteRun): a second core, if there is one,
  // has no other batch to work on by then. From a file, one sort in a fresh
  // process, against sorting on two threads and then handing rows on: W3
  // sorted and delivered in 117-123 ms against 135-149; W2's run formation
  // 473-584 ms against 542-694 (W1's, whose other thread is still writing
  // then, 1006-1194 against 998-1450).
  const isort::BatchSortPath path =
      isort::SortBatchUnlessRadix(batch.get(), stats.rows, width, comparator, order);
  if (path == isort::BatchSortPath::kQuicksort) data->partialOrder.store(true);
  if (path != isort::BatchSortPath::kRadix) return;
  const bool stepping = singleBatch ? isort::RowPipe::Pays(data->rowUnits)
                                    : lastBatch && isort::SpareCore();
  if (stepping) {
    *stepped = std::make_unique<isort::SteppedRadixSort>(batch.get(), stats.rows, width, words,
                                                        order);
  } else {
    isort::RadixSortRecords(batch.get(), stats.rows, width, words, order);
  }
}

template <typename Take>
void FileSort::Sorter::ForEachRecord(Take take, isort::SteppedRadixSort* stepped) {
  const auto ready = [stepped](std::uint64_t records) {
    if (stepped != nullptr) stepped->WaitForSorted(records);
  };
  const unsigned int width = data->splitter.keyUnits + 1;
  OBS* record = batch.get();
  if (data->splitter.payloadUnits == 0) {
    for (std::uint64_t first = 0; first < stats.rows; first += kPayloadGroup) {
      const std::uint64_t end = std::min(stats.rows, first + kPayloadGroup);
      ready(end);
      for (std::uint64_t i = first; i < end; ++i, record += width) take(record);
    }
    return;
  }
  // The store does not grow while it is read: its first byte stays put.
  const auto* store = VORN_InMemoryAddress != nullptr
                          ? static_cast<const unsigned char*>(VORN_InMemoryAddress(*payloads, 0))
                          : nullptr;
  const auto storeEnd = static_cast<std::uint64_t>(payloads->Tell());
  for (std::uint64_t first = 0; first < stats.rows; first += kPayloadGroup) {
    const std::uint64_t end = std::min(stats.rows, first + kPayloadGroup);
    ready(end);
    if (store != nullptr) {
      // A payload's first byte and the cache line after it: most groups end
      // there.
      unsigned char touched = 0;
      for (std::uint64_t i = first; i < end; ++i) {
        const std::uint64_t at = ReadTag(batch.get() + i * width + width - 1);
        touched |= store[at] | store[std::min(at + 63, storeEnd - 1)];
      }
      // Keeps the reads: their only purpose is to bring the bytes near.
      asm volatile("" : : "r"(touched));
    }
    for (std::uint64_t i = first; i < end; ++i, record += width) {
      payloads->Seek(static_cast<std::uint32_t>(ReadTag(record + width - 1)),
                     VORN_StrBaseIO::FromStart);
      take(record);
    }
  }
}

void FileSort::Sorter::DeliverRows(isort::SteppedRadixSort* stepped) {
  const unsigned int keyUnits = data->splitter.keyUnits;
  const unsigned int payloadUnits = data->splitter.payloadUnits;
  // The helper writes `payload` and this thread `row` at every row.
  const isort::PaddedUnits payload(payloadUnits);
  const isort::PaddedUnits row(data->rowUnits);
  isort::RowPipe::HandOver(
      keyUnits + 1, payloadUnits,
      [&](auto handOn) {
        ForEachRecord(
            [&](const OBS* record) {
              if (payloadUnits != 0) ReadCompressed(*payloads, payload.get(), payloadUnits);
              handOn(record, payload.get());
            },
            stepped);
      },
      [&](const OBS* record, const OBS* payloadPart) {
        data->splitter.Join(record, payloadPart, row.get());
        data->owner->PutRow(row.get());
      },
      [stepped] { return stepped != nullptr && stepped->SortNext(); });
}

void FileSort::Sorter::WriteRun(isort::SteppedRadixSort* stepped) {
  isort::RunWriter writer(*run, data->splitter.keyUnits, data->splitter.payloadUnits);
  const auto writeEach = [&] {
    ForEachRecord(
        [&](OBS* record) { writer.AppendPrecompressed(record, batchNumber, *payloads); },
        stepped);
  };
  if (stepped == nullptr) return writeEach();
  // A helper sorts the buckets ahead of the writer; it cannot fail, and it
  // is joined before a failure of the writer passes on.
  std::thread helper = isort::StartHelper([stepped] { stepped->SortTheRest(); });
  try {
    writeEach();
  } catch (...) {
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
}

void FileSort::Sorter::Combine() {
  if (data->statistics != nullptr && workFile != nullptr) {
    data->statistics->runBytes += static_cast<std::uint64_t>(workFile->Tell());
  }
}
