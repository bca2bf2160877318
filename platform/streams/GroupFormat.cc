// Compressed groups of 8-byte units.
//
// A group holds the n units of one WriteCompressed call. n itself is not
// stored: the reader knows it. n = 0 gives an empty group (no bytes at all).
//
//   byte 0      mode byte: bit 7 set = coded, clear = raw; bits 0-6 = n mod 128
//               (a check that the reader expects the same n: any other value
//               is malformed, so a reader that has lost its place notices)
//   raw         the n units as they are in memory, 8 bytes each
//   coded       ceil(n/2) tag bytes, then the units' stored bytes in order
//
// Tag bytes hold one 4-bit tag per unit, unit 2i in the low nibble of tag
// byte i and unit 2i+1 in its high nibble; when n is odd the last high
// nibble is 0. A tag says how a unit is stored (integers little-endian):
//
//   tag  stored bytes  unit
//   0    0             +0.0 (all bits 0)
//   1    0             the system-missing value of our host, the lowest double
//   2    0             eight blanks 0x2020202020202020
//   3-6  1, 2, 3, 4    an integer 1 .. 2^32-1 held as a double: its value
//   7-8  1, 2          an integer -1 .. -65535 held as a double: its magnitude
//   9-11 2, 4, 6       a string unit whose last 6, 4, 2 bytes are blanks:
//                      its first 2, 4, 6 bytes
//   12-14 2, 3, 5      a unit whose low 6, 5, 3 bytes (in value order) are 0:
//                      its high 2, 3, 5 bytes, lowest first (halves, short
//                      binary fractions, large round integers)
//   15   8             anything else, as it is
//
// The encoder picks the shortest form that gives back the same 64 bits, so
// every pattern (NaN payloads, -0.0, denormals) round-trips exactly. It
// writes a raw group when the coded one would not be shorter, so a group
// costs at most 8n + 1 bytes. The length of a group follows from its mode
// byte and tags alone, which lets CopyPrecompressed copy a group without
// decoding it.
//
// Measured with GroupCodecBench: W1 rows shrink to 0.54 of their raw size,
// the engine's W1 key groups to 0.57 and payload groups to 0.50; W2 rows to
// 0.57 (key groups 0.42, payload groups 0.60).
#include "streams/GroupFormat.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "TestHooks.h"
#include "streams/GroupTags.h"

