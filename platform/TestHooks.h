// Settings of the platform that only tests change. Not installed.
//
// File faults: a test arms a countdown for one kind of call:
// FailNthFileCall(kWrite, 3, ENOSPC) lets the next two write calls through and
// makes the third fail as if the system had returned ENOSPC; the countdown
// then switches itself off. The countdowns are process-wide and atomic.
//
// What counts as one call: kCreate, every open of a temporary or named file;
// kWrite, every pwrite attempt and every truncation; kRead, every pread
// attempt; kSeek, every Seek on a file stream (where a seek to the end asks
// the system for the file's size); kMemory, every mapping or growth of an
// in-memory stream's memory (which fails as std::bad_alloc, the errno unused).
#pragma once

#include <cstddef>

#include "vorn/Api.h"

namespace isort::platform {

// The processor topology that getPhysicalCPUCount and
// getCoresPerPhysicalCPUCount report: `cores` cores on one processor. 0 (the
// default) reads the machine's topology. Lets a test run a sort on more
// threads than the machine has cores.
VORN_API void SetCoreCount(unsigned int cores);

// The buffer size of each temporary-file handle, and so its Footprint(). The
// merge budgets one footprint per run it reads: large buffers force merges in
// several passes. Takes effect for handles created afterwards; 0 restores the
// default.
VORN_API void SetFileBufferSize(std::size_t bytes);
VORN_API std::size_t FileBufferSize();

// The group codec's choice: true asks for the vector codec, which is used
// only where the processor has it; false for the portable one. Returns
// whether the vector codec is now in use.
VORN_API bool UseVectorCodec(bool use);

namespace faults {

enum class FileCall : int { kCreate = 0, kWrite = 1, kRead = 2, kSeek = 3, kMemory = 4 };

// Makes the nth next call of this kind fail with errno `error`; nth 0 disarms.
VORN_API void FailNthFileCall(FileCall call, unsigned long nth, int error);
// Disarms every countdown.
VORN_API void ClearFileFaults();

}  // namespace faults
}  // namespace isort::platform
