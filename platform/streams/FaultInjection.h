// Test hooks that make the file streams' system calls fail.
//
// A test arms a countdown for one kind of call: FailNthFileCall(kWrite, 3,
// ENOSPC) lets the next two write calls through and makes the third fail as
// if the system had returned ENOSPC; the countdown then switches itself off.
// The countdowns are process-wide and atomic. Not installed: only tests use
// this header.
//
// What counts as one call: kCreate, every open of a temporary or named file;
// kWrite, every pwrite attempt and every truncation; kRead, every pread
// attempt; kSeek, every Seek on a file stream (where a seek to the end asks
// the system for the file's size); kMemory, every mapping or growth of an
// in-memory stream's memory (which fails as std::bad_alloc, the errno unused).
#pragma once

#include "vorn/Api.h"

namespace isort::platform::faults {

enum class FileCall : int { kCreate = 0, kWrite = 1, kRead = 2, kSeek = 3, kMemory = 4 };

// Makes the nth next call of this kind fail with errno `error`; nth 0 disarms.
VORN_API void FailNthFileCall(FileCall call, unsigned long nth, int error);
// Disarms every countdown.
VORN_API void ClearFileFaults();

// For the streams: true when this call is to fail, with its errno in *error.
bool ShouldFail(FileCall call, int* error);

}  // namespace isort::platform::faults
