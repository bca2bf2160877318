// The group codec with AVX-512: eight units at a time, in vector registers.
//
// It writes and reads exactly the bytes of the portable codec (GroupFormat.cc,
// where the format is described): each unit gets the shortest of the same
// candidate forms, with the same preference where two forms are as short.
// The per-unit choices that the portable codec makes one unit after another
// are made here for eight lanes at once; the units' stored bytes are packed
// together with a byte compress, and spread out again with a byte expand.
// Used where the processor has AVX-512 with VBMI2 (and BMI2); see
// VectorCodecAvailable.
// GCC 12 takes the undefined vectors inside its own intrinsics for
// uninitialised values.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include <array>
#include <cstring>

#include "streams/GroupFormat.h"
#include "streams/GroupTags.h"

namespace isort::platform::streams::group {
namespace {

#define ISORT_VECTOR_CODEC \
  __attribute__((target("avx512f,avx512dq,avx512cd,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi2")))

// A 16-entry table of 64-bit values, looked up by the tag in each lane.
struct TagTable {
  __m512i low;   // entries 0-7
  __m512i high;  // entries 8-15
};

// The tables' entries by tag, made at compile time: a table made on first
// use costs every call a check that it has been. W1's payload groups within
// the caches (group_codec_bench, 4 rounds alternating) encode in 14.2-14.6
// ns against 14.7-15.0 and decode in 9.5-10.5 ns against 10.6-12.7.
struct TableEntries {
  alignas(64) std::uint64_t stored[16];
  alignas(64) std::uint64_t shift[16];
  alignas(64) std::uint64_t fill[16];
  constexpr TableEntries() : stored{}, shift{}, fill{} {
    for (unsigned tag = 0; tag < 16; ++tag) {
      stored[tag] = kStoredBytes[tag];
      shift[tag] = kEncodeShift[tag];
      fill[tag] = FillOf(tag);
    }
  }
};

constexpr TableEntries kEntries;

ISORT_VECTOR_CODEC inline TagTable Load(const std::uint64_t (&entries)[16]) {
  return {_mm512_load_si512(entries), _mm512_load_si512(entries + 8)};
}

ISORT_VECTOR_CODEC inline __m512i Lookup(const TagTable& table, __m512i tags) {
  return _mm512_permutex2var_epi64(table.low, tags, table.high);
}

struct Tables {
  TagTable stored, shift, fill;
};

ISORT_VECTOR_CODEC inline Tables TheTables() {
  return {Load(kEntries.stored), Load(kEntries.shift), Load(kEntries.fill)};
}

ISORT_VECTOR_CODEC inline __m512i Constant(std::uint64_t value) {
  return _mm512_set1_epi64(static_cast<long long>(value));
}

// The byte mask that keeps the low `stored[i]` bytes of lane i.
ISORT_VECTOR_CODEC inline __mmask64 StoredBytesMask(__m512i stored) {
  const __m512i perByte = _mm512_mullo_epi64(stored, _mm512_set1_epi64(0x0101010101010101));
  const __m512i byteInLane = _mm512_set1_epi64(0x0706050403020100);
  return _mm512_cmplt_epu8_mask(byteInLane, perByte);
}

ISORT_VECTOR_CODEC inline __mmask64 FirstBytes(unsigned count) {
  return count >= 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
}

// Bytes needed for each lane's x >= 1 as a little-endian integer (1-8).
ISORT_VECTOR_CODEC inline __m512i ByteLength(__m512i x) {
  return _mm512_srli_epi64(_mm512_sub_epi64(_mm512_set1_epi64(71), _mm512_lzcnt_epi64(x)), 3);
}

// A form that stores at most some bytes: the most it stores, and its tag.
struct Form {
  std::uint64_t bytes;
  std::uint64_t tag;
};

// Each lane's tag for `bytes` bytes to store: the smallest of `forms`
// (largest first) that holds them, `empty` for none, else the raw form.
ISORT_VECTOR_CODEC inline __m512i ShortestForm(__m512i bytes, const std::array<Form, 3>& forms,
                                               std::uint64_t empty) {
  __m512i tag = Constant(kRaw);
  for (const Form& form : forms) {
    tag = _mm512_mask_mov_epi64(tag, _mm512_cmple_epu64_mask(bytes, Constant(form.bytes)),
                                Constant(form.tag));
  }
  return _mm512_mask_mov_epi64(tag, _mm512_cmpeq_epu64_mask(bytes, _mm512_setzero_si512()),
                               Constant(empty));
}

// Encodes `count` (1-8) units: their tags into ceil(count / 2) bytes at
// `tags` and their stored bytes at `at`; returns the number of stored bytes.
ISORT_VECTOR_CODEC std::size_t EncodeEight(const OBS* units, unsigned count, unsigned char* tags,
                                           unsigned char* at, const Tables& tables) {
  const __mmask8 lanes = static_cast<__mmask8>((1u << count) - 1);
  const __m512i bits = _mm512_maskz_loadu_epi64(lanes, units);
  const __m512i zero = _mm512_setzero_si512();

  // An integer 1 .. 2^32 - 1 held as a double: its magnitude in 1-4 bytes
  // (negative ones in 1-2).
  const __m512d magnitude =
      _mm512_castsi512_pd(_mm512_and_si512(bits, Constant(~(std::uint64_t{1} << 63))));
  const __mmask8 inRange = _mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(1.0), _CMP_GE_OQ) &
                           _mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(4294967296.0), _CMP_LT_OQ);
  const __m512i integer = _mm512_maskz_cvttpd_epi64(inRange, magnitude);
  const __mmask8 exact =
      _mm512_mask_cmp_pd_mask(inRange, _mm512_cvtepi64_pd(integer), magnitude, _CMP_EQ_OQ);
  const __mmask8 negative = _mm512_test_epi64_mask(bits, Constant(std::uint64_t{1} << 63));
  const __m512i integerBytes = ByteLength(_mm512_max_epu64(integer, Constant(1)));
  const __m512i negativeTag = _mm512_mask_mov_epi64(
      Constant(kRaw), _mm512_cmple_epu64_mask(integerBytes, Constant(2)),
      _mm512_add_epi64(integerBytes, Constant(kMinus1 - 1)));
  const __m512i integerTag = _mm512_mask_mov_epi64(
      Constant(kRaw), exact,
      _mm512_mask_mov_epi64(_mm512_add_epi64(integerBytes, Constant(kPlus1 - 1)), negative,
                            negativeTag));

