// The oracle for `isort sort`: random CSV texts, a CSV parser of the test's
// own (nothing shared with the command), the typing rule for key columns, and
// a std::stable_sort of the parsed records.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace isort::testing {

struct CsvRow {
  std::string raw;  // without its line end
  std::vector<std::string> fields;
};

// Parses well-formed CSV: records end at LF or CRLF outside quotes (the last
// may lack one); a blank line is one empty field.
inline std::vector<CsvRow> ParseCsv(const std::string& text) {
  std::vector<CsvRow> rows;
  for (std::size_t start = 0, i = 0; start < text.size(); start = ++i) {
    CsvRow row{"", {""}};
    bool quoted = false;
    for (; i < text.size() && (quoted || text[i] != '\n'); ++i) {
      std::string& field = row.fields.back();
      const char c = text[i];
      if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += text[i++];
      } else if (c == '"' && (quoted || field.empty())) {
        quoted = !quoted;
      } else if (!quoted && c == ',') {
        row.fields.emplace_back();
      } else {
        field += c;
      }
    }
    // A CR before the LF (or closing the input) is part of the line end.
    const std::size_t end = i > start && text[i - 1] == '\r' ? i - 1 : i;
    if (end < i) row.fields.back().pop_back();
    row.raw = text.substr(start, end - start);
    rows.push_back(row);
  }
  return rows;
}

// The number in `text` by the command's rule: blanks around it ignored, empty
// is the missing value (lowest), decimal only, finite.
inline bool OracleNumber(const std::string& text, double* value) {
  static const std::regex number(
      "[ \t]*([+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?)?[ \t]*");
  std::smatch match;
  if (!std::regex_match(text, match, number)) return false;
  *value =
      match[1].length() == 0 ? -DBL_MAX : std::strtod(match[1].str().c_str(), nullptr);
  return std::isfinite(*value);
}

struct OracleKey {
  std::size_t column;  // from 0
  int direction;       // +1 or -1
};

// The records of `text` after its header, stably sorted by `keys`, as the
// command must write them: the header first, each row followed by the
// header's line end. A key column sorts numerically when all its values are
// numbers, else by unsigned bytes (the C locale).
inline std::string ExpectedOutput(const std::string& text,
                                  const std::vector<OracleKey>& keys) {
  std::vector<CsvRow> rows = ParseCsv(text);
  const std::string header = rows.front().raw;
  rows.erase(rows.begin());
  const bool crlf = header.size() + 1 < text.size() && text[header.size()] == '\r';
  std::vector<bool> numeric(keys.size(), true);
  std::vector<std::vector<double>> numbers(rows.size(), std::vector<double>(keys.size()));
  for (std::size_t k = 0; k < keys.size(); ++k) {
    for (std::size_t r = 0; r < rows.size() && numeric[k]; ++r)
      numeric[k] = OracleNumber(rows[r].fields[keys[k].column], &numbers[r][k]);
  }
  std::vector<std::size_t> order(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) order[r] = r;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const std::string& u = rows[a].fields[keys[k].column];
      const std::string& v = rows[b].fields[keys[k].column];
      const int c =
          numeric[k] ? (numbers[a][k] > numbers[b][k]) - (numbers[a][k] < numbers[b][k])
                     : u.compare(v);
      if (c != 0) return (c < 0) == (keys[k].direction > 0);
    }
    return false;
  });
  const std::string lineEnd = crlf ? "\r\n" : "\n";
  std::string out = header + lineEnd;
  for (std::size_t r : order) out += rows[r].raw + lineEnd;
  return out;
}

// Kinds of generated columns.
enum class Column {
  kInteger,      // small integers: many ties
  kDecimal,      // decimals with fractions, signs, exponents and blanks
  kMissing,      // small numbers with many empty and blank fields
  kWord,         // short lowercase words, some empty
  kText,         // text with commas, quotes, newlines, CRs and blanks, quoted as needed
  kAlmostNumber  // numbers but for one word: must sort as strings
};

// A random CSV text: a header c1..cN, then `rows` records of the given
// column kinds, and `middle` (a record with its line end) before the middle
// one. `crlf` picks the line end, `finalLineEnd` whether the last record has
// one. Some fields are quoted without need.
inline std::string RandomCsv(std::mt19937_64& random, const std::vector<Column>& columns,
                             std::size_t rows, bool crlf, bool finalLineEnd = true,
                             const std::string& middle = "") {
  static const char* const kForms[] = {"%.3f", "%.1e", "%g", " %.2f ", "%+.4f", "%.0f."};
  static const char* const kPieces[] = {",", "\"",  "\n",   "\r\n",
                                        " ", "x,y", "\"\"", "\r"};
  auto pick = [&](int n) {
    return static_cast<int>(random() % static_cast<unsigned>(n));
  };
  auto word = [&](int maxLength) {
    std::string w(pick(maxLength + 1), ' ');
    for (char& c : w) c = static_cast<char>('a' + pick(6));
    return w;
  };
  auto value = [&](Column kind, bool odd) -> std::string {
    char buffer[64];
    switch (kind) {
      case Column::kInteger:
        return std::to_string(pick(7) - 2);
      case Column::kDecimal:
        std::snprintf(buffer, sizeof buffer, kForms[pick(6)], (pick(200001) - 1e5) / 1e3);
        return buffer;
      case Column::kMissing:
        return pick(10) == 0 ? " " : pick(3) == 0 ? "" : std::to_string(pick(5));
      case Column::kWord:
        return word(4);
      case Column::kText:
        return word(3) + (pick(2) == 0 ? kPieces[pick(8)] + word(2) : "");
      case Column::kAlmostNumber:
        return odd ? "n/a" : std::to_string(pick(50));
    }
    return "";
  };
  const std::string lineEnd = crlf ? "\r\n" : "\n";
  std::string text;
  for (std::size_t c = 0; c < columns.size(); ++c)
    text += (c == 0 ? "c" : ",c") + std::to_string(c + 1);
  text += lineEnd;
  for (std::size_t r = 0; r < rows; ++r) {
    if (r == rows / 2) text += middle;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      std::string field = value(columns[c], r == rows / 2);
      if (pick(8) == 0 || field.find_first_of(",\"\r\n") != std::string::npos) {
        for (std::size_t at = 0; (at = field.find('"', at)) != std::string::npos; at += 2)
          field.insert(at, 1, '"');
        field = '"' + field + '"';
      }
      text += (c == 0 ? "" : ",") + field;
    }
    if (r + 1 < rows || finalLineEnd) text += lineEnd;
  }
  return text;
}

}  // namespace isort::testing
