// Plain models of the packed record format and of the record plan, written
// straight from the format's rules with no regard for speed, against which the
// record routines are checked. Also helpers to build rows and records.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "host/HostServices.h"
#include "isort/sortfile.h"
#include "isort/types.h"

namespace records_test {

using Units = std::vector<std::uint64_t>;

inline std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline double FromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

constexpr std::uint64_t kBlanks = 0x2020202020202020u;

// 8 bytes of text as one unit.
inline std::uint64_t Text8(const char (&text)[9]) {
  std::uint64_t bits;
  std::memcpy(&bits, text, 8);
  return bits;
}

// The 8 bytes of a unit, in memory order.
inline std::string BytesOf(std::uint64_t unit) {
  return std::string(reinterpret_cast<const char*>(&unit), 8);
}

// A unit from eight byte codes, code 1 at the lowest address.
inline std::uint64_t Control(std::vector<unsigned> codes) {
  codes.resize(8, 0);
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(codes[i]);
  std::uint64_t unit;
  std::memcpy(&unit, bytes, 8);
  return unit;
}

inline std::uint64_t SystemMissing() { return Bits(CmnGlb[1]); }

struct Pair {
  INTEGER position;
  INTEGER count;
};

inline bool operator==(const Pair& a, const Pair& b) {
  return a.position == b.position && a.count == b.count;
}
inline void PrintTo(const Pair& p, std::ostream* os) {
  *os << "(" << p.position << ", " << p.count << ")";
}

inline std::vector<INTEGER> Flatten(const std::vector<Pair>& pairs) {
  std::vector<INTEGER> map;
  for (const Pair& p : pairs) {
    map.push_back(p.position);
    map.push_back(p.count);
  }
  return map;
}

// The code of one unit, the tests taken one after another in their order.
inline unsigned ModelCode(std::uint64_t v, std::uint64_t missing) {
  if (v == missing) return 255;
  if (v == kBlanks) return 254;
  if ((v & 0xFFFFFFFFu) != 0) return 253;
  if (v == 0) return 100;
  const int e = static_cast<int>((v >> 52) & 0x7FF) - 1023;
  if (e >= 0 && e <= 7) {
    const unsigned top = 0x80u | static_cast<unsigned>((v >> 45) & 0x7F);
    const int m = static_cast<int>(top >> (7 - e));
    const int c = (v >> 63) == 0 ? 100 + m : 100 - m;
    if (c >= 1 && c <= 251 && (v >> 32) == IEEEPart1[c]) return static_cast<unsigned>(c);
  }
  return 253;
}

// Trims (or restores) the string key fields of a record held as units.
inline void ModelKeyFields(Units& record, const std::vector<INTEGER>& keylst, bool trim) {
  for (std::size_t t = 0; keylst[t + 1] >= 0; t += 3) {
    const INTEGER width = keylst[t + 1];
    if (width == 0) continue;
    char* field = reinterpret_cast<char*>(record.data() + 2 + (keylst[t] - 1));
    std::string text(field, static_cast<std::size_t>(width));
    if (trim) {
      if (text.back() != ' ') continue;
      const std::size_t last = text.find_last_not_of(' ');
      text[last == std::string::npos ? 0 : last + 1] = '\0';
    } else {
      const std::size_t nul = text.find('\0');
      if (nul == std::string::npos) continue;
      for (std::size_t i = nul; i < text.size(); ++i) text[i] = ' ';
    }
    std::memcpy(field, text.data(), text.size());
  }
}

// The packed record that a row gives.
inline Units ModelPack(const Units& row, const std::vector<Pair>& map, int nkmap,
                       bool compressed, std::uint64_t header,
                       const std::vector<INTEGER>& keylst) {
  Units record = {0, header};
  const std::size_t nPlain = compressed ? static_cast<std::size_t>(nkmap) : map.size();
  for (std::size_t p = 0; p < nPlain; ++p) {
    for (INTEGER i = 0; i < map[p].count; ++i)
      record.push_back(row[map[p].position - 1 + i]);
  }
  if (compressed) {
    Units payload;
    for (std::size_t p = nPlain; p < map.size(); ++p) {
      const auto count = static_cast<std::int32_t>(map[p].count);
      for (std::int32_t i = 0; i < count; ++i)
        payload.push_back(row[map[p].position - 1 + i]);
    }
    for (std::size_t g = 0; g < payload.size(); g += 8) {
      std::vector<unsigned> codes;
      Units literals;
      for (std::size_t i = g; i < payload.size() && i < g + 8; ++i) {
        codes.push_back(ModelCode(payload[i], SystemMissing()));
        if (codes.back() == 253) literals.push_back(payload[i]);
      }
      record.push_back(Control(codes));
      record.insert(record.end(), literals.begin(), literals.end());
    }
  }
  record[0] = record.size();
  ModelKeyFields(record, keylst, true);
  return record;
}

// The record plan, from the units that the keys cover: key runs are the
// stretches of covered units, payload runs the stretches of uncovered ones,
// and a key's field lies where its first unit lands in the key part.
struct Plan {
  std::vector<Pair> map;
  INTEGER nkmap = 0;
  INTEGER keywid = 0;
  std::vector<INTEGER> keylst;
};

inline Plan ModelPlan(const std::vector<SI>& keys, INTEGER widraw) {
  const std::size_t n = keys.size() / 3;
  std::vector<bool> covered(static_cast<std::size_t>(widraw) + 2, false);
  for (std::size_t k = 0; k < n; ++k) {
    const INTEGER units = keys[2 * n + k] <= 8 ? 1 : (keys[2 * n + k] + 7) / 8;
    for (INTEGER u = 0; u < units; ++u) covered[keys[k] + u] = true;
  }
  Plan plan;
  std::vector<Pair> payload;
  std::vector<INTEGER> keyPartIndex(covered.size(), 0);
  for (INTEGER u = 1; u <= widraw;) {
    INTEGER v = u;
    while (v <= widraw && covered[v] == covered[u]) {
      if (covered[v]) keyPartIndex[v] = ++plan.keywid;
      ++v;
    }
    (covered[u] ? plan.map : payload).push_back({u, v - u});
    u = v;
  }
  plan.nkmap = static_cast<INTEGER>(plan.map.size());
  plan.map.insert(plan.map.end(), payload.begin(), payload.end());
  for (std::size_t k = 0; k < n; ++k) {
    plan.keylst.insert(plan.keylst.end(),
                       {keyPartIndex[keys[k]], keys[2 * n + k], keys[n + k]});
  }
  plan.keylst.insert(plan.keylst.end(), {1, -1, 1});
  return plan;
}

// A host key array (column-major) from (position, direction, width) rows.
struct HostKey {
  SI position;
  SI direction;
  SI width;
};

inline std::vector<SI> HostKeys(const std::vector<HostKey>& keys) {
  const std::size_t n = keys.size();
  std::vector<SI> host(3 * n);
  for (std::size_t k = 0; k < n; ++k) {
    host[k] = keys[k].position;
    host[n + k] = keys[k].direction;
    host[2 * n + k] = keys[k].width;
  }
  return host;
}

// Values that exercise every road of the code choice.
inline std::uint64_t RandomNumericUnit(std::mt19937_64& random) {
  switch (random() % 10) {
    case 0:
      return Bits(static_cast<double>(static_cast<int>(random() % 400) - 130));
    case 1:
      return Bits(static_cast<double>(static_cast<int>(random() % 400) - 130) + 0.5);
    case 2:
      return SystemMissing();
    case 3:
      return kBlanks;
    case 4:
      return random() % 2 ? 0 : Bits(-0.0);
    case 5:  // lower half 0, exponent of a small integer, any upper mantissa
      return ((random() % 2) << 63) | ((1023 + random() % 9) << 52) |
             ((random() & 0xFFFFF) << 32);
    case 6:
      return Bits(1e300 * static_cast<double>(random() % 3));
    case 7:
      return IEEEPart1[random() % 256] << 32;
    default:
      return random();  // NaN patterns and bytes included
  }
}

// 8 text bytes without a NUL, often ending in blanks.
inline std::uint64_t RandomTextUnit(std::mt19937_64& random) {
  static const char kLetters[] = "ab XYZ019.";
  const int text = static_cast<int>(random() % 9);
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) {
    bytes[i] = i < text ? static_cast<unsigned char>(kLetters[random() % 10]) : ' ';
  }
  std::uint64_t unit;
  std::memcpy(&unit, bytes, 8);
  return unit;
}

