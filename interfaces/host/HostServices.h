// Services of the host program that the library calls: thread and processor
// counts, time counters, the unit mover, the host's global block, its byte-code
// table and its assertion reporter. All follow the host's Fortran conventions
// (lower case with a trailing underscore, arguments by reference) except the
// two processor counts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "isort/types.h"
#include "vorn/Api.h"

extern "C" {

// The number of threads the host allows a sort to use.
VORN_API INTEGER getthreads_();

// The number of physical processors (sockets) and of cores on each.
VORN_API unsigned int getPhysicalCPUCount();
VORN_API unsigned int getCoresPerPhysicalCPUCount();

// Stores two running time counters; only differences between two calls mean
// anything. Our platform: `first` is the process's CPU time and `second` the
// elapsed time, both in milliseconds.
VORN_API void timtot_(std::int64_t* first, std::int64_t* second);

// Copies `*n` 8-byte units from `from` to `to` (the ranges do not overlap).
VORN_API void obmove_(const OBS* from, OBS* to, const INTEGER* n);

// Reports a failed internal check of routine `name` with condition `text`;
// returns to the caller. The trailing two values are the string lengths that
// Fortran passes by value.
VORN_API void assert_(const INTEGER* nameLength, const char* name,
                      const INTEGER* textLength, const char* text,
                      std::size_t nameChars, std::size_t textChars);

// Pointer to the host's global block; its second 8-byte slot holds the
// system-missing value.
VORN_API extern OBS* CmnGlb;

// The host's byte-code table: entry c (1 to 252) holds, in its lower 32 bits,
// the upper 32 bits of the double c - 100; its upper 32 bits are 0.
VORN_API extern const std::uint64_t IEEEPart1[256];

}  // extern "C"
