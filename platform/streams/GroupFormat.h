// The byte format of a compressed group of 8-byte units, on plain memory.
// The format itself is described at the top of GroupFormat.cc, which writes
// it. The stream functions (CompressedStreams.cc) call these on a stream's
// window or on a scratch copy of a group.
#pragma once

#include <cstddef>

#include "isort/types.h"

namespace isort::platform::streams::group {

// The most bytes a group of n units can occupy (and the room Encode needs).
constexpr std::size_t MaxGroupBytes(std::size_t n) { return 1 + (n + 1) / 2 + 8 * n; }

// Bytes of the header (mode byte and tags) of a group of n units that begins
// with `first`; 0 when no group of n units begins with that byte.
std::size_t HeaderBytes(unsigned char first, std::size_t n);

enum class Span {
  kWhole,      // the whole group is present; *bytes is its length
  kPartial,    // more bytes are needed; *bytes is the length once the header is present, else 0
  kMalformed,  // the bytes cannot start a group of n units
};

// Measures the group of n > 0 units at `at`, of which `available` bytes are
// present. Reads only those bytes.
Span Measure(const unsigned char* at, std::size_t available, std::size_t n, std::size_t* bytes);

// Encodes n > 0 units into `out`, which has MaxGroupBytes(n) bytes of room;
// returns the group's length.
std::size_t Encode(const OBS* units, std::size_t n, unsigned char* out);

// Groups of up to this many units go to a file raw. Such a group is a run's
// record (keys and tag) or a narrow row's payload: coding and decoding it
// costs more than the page cache's copies of the bytes it saves (coded, W1's
// key groups of 3 units take 0.57 of their 25 raw bytes, W2's of 4 units
// 0.42 of 33). W1 from a file, 4 rounds alternating: the merge 389-416 ms
// against 459-501, W1 in key order formed in 431-450 ms against 524-566 (a
// helper encodes its records), with 574 MB of work files against 462. W2 (8
// rounds) with 4 units raw against 3: sorted in 551-696 ms against 579-849,
// its runs formed in 352-496 ms against 391-611, 272 MB against 213. Only
// where the page cache needs memory that the system has not touched lately
// do the extra bytes cost more: runs_bench's in-order batch of W1 took
// 298-348 ms against 237-275 in the first round of a process, 170-226
// against 210-270 after it. In memory (a batch's payloads), where fewer bytes
// mean more rows to a batch, small groups stay coded.
constexpr std::size_t kRawOnFileUnits = 4;

// Writes the n > 0 units as a raw group; returns its length, 1 + 8n.
std::size_t EncodeRaw(const OBS* units, std::size_t n, unsigned char* out);

// What DecodeWhole returns for bytes that cannot start a group of n units.
constexpr std::size_t kMalformedGroup = ~std::size_t{0};

// Decodes the group of n > 0 units at `at` if all of it lies among the
// `available` bytes there: returns its length, 0 when more bytes are needed
// (nothing is decoded then), or kMalformedGroup. Reads only those bytes.
std::size_t DecodeWhole(const unsigned char* at, std::size_t available, std::size_t n,
                        OBS* units);

// Decodes the group of n > 0 units at `group`, which Measure found whole
// with length `groupBytes`. Reads nothing at or beyond `readableEnd`.
void Decode(const unsigned char* group, std::size_t n, std::size_t groupBytes,
            const unsigned char* readableEnd, OBS* units);

// Encode and Decode use one of two codecs that write and read the same
// bytes: the portable one, and where the processor has AVX-512 with VBMI2
// the vector one, which is several times faster (GroupCodecBench).
bool VectorCodecAvailable();
std::size_t EncodePortable(const OBS* units, std::size_t n, unsigned char* out);
std::size_t EncodeVector(const OBS* units, std::size_t n, unsigned char* out);
// Decode a coded group (one whose mode byte has the coded bit).
void DecodeCodedPortable(const unsigned char* group, std::size_t n, std::size_t groupBytes,
                         const unsigned char* readableEnd, OBS* units);
void DecodeCodedVector(const unsigned char* group, std::size_t n, OBS* units);
// Writes the mode byte of a group whose coded form took `coded` bytes, or
// the group raw when that is no shorter; returns the group's length.
std::size_t FinishGroup(const OBS* units, std::size_t n, unsigned char* out, std::size_t coded);

}  // namespace isort::platform::streams::group