// Packs `row` with srtfpk_ into a buffer of the largest size the map allows,
// filled beforehand with a pattern; checks that nothing past the record's
// length was written, and returns the record.
inline Units PackRecord(const Units& row, const std::vector<Pair>& map, INTEGER nkmap,
                        INTEGER flags, const std::vector<INTEGER>& keylst,
                        std::uint64_t header = 0x0123456789ABCDEFu) {
  const bool compressed = (flags & 1) != 0;
  std::size_t room = 2;
  std::size_t payload = 0;
  for (std::size_t p = 0; p < map.size(); ++p) {
    if (compressed && p >= static_cast<std::size_t>(nkmap)) {
      payload +=
          static_cast<std::size_t>(std::max(0, static_cast<std::int32_t>(map[p].count)));
    } else {
      room += static_cast<std::size_t>(map[p].count);
    }
  }
  room += payload + (payload + 7) / 8;
  constexpr std::uint64_t kUnwritten = 0x5A5A5A5A5A5A5A5Au;
  Units buffer(room, kUnwritten);
  const std::vector<INTEGER> flat = Flatten(map);
  const INTEGER nmap = static_cast<INTEGER>(map.size());
  const double hdrval = FromBits(header);
  srtfpk_(reinterpret_cast<const OBS*>(row.data()), reinterpret_cast<OBS*>(buffer.data()),
          hdrval, flat.data(), keylst.data(), nmap, nkmap, flags);
  const std::uint64_t length = buffer[0];
  EXPECT_LE(length, room);
  if (length > room) return buffer;
  for (std::size_t i = length; i < room; ++i) {
    EXPECT_EQ(buffer[i], kUnwritten) << "unit " << i + 1 << " past the record";
  }
  buffer.resize(length);
  return buffer;
}

// Unpacks `record` with srtfup_ into `row` (restoring its key fields in place).
inline void UnpackRecord(Units& record, Units& row, const std::vector<Pair>& map,
                         INTEGER nkmap, INTEGER flags,
                         const std::vector<INTEGER>& keylst) {
  const std::vector<INTEGER> flat = Flatten(map);
  const INTEGER nmap = static_cast<INTEGER>(map.size());
  srtfup_(reinterpret_cast<OBS*>(record.data()), reinterpret_cast<OBS*>(row.data()),
          flat.data(), keylst.data(), nmap, nkmap, flags);
}

const std::vector<INTEGER> kNoKeyFields = {1, -1, 1};

}  // namespace records_test