namespace isort::platform::streams::group {
namespace {

// How the stored bytes of a tag become the unit: take the low bytes of a
// little-endian word (mask); integers convert to a double and take the sign;
// other units shift into place and fill the rest.
struct Decoding {
  std::uint64_t mask;
  std::uint64_t fill;
  std::uint64_t sign;
  std::uint64_t integer;  // all ones for the integer tags
  unsigned shift;
  unsigned bytes;
};

constexpr Decoding MakeDecoding(unsigned tag) {
  const unsigned bytes = kStoredBytes[tag];
  Decoding d{LowBytesMask(bytes), FillOf(tag), 0, 0, kEncodeShift[tag], bytes};
  if (IsInteger(tag)) d.integer = ~std::uint64_t{0};
  if (IsNegativeInteger(tag)) d.sign = std::uint64_t{1} << 63;
  return d;
}

struct DecodingTable {
  Decoding tag[16];
  unsigned char pairBytes[256];  // stored bytes of both units of a tag byte
  constexpr DecodingTable() : tag{}, pairBytes{} {
    for (unsigned t = 0; t < 16; ++t) tag[t] = MakeDecoding(t);
    for (unsigned b = 0; b < 256; ++b) {
      pairBytes[b] = static_cast<unsigned char>(kStoredBytes[b & 15] + kStoredBytes[b >> 4]);
    }
  }
};

constexpr DecodingTable kDecoding;

// The encoder's choices by byte counts: a string unit with k bytes before its
// trailing blanks, a unit with k bytes above its low zero bytes.
constexpr unsigned char kTextTag[9] = {kBlank, kText2, kText2, kText4, kText4,
                                       kText6, kText6, kRaw,   kRaw};
constexpr unsigned char kHighTag[9] = {kZero, kHigh2, kHigh2, kHigh3, kHigh5,
                                       kHigh5, kRaw,  kRaw,   kRaw};
// Integers by sign and magnitude bytes (1-4); kRaw where none fits.
constexpr unsigned char kIntegerTag[2][5] = {{kRaw, kPlus1, kPlus2, kPlus3, kPlus4},
                                             {kRaw, kMinus1, kMinus2, kRaw, kRaw}};


std::uint64_t BitsOf(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double DoubleOf(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Bytes needed for x >= 1 as a little-endian integer (1-8).
unsigned ByteLength(std::uint64_t x) { return (71u - static_cast<unsigned>(__builtin_clzll(x))) >> 3; }

// Bytes of a unit before its trailing blanks (0 for eight blanks).
unsigned TextBytes(std::uint64_t bits) {
  const std::uint64_t rest = bits ^ kBlanks;
  return rest == 0 ? 0 : ByteLength(rest);
}

// Bytes of a unit's value above its low zero bytes (0 for all bits 0).
unsigned HighBytes(std::uint64_t bits) {
  return bits == 0 ? 0 : 8 - (static_cast<unsigned>(__builtin_ctzll(bits)) >> 3);
}

// Writes one unit's stored bytes at `*at` (as a whole word: the room for a
// raw unit is always there) and moves past them; returns its tag.
//
// The tests below compile to branches, and that is deliberate: which form a
// unit takes follows its column, so the branches predict well and skip work.
// A branch-free selection (masks instead of comparisons), also with the
// stores split from the decisions, encoded W1 rows at 0.45-0.55 GB/s against
// 1.2-1.45 GB/s for this one (GroupCodecBench, same machine and hour).
inline unsigned EncodeUnit(const OBS* unit, unsigned char*& at) {
  std::uint64_t bits;
  std::memcpy(&bits, unit, sizeof bits);
  const double magnitude = std::fabs(*unit);
  // NaN fails both comparisons; the range keeps the conversion defined.
  const bool inRange = (magnitude >= 1.0) & (magnitude < 4294967296.0);
  const auto integer = static_cast<std::int64_t>(inRange ? magnitude : 1.0);
  const bool exact = inRange & (static_cast<double>(integer) == magnitude);
  const unsigned integerTag =
      exact ? kIntegerTag[bits >> 63][ByteLength(static_cast<std::uint64_t>(integer))]
            : static_cast<unsigned char>(kRaw);

  unsigned tag = kHighTag[HighBytes(bits)];
  const unsigned textTag = kTextTag[TextBytes(bits)];
  if (kStoredBytes[textTag] < kStoredBytes[tag]) tag = textTag;
  if (kStoredBytes[integerTag] < kStoredBytes[tag]) tag = integerTag;
  if (bits == kSystemMissing) tag = kMissing;

  const std::uint64_t word =
      IsInteger(tag) ? static_cast<std::uint64_t>(integer) : bits >> kEncodeShift[tag];
  std::memcpy(at, &word, sizeof word);
  at += kStoredBytes[tag];
  return tag;
}

// Reads one unit of `tag` at `*at` and moves past its stored bytes. With
// kWholeWords the 8 bytes from `*at` may be read even where the unit stores
// fewer.
template <bool kWholeWords>
inline std::uint64_t DecodeUnit(unsigned tag, const unsigned char*& at) {
  const Decoding& d = kDecoding.tag[tag];
  std::uint64_t word = 0;
  if (kWholeWords) {
    std::memcpy(&word, at, sizeof word);
  } else {
    std::memcpy(&word, at, d.bytes);
  }
  word &= d.mask;
  at += d.bytes;
  const std::uint64_t asInteger =
      BitsOf(static_cast<double>(static_cast<std::int64_t>(word))) | d.sign;
  const std::uint64_t asBits = (word << d.shift) | d.fill;
  return (asInteger & d.integer) | (asBits & ~d.integer);
}

template <bool kWholeWords>
void DecodeUnits(const unsigned char* tags, const unsigned char* at, std::size_t n, OBS* units) {
  std::size_t i = 0;
  for (; i + 1 < n; i += 2) {
    const unsigned pair = tags[i >> 1];
    const std::uint64_t first = DecodeUnit<kWholeWords>(pair & 15, at);
    const std::uint64_t second = DecodeUnit<kWholeWords>(pair >> 4, at);
    units[i] = DoubleOf(first);
    units[i + 1] = DoubleOf(second);
  }
  if (i < n) units[i] = DoubleOf(DecodeUnit<kWholeWords>(tags[i >> 1] & 15, at));
}

// The vector codec where the processor has it (tests may turn it off).
std::atomic<bool> vectorCodec{VectorCodecAvailable()};

// The vector codec pays from groups of this many units on: W1's key groups
// of 3 units encode at 1.59 GB/s with the portable codec and 1.34 with the
// vector one, W2's of 4 at 1.01 and 1.81, W1's payload groups of 8 at 1.85
// and 2.68 (group_codec_bench); a sorter loads W1's batch of 4.7 million
// rows in 205 ms with it and 338 ms without (runs_bench).
constexpr std::size_t kVectorGroupUnits = 4;

bool UsingVectorCodecFor(std::size_t n) {
  return n >= kVectorGroupUnits && vectorCodec.load(std::memory_order_relaxed);
}

// Decode, inlined where DecodeWhole calls it once per group.
inline void DecodeGroup(const unsigned char* group, std::size_t n, std::size_t groupBytes,
                        const unsigned char* readableEnd, OBS* units) {
  if ((group[0] & kCodedBit) == 0) {
    std::memcpy(units, group + 1, 8 * n);
    return;
  }
  if (UsingVectorCodecFor(n)) return DecodeCodedVector(group, n, units);
  DecodeCodedPortable(group, n, groupBytes, readableEnd, units);
}

}  // namespace

void DecodeCodedPortable(const unsigned char* group, std::size_t n, std::size_t groupBytes,
                         const unsigned char* readableEnd, OBS* units) {
  const unsigned char* tags = group + 1;
  const unsigned char* stored = tags + (n + 1) / 2;
  // Whole-word loads run up to 8 bytes past the group's last stored byte.
  if (readableEnd - (group + groupBytes) >= 8) {
    DecodeUnits<true>(tags, stored, n, units);
  } else {
    DecodeUnits<false>(tags, stored, n, units);
  }
}

std::size_t HeaderBytes(unsigned char first, std::size_t n) {
  if ((first & kCountBits) != (n & kCountBits)) return 0;
  return (first & kCodedBit) != 0 ? 1 + (n + 1) / 2 : 1;
}

Span Measure(const unsigned char* at, std::size_t available, std::size_t n, std::size_t* bytes) {
  *bytes = 0;
  if (available == 0) return Span::kPartial;
  const std::size_t header = HeaderBytes(at[0], n);
  if (header == 0) return Span::kMalformed;
  if ((at[0] & kCodedBit) == 0) {
    *bytes = 1 + 8 * n;
  } else {
    if (available < header) return Span::kPartial;
    const unsigned char* tags = at + 1;
    const std::size_t tagBytes = header - 1;
    if ((n & 1) != 0 && (tags[tagBytes - 1] >> 4) != 0) return Span::kMalformed;
    std::size_t stored = 0;
    for (std::size_t i = 0; i < tagBytes; ++i) stored += kDecoding.pairBytes[tags[i]];
    *bytes = header + stored;
  }
  return available >= *bytes ? Span::kWhole : Span::kPartial;
}

std::size_t FinishGroup(const OBS* units, std::size_t n, unsigned char* out, std::size_t coded) {
  const unsigned char count = static_cast<unsigned char>(n & kCountBits);
  if (coded < 1 + 8 * n) {
    out[0] = kCodedBit | count;
    return coded;
  }
  out[0] = count;
  std::memcpy(out + 1, units, 8 * n);
  return 1 + 8 * n;
}

std::size_t Encode(const OBS* units, std::size_t n, unsigned char* out) {
  return UsingVectorCodecFor(n) ? EncodeVector(units, n, out) : EncodePortable(units, n, out);
}

std::size_t EncodeRaw(const OBS* units, std::size_t n, unsigned char* out) {
  return FinishGroup(units, n, out, 1 + 8 * n);
}

std::size_t EncodePortable(const OBS* units, std::size_t n, unsigned char* out) {
  unsigned char* tags = out + 1;
  const std::size_t tagBytes = (n + 1) / 2;
  unsigned char* at = tags + tagBytes;
  std::size_t i = 0;
  for (; i + 1 < n; i += 2) {
    const unsigned first = EncodeUnit(units + i, at);
    const unsigned second = EncodeUnit(units + i + 1, at);
    tags[i >> 1] = static_cast<unsigned char>(first | (second << 4));
  }
  if (i < n) tags[i >> 1] = static_cast<unsigned char>(EncodeUnit(units + i, at));
  return FinishGroup(units, n, out, static_cast<std::size_t>(at - out));
}

void Decode(const unsigned char* group, std::size_t n, std::size_t groupBytes,
            const unsigned char* readableEnd, OBS* units) {
  DecodeGroup(group, n, groupBytes, readableEnd, units);
}

std::size_t DecodeWhole(const unsigned char* at, std::size_t available, std::size_t n,
                        OBS* units) {
  std::size_t length = 0;
  switch (Measure(at, available, n, &length)) {
    case Span::kWhole:
      DecodeGroup(at, n, length, at + available, units);
      return length;
    case Span::kPartial:
      return 0;
    case Span::kMalformed:
      break;
  }
  return kMalformedGroup;
}

}  // namespace isort::platform::streams::group

namespace isort::platform {

bool UseVectorCodec(bool use) {
  streams::group::vectorCodec.store(use && streams::group::VectorCodecAvailable());
  return streams::group::vectorCodec.load();
}

}  // namespace isort::platform