  // The unit's high bytes above its low zero bytes.
  const __m512i lowestBit = _mm512_and_si512(bits, _mm512_sub_epi64(zero, bits));
  const __m512i lowZeroBytes =
      _mm512_srli_epi64(_mm512_sub_epi64(Constant(63), _mm512_lzcnt_epi64(lowestBit)), 3);
  const __m512i highBytes = _mm512_maskz_sub_epi64(_mm512_test_epi64_mask(bits, bits),
                                                   Constant(8), lowZeroBytes);
  const __m512i highTag = ShortestForm(highBytes, {{{5, kHigh5}, {3, kHigh3}, {2, kHigh2}}}, kZero);

  // A string unit: its bytes in front of its trailing blanks.
  const __m512i text = _mm512_xor_si512(bits, Constant(kBlanks));
  const __m512i textBytes =
      _mm512_maskz_mov_epi64(_mm512_test_epi64_mask(text, text), ByteLength(text));
  const __m512i textTag = ShortestForm(textBytes, {{{6, kText6}, {4, kText4}, {2, kText2}}}, kBlank);

  // The shortest, preferring the high bytes, then the text, then the
  // integer where they are as short; the system-missing value above all.
  __m512i tag = highTag;
  __m512i stored = Lookup(tables.stored, tag);
  const __m512i textStored = Lookup(tables.stored, textTag);
  const __mmask8 textShorter = _mm512_cmplt_epu64_mask(textStored, stored);
  tag = _mm512_mask_mov_epi64(tag, textShorter, textTag);
  stored = _mm512_mask_mov_epi64(stored, textShorter, textStored);
  const __m512i integerStored = Lookup(tables.stored, integerTag);
  const __mmask8 integerShorter = _mm512_cmplt_epu64_mask(integerStored, stored);
  tag = _mm512_mask_mov_epi64(tag, integerShorter, integerTag);
  stored = _mm512_mask_mov_epi64(stored, integerShorter, integerStored);
  const __mmask8 missing = _mm512_cmpeq_epu64_mask(bits, Constant(kSystemMissing));
  tag = _mm512_mask_mov_epi64(tag, missing, Constant(kMissing));
  stored = _mm512_mask_mov_epi64(stored, missing, zero);
  tag = _mm512_maskz_mov_epi64(lanes, tag);
  stored = _mm512_maskz_mov_epi64(lanes, stored);

