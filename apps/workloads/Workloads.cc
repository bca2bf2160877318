#include "workloads/Workloads.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace isort::workloads {
namespace {

std::uint64_t Mix(std::uint64_t x) {  // splitmix64's finaliser
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A random 64-bit value for (row, column), fixed for all time.
std::uint64_t Random(std::uint64_t row, unsigned int column) {
  return Mix(row * 64 + column + 0x5DEECE66Dull);
}

double Uniform(std::uint64_t r) { return static_cast<double>(r >> 11) * 0x1.0p-53; }

// r scaled into [0, range) by a multiply instead of a division.
std::uint64_t Below(std::uint64_t r, std::uint64_t range) { return ((r >> 32) * range) >> 32; }

double Integer(std::uint64_t r, std::uint64_t low, std::uint64_t high) {
  return static_cast<double>(low + Below(r, high - low + 1));
}

// Appends a word of minLetters to maxLetters lowercase letters to `text` at
// `length`; returns the new length. Each letter takes 5 bits of one random
// value, so a word costs two mixes.
std::size_t AppendWord(std::uint64_t r, unsigned int minLetters, unsigned int maxLetters,
                       char* text, std::size_t length) {
  const auto letters = static_cast<unsigned int>(minLetters + Below(r, maxLetters - minLetters + 1));
  std::uint64_t bits = Mix(r);
  for (unsigned int i = 0; i < letters; ++i, bits >>= 5) {
    text[length++] = static_cast<char>('a' + ((bits & 31) * 26 >> 5));
  }
  return length;
}
// W1's columns c4 .. c10 (also W2's c3 .. c8, which take c4 .. c9).
double W1Column(std::uint64_t row, unsigned int column) {
  const std::uint64_t r = Random(row, column);
  switch (column) {
    case 4: case 7: return Integer(r, 0, 9);
    case 5: case 8: case 10: return Integer(r, 0, 100000);
    case 6: return Below(r, 20) == 0 ? kSystemMissing : Uniform(Mix(r));
    case 9: return Uniform(r);
  }
  return 0;
}

void GenerateW1(std::uint64_t i, OBS* row) {
  row[0] = static_cast<double>(i);
  row[1] = Integer(Random(i, 2), 1, 1000);
  row[2] = static_cast<double>(Below(Random(i, 3), 10000)) / 10000.0;
  for (unsigned int c = 4; c <= 10; ++c) row[c - 1] = W1Column(i, c);
}

void GenerateW2(std::uint64_t i, OBS* row) {
  row[0] = static_cast<double>(i);
  char s1[16];
  std::memset(s1, ' ', sizeof s1);
  AppendWord(Random(i, 2), 4, 12, s1, 0);
  std::memcpy(row + 1, s1, sizeof s1);
  row[3] = Integer(Random(i, 4), 1, 50);
  // s2: words of 3 to 8 letters, single blanks between, 10 to 40 characters.
  std::uint64_t r = Random(i, 5);
  const std::size_t target = 10 + Below(r, 31);
  char s2[40 + 9];
  std::size_t length = 0;
  while (length < target) {
    r = Mix(r);
    if (length != 0) s2[length++] = ' ';
    length = AppendWord(r, 3, 8, s2, length);
  }
  if (s2[target - 1] == ' ') s2[target - 1] = 'x';
  std::memset(s2 + target, ' ', sizeof s2 - target);
  std::memcpy(row + 4, s2, 40);
  for (unsigned int c = 4; c <= 9; ++c) row[c + 5] = W1Column(i, c);
}

std::vector<Layout> MakeLayouts() {
  const std::vector<Key> w1Keys = {{1, 1, 0}, {2, -1, 0}};
  return {
      {"W1", 10000000, 10, w1Keys},
      {"W2", 3000000, 15, {{1, 1, 16}, {3, -1, 0}}},
      {"W3", 1000000, 10, w1Keys},
      {"W4", 40000000, 10, w1Keys},
  };
}

}  // namespace

std::vector<SI> Layout::HostKeys() const {
  std::vector<SI> host(keys.size() * 3);
  const std::size_t n = keys.size();
  for (std::size_t k = 0; k < n; ++k) {
    host[k] = keys[k].position + 1;
    host[n + k] = keys[k].direction;
    host[2 * n + k] = keys[k].width;
  }
  return host;
}

bool ParseWorkload(const std::string& text, Workload* workload) {
  std::string upper;
  for (char c : text) upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  static const Workload all[] = {Workload::W1, Workload::W2, Workload::W3, Workload::W4};
  for (Workload w : all) {
    if (upper == LayoutOf(w).name) {
      *workload = w;
      return true;
    }
  }
  return false;
}

const Layout& LayoutOf(Workload workload) {
  static const std::vector<Layout> layouts = MakeLayouts();
  return layouts[static_cast<int>(workload)];
}

void GenerateRow(Workload workload, std::uint64_t index, OBS* row) {
  if (workload == Workload::W2) {
    GenerateW2(index, row);
  } else {
    GenerateW1(index, row);
  }
}

Generator::Generator(Workload workload, std::uint64_t rows)
    : workload_(workload), rows_(rows) {}

bool Generator::Next(OBS* row) {
  if (next_ >= rows_) return false;
  GenerateRow(workload_, next_++, row);
  return true;
}

std::uint64_t RowHash(const OBS* row, unsigned int units) {
  std::uint64_t h = 0x243F6A8885A308D3ull;
  for (unsigned int u = 0; u < units; ++u) {
    std::uint64_t bits;
    std::memcpy(&bits, row + u, sizeof bits);
    h = Mix(h ^ bits);
  }
  return h;
}

int CompareRows(const Layout& layout, const OBS* a, const OBS* b) {
  for (const Key& key : layout.keys) {
    int result = 0;
    if (key.width == 0) {
      const double x = a[key.position], y = b[key.position];
      result = x < y ? -1 : (y < x ? 1 : 0);
    } else {
      result = std::memcmp(a + key.position, b + key.position, key.width);
      result = result < 0 ? -1 : (result > 0 ? 1 : 0);
    }
    if (result != 0) return result * key.direction;
  }
  return a[0] < b[0] ? -1 : (b[0] < a[0] ? 1 : 0);
}

Checker::Checker(Workload workload, std::uint64_t rows)
    : workload_(workload),
      layout_(LayoutOf(workload)),
      rows_(rows),
      expected_(layout_.units),
      seen_((rows + 7) / 8) {}

void Checker::Fail(const std::string& why) {
  if (failure_.empty()) failure_ = why + " (at output row " + std::to_string(taken_) + ")";
}

void Checker::Take(const OBS* row) {
  const unsigned int units = layout_.units;
  checksum_ += RowHash(row, units);
  const double id = row[0];
  if (!(id >= 0 && id < static_cast<double>(rows_)) || id != static_cast<double>(static_cast<std::uint64_t>(id))) {
    Fail("a row with an id that was never generated");
  } else {
    const auto index = static_cast<std::uint64_t>(id);
    if (seen_[index / 8] & (1u << (index % 8))) Fail("row " + std::to_string(index) + " delivered twice");
    seen_[index / 8] |= static_cast<std::uint8_t>(1u << (index % 8));
    GenerateRow(workload_, index, expected_.data());
    if (std::memcmp(expected_.data(), row, units * sizeof(OBS)) != 0) {
      Fail("row " + std::to_string(index) + " came back with different contents");
    }
  }
  if (!previous_.empty() && CompareRows(layout_, previous_.data(), row) > 0) {
    Fail("rows out of order");
  }
  previous_.assign(row, row + units);
  ++taken_;
}

bool Checker::Passed() const { return failure_.empty() && taken_ == rows_; }

std::string Checker::Failure() const {
  if (!failure_.empty()) return failure_;
  if (taken_ != rows_) {
    return "expected " + std::to_string(rows_) + " rows, got " + std::to_string(taken_);
  }
  return "";
}

std::uint64_t Checker::ExpectedChecksum() const {
  std::uint64_t sum = 0;
  std::vector<OBS> row(layout_.units);
  for (std::uint64_t i = 0; i < rows_; ++i) {
    GenerateRow(workload_, i, row.data());
    sum += RowHash(row.data(), layout_.units);
  }
  return sum;
}

}  // namespace isort::workloads
