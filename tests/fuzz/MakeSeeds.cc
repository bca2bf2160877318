// Writes the seed corpora of the fuzz targets: a few small inputs each, in the
// layouts their sources describe, that reach the main roads (valid plans and
// refused keys, plain and compressed records, runs for obmove_, groups that
// decode, raw groups, large groups, truncated streams).
//
//   fuzz_make_seeds <corpus directory>
//
// writes <corpus directory>/<target>/seed-NN and replaces what was there
// under those names. The committed corpora in tests/fuzz/corpus came from it.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "vorn/Streams.h"

namespace {

using isort::fuzz::ByteWriter;

void Save(const std::string& directory, const std::string& target, int number,
          const ByteWriter& input) {
  const std::string folder = directory + "/" + target;
  ::mkdir(folder.c_str(), 0755);
  char name[32];
  std::snprintf(name, sizeof name, "/seed-%02d", number);
  const std::string path = folder + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  const auto& bytes = input.Data();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

// ---- record_map: flags, WIDRAW, NKEYS + 16, then per key a kind byte and its
// values (RecordMapFuzzer.cc).

// A key whose position is 1 + u16 (mode 0), ascending or descending, numeric
// or a string of 1 + u8 bytes.
void MapKey(ByteWriter& w, unsigned position, bool descending, unsigned width) {
  const unsigned kind = (descending ? 1u << 2 : 0u) | (width > 0 ? 4u << 5 : 0u);
  w.U8(static_cast<std::uint8_t>(kind)).U16(static_cast<std::uint16_t>(position - 1));
  if (width > 0) w.U8(static_cast<std::uint8_t>(width - 1));
}

void RecordMapSeeds(const std::string& directory) {
  const char* target = "record_map";
  // The planning example: WIDRAW 10; numeric at 7, a 12-byte string at 2
  // descending, numeric at 4.
  for (int rearr = 0; rearr < 2; ++rearr) {
    ByteWriter w;
    w.U8(static_cast<std::uint8_t>(rearr)).U8(10).U16(3 + 16);
    MapKey(w, 7, false, 0);
    MapKey(w, 2, true, 12);
    MapKey(w, 4, false, 0);
    Save(directory, target, rearr, w);
  }
  {  // Refused: direction 0, position from I64 0, a string past the row.
    ByteWriter w;
    w.U8(1).U8(8).U16(3 + 16);
    w.U8(4 << 2).U16(0);
    w.U8(3).I64(0);
    MapKey(w, 6, false, 40);
    Save(directory, target, 2, w);
  }
  {  // No keys on a row of 0 units, and on one of -3 units.
    ByteWriter w;
    w.U8(1).U8(0).U16(16);
    Save(directory, target, 3, w);
    ByteWriter n;
    n.U8(1 | 2 << 1).U8(3).U16(16);
    Save(directory, target, 4, n);
  }
  {  // 100 keys on 300 units: touching, overlapping, repeated.
    ByteWriter w;
    w.U8(1 | 1 << 1).U16(300).U16(100 + 16);
    isort::fuzz::Random random(7);
    for (int k = 0; k < 100; ++k) {
      MapKey(w, 1 + static_cast<unsigned>(random.Below(290)), random.Below(2) != 0,
             random.Below(3) == 0 ? 1 + static_cast<unsigned>(random.Below(40)) : 0);
    }
    Save(directory, target, 5, w);
  }
  {  // The largest row: keys at its last units and at unit 1.
    ByteWriter w;
    w.U8(1 | 3 << 1).I64(INT64_MAX).U16(3 + 16);
    w.U8(2).U8(0);
    w.U8(2 | 1 << 2 | 4 << 5).U8(1).U8(15);
    MapKey(w, 1, false, 0);
    Save(directory, target, 6, w);
  }
  {  // A negative key count.
    ByteWriter w;
    w.U8(1).U8(5).U16(5);
    Save(directory, target, 7, w);
  }
}

// ---- record_unpack: flags, WIDRAW, NKEYS, keys (U16 position - 1, U8
// direction, U8 width), header, row seed, edits (RecordUnpackFuzzer.cc).

struct UnpackKey {
  unsigned position;
  bool descending;
  unsigned width;
};

ByteWriter Unpack(bool rearr, bool compressed, unsigned rowWidth,
                  const std::vector<UnpackKey>& keys, std::uint64_t seed) {
  ByteWriter w;
  w.U8(static_cast<std::uint8_t>((rearr ? 1 : 0) | (compressed ? 2 : 0)));
  w.U16(static_cast<std::uint16_t>(rowWidth)).U8(static_cast<std::uint8_t>(keys.size()));
  for (const UnpackKey& key : keys) {
    w.U16(static_cast<std::uint16_t>(key.position - 1)).U8(key.descending ? 2 : 1);
    w.U8(static_cast<std::uint8_t>(key.width));
  }
  w.U64(0x4844520000000000ull + seed).U64(seed);
  return w;
}

void RecordUnpackSeeds(const std::string& directory) {
  const char* target = "record_unpack";
  // W1's layout: 10 units, keys c2 and c3 descending.
  const std::vector<UnpackKey> w1 = {{2, true, 0}, {3, true, 0}};
  Save(directory, target, 0, Unpack(true, true, 10, w1, 1));
  Save(directory, target, 1, Unpack(true, false, 10, w1, 2));
  {  // Damaged: a control unit's codes become literals and unused codes.
    ByteWriter w = Unpack(true, true, 10, w1, 3);
    w.U16(8 * 4).U8(253).U16(8 * 4 + 1).U8(0).U16(8 * 4 + 7).U8(255);
    Save(directory, target, 2, w);
  }
  {  // String keys, one of 16 bytes over two units, trimmed and restored.
    ByteWriter w = Unpack(true, true, 12, {{2, false, 16}, {6, true, 5}, {9, false, 0}}, 4);
    w.U16(16 + 3).U8(0);
    Save(directory, target, 3, w);
  }
  // Runs of more than 999 units: payload runs in a compressed record, a key
  // run's plain copy of the whole row without REARR.
  Save(directory, target, 4, Unpack(true, true, 1500, {{700, false, 0}}, 5));
  Save(directory, target, 5, Unpack(false, false, 1500, {{3, false, 24}}, 6));
  Save(directory, target, 6, Unpack(true, true, 2000, {{1, false, 0}}, 7));
  // No keys: nine payload units, two control units.
  Save(directory, target, 7, Unpack(true, true, 9, {}, 8));
}

// ---- stream_decoder: buffer size, group sizes, then the stream's bytes
// (StreamDecoderFuzzer.cc).

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

std::vector<std::uint8_t> Encode(const std::vector<std::vector<std::uint64_t>>& groups) {
  VORN_InMemoryFile stream(0);
  for (const auto& group : groups) {
    std::vector<OBS> units(group.size());
    std::memcpy(units.data(), group.data(), 8 * group.size());
    WriteCompressed(stream, units.data(), static_cast<long>(units.size()));
  }
  const long size = stream.Tell();
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  stream.Seek(0, VORN_StrBaseIO::FromStart);
  stream.Read(bytes.data(), bytes.size());
  return bytes;
}

// A row shaped like W1's: an id, small integers, fractions, a missing value.
std::vector<std::uint64_t> W1Row(std::uint64_t i) {
  isort::fuzz::Random random(i);
  std::vector<std::uint64_t> row(10);
  row[0] = Bits(static_cast<double>(i));
  row[1] = Bits(static_cast<double>(1 + random.Below(1000)));
  row[2] = Bits(static_cast<double>(random.Below(10000)) / 10000.0);
  row[3] = Bits(static_cast<double>(random.Below(10)));
  row[4] = Bits(static_cast<double>(random.Below(100001)));
  row[5] = random.Below(20) == 0 ? Bits(-1.7976931348623157e308)
                                 : Bits(static_cast<double>(random.Below(1u << 30)) / 1073741824.0);
  row[6] = Bits(static_cast<double>(random.Below(10)));
  row[7] = Bits(static_cast<double>(random.Below(100001)));
  row[8] = Bits(static_cast<double>(random.Below(1u << 30)) / 1073741824.0);
  row[9] = Bits(-static_cast<double>(random.Below(70000)));
  return row;
}

ByteWriter Stream(unsigned bufferValue, const std::vector<std::uint16_t>& sizeValues,
                  const std::vector<std::uint8_t>& bytes) {
  ByteWriter w;
  w.U8(static_cast<std::uint8_t>(bufferValue)).U8(static_cast<std::uint8_t>(sizeValues.size() - 1));
  for (std::uint16_t value : sizeValues) w.U16(value);
  w.Bytes(bytes.data(), bytes.size());
  return w;
}

void StreamDecoderSeeds(const std::string& directory) {
  const char* target = "stream_decoder";
  std::vector<std::vector<std::uint64_t>> rows;
  for (std::uint64_t i = 0; i < 12; ++i) rows.push_back(W1Row(i));
  const std::vector<std::uint8_t> w1 = Encode(rows);
  Save(directory, target, 0, Stream(7, {9}, w1));  // groups of 10 units, 8-byte buffer

  // Key groups of 3 units and payload groups of 7, as a run holds them.
  std::vector<std::vector<std::uint64_t>> split;
  for (const auto& row : rows) {
    split.emplace_back(row.begin(), row.begin() + 3);
    split.emplace_back(row.begin() + 3, row.end());
  }
  Save(directory, target, 1, Stream(12, {2, 6}, Encode(split)));

  // Units that only a raw group holds.
  isort::fuzz::Random random(11);
  std::vector<std::uint64_t> noise(5);
  for (auto& unit : noise) unit = random.Next();
  Save(directory, target, 2, Stream(0, {4}, Encode({noise, noise})));

  // Every kind of tag: zero, missing, blanks, integers, text, high bytes.
  const std::uint64_t blanks = 0x2020202020202020ull;
  std::vector<std::uint64_t> tags = {0, Bits(-1.7976931348623157e308), blanks, Bits(7.0),
                                     Bits(300.0), Bits(70000.0), Bits(4000000000.0), Bits(-5.0),
                                     Bits(-600.0), (blanks & ~0xFFFFull) | 0x6261,
                                     (blanks & ~0xFFFFFFFFull) | 0x64636261,
                                     (blanks & ~0xFFFFFFFFFFFFull) | 0x666564636261, Bits(0.5),
                                     Bits(1.0 / 3.0), Bits(1e300), 0x7FF8000000000001ull};
  Save(directory, target, 3, Stream(31, {15}, Encode({tags, tags})));

  // A group of 300 units: 1 + 63299 % 3000.
  std::vector<std::uint64_t> large;
  for (int i = 0; i < 300; ++i) large.push_back(Bits(static_cast<double>(i % 17)));
  Save(directory, target, 4, Stream(63, {63299}, Encode({large})));

  // A stream that ends inside a group, and an empty one.
  std::vector<std::uint8_t> cut(w1.begin(), w1.begin() + static_cast<long>(w1.size() / 2));
  Save(directory, target, 5, Stream(3, {9}, cut));
  Save(directory, target, 6, Stream(0, {0}, {}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const std::string directory = argv[1];
  ::mkdir(directory.c_str(), 0755);
  RecordMapSeeds(directory);
  RecordUnpackSeeds(directory);
  StreamDecoderSeeds(directory);
  return 0;
}