  // Tags two to a byte, the even unit in the low nibble.
  const __m128i tagBytes = _mm512_cvtepi64_epi8(tag);
  const __m128i pairs = _mm_maddubs_epi16(tagBytes, _mm_set1_epi16(0x1001));
  const std::uint32_t packedTags = static_cast<std::uint32_t>(
      _mm_cvtsi128_si32(_mm_packus_epi16(pairs, pairs)));
  // Eight units take their four tag bytes in one store: as a loop of byte
  // stores, the copy of (count + 1) / 2 bytes took 8% of W1's payload
  // encoding, which now takes 15.4-15.6 ns a group against 16.7-17.4
  // (group_codec_bench, W1_Payload_cached, 3 rounds alternating). Fewer
  // units may not: the group's stored bytes, some already written, follow
  // its last tag byte.
  if (count == 8) {
    std::memcpy(tags, &packedTags, 4);
  } else {
    std::memcpy(tags, &packedTags, (count + 1) / 2);
  }

  const __mmask8 isInteger = _mm512_cmpge_epu64_mask(tag, Constant(kPlus1)) &
                             _mm512_cmple_epu64_mask(tag, Constant(kMinus2));
  const __m512i words = _mm512_mask_mov_epi64(
      _mm512_srlv_epi64(bits, Lookup(tables.shift, tag)), isInteger, integer);
  const __mmask64 keep = StoredBytesMask(stored);
  const auto bytes = static_cast<unsigned>(__builtin_popcountll(keep));
  _mm512_mask_storeu_epi8(at, FirstBytes(bytes), _mm512_maskz_compress_epi8(keep, words));
  return bytes;
}

// Decodes `count` (1-8) units of a coded group whose tags for them are at
// `tags` and whose stored bytes start at `at`; returns the stored bytes read.
ISORT_VECTOR_CODEC std::size_t DecodeEight(const unsigned char* tags, unsigned count,
                                           const unsigned char* at, OBS* units,
                                           const Tables& tables) {
  const __m128i tagBytes =
      _mm_maskz_loadu_epi8(static_cast<__mmask16>((1u << ((count + 1) / 2)) - 1), tags);
  const std::uint64_t nibbles = _pdep_u64(static_cast<std::uint32_t>(_mm_cvtsi128_si32(tagBytes)),
                                          0x0F0F0F0F0F0F0F0Full);
  const __m512i tag = _mm512_cvtepu8_epi64(_mm_cvtsi64_si128(static_cast<long long>(nibbles)));
  const __mmask64 keep = StoredBytesMask(Lookup(tables.stored, tag));
  const auto bytes = static_cast<unsigned>(__builtin_popcountll(keep));
  const __m512i words =
      _mm512_maskz_expand_epi8(keep, _mm512_maskz_loadu_epi8(FirstBytes(bytes), at));

  const __mmask8 isInteger = _mm512_cmpge_epu64_mask(tag, Constant(kPlus1)) &
                             _mm512_cmple_epu64_mask(tag, Constant(kMinus2));
  const __mmask8 negative = _mm512_cmpge_epu64_mask(tag, Constant(kMinus1)) & isInteger;
  const __m512i asInteger = _mm512_mask_or_epi64(
      _mm512_castpd_si512(_mm512_cvtepi64_pd(words)), negative,
      _mm512_castpd_si512(_mm512_cvtepi64_pd(words)), Constant(std::uint64_t{1} << 63));
  const __m512i asBits = _mm512_or_si512(_mm512_sllv_epi64(words, Lookup(tables.shift, tag)),
                                         Lookup(tables.fill, tag));
  _mm512_mask_storeu_epi64(units, static_cast<__mmask8>((1u << count) - 1),
                           _mm512_mask_mov_epi64(asBits, isInteger, asInteger));
  return bytes;
}

}  // namespace

bool VectorCodecAvailable() {
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
  }();
  return available;
}

ISORT_VECTOR_CODEC std::size_t EncodeVector(const OBS* units, std::size_t n, unsigned char* out) {
  const Tables tables = TheTables();
  unsigned char* tags = out + 1;
  unsigned char* at = tags + (n + 1) / 2;
  for (std::size_t first = 0; first < n; first += 8) {
    const auto count = static_cast<unsigned>(n - first < 8 ? n - first : 8);
    at += EncodeEight(units + first, count, tags + first / 2, at, tables);
  }
  return FinishGroup(units, n, out, static_cast<std::size_t>(at - out));
}

ISORT_VECTOR_CODEC void DecodeCodedVector(const unsigned char* group, std::size_t n, OBS* units) {
  const Tables tables = TheTables();
  const unsigned char* tags = group + 1;
  const unsigned char* at = tags + (n + 1) / 2;
  for (std::size_t first = 0; first < n; first += 8) {
    const auto count = static_cast<unsigned>(n - first < 8 ? n - first : 8);
    at += DecodeEight(tags + first / 2, count, at, units + first, tables);
  }
}

#undef ISORT_VECTOR_CODEC

}  // namespace isort::platform::streams::group
