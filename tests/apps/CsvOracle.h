// The oracle for `isort sort`: random CSV texts, a CSV parser of the test's
// own (a plain RFC 4180 state machine, nothing shared with the command), the
// typing rule for key columns, and a std::stable_sort of the parsed records.
#pragma once

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace isort::testing {

struct CsvRow {
  std::string raw;  // without its line end
  std::vector<std::string> fields;
  std::uint64_t line = 0;  // first line, from 1
};

// Parses well-formed CSV: records end at LF or CRLF outside quotes (the last
// may lack one); a blank line is one empty field.
inline std::vector<CsvRow> ParseCsv(const std::string& text) {
  std::vector<CsvRow> rows;
  std::size_t start = 0;
  std::uint64_t line = 1;
  while (start < text.size()) {
    CsvRow row;
    row.line = line;
    std::string field;
    bool quoted = false;     // inside quotes
    bool wasQuoted = false;  // the field began with a quote
    std::size_t i = start;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      if (quoted) {
        if (c == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            ++i;
          } else {
            quoted = false;
          }
        } else {
          if (c == '\n') ++line;
          field += c;
        }
      } else if (c == '"' && field.empty() && !wasQuoted) {
        quoted = wasQuoted = true;
      } else if (c == ',') {
        row.fields.push_back(field);
        field.clear();
        wasQuoted = false;
      } else if (c == '\n') {
        break;
      } else {
        field += c;
      }
    }
    // A CR before the LF (or closing the input) belongs to the line end; the
    // loop took it into the field, after any closing quote.
    std::size_t end = i;
    if (end > start && text[end - 1] == '\r') {
      field.pop_back();
      --end;
    }
    row.fields.push_back(field);
    row.raw = text.substr(start, end - start);
    rows.push_back(row);
    ++line;
    start = i + 1;
  }
  return rows;
}

// The number in `text` by the command's rule (blanks around it ignored;
// empty is the system-missing value; decimal only, no NaN or infinity), or
// false.
inline bool OracleNumber(const std::string& text, double* value) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && (text[first] == ' ' || text[first] == '\t')) ++first;
  while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t')) --last;
  if (first == last) {
    *value = -DBL_MAX;
    return true;
  }
  const std::string t = text.substr(first, last - first);
  std::size_t i = 0;
  if (t[i] == '+' || t[i] == '-') ++i;
  std::size_t digits = 0;
  while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t exponent = 0;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])))
      ++i, ++exponent;
    if (exponent == 0) return false;
  }
  if (i != t.size()) return false;
  const double parsed = std::strtod(t.c_str(), nullptr);
  if (!std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
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
  const CsvRow header = rows.front();
  rows.erase(rows.begin());
  const std::size_t headerEnd = header.raw.size();
  const std::string lineEnd =
      headerEnd + 1 < text.size() && text[headerEnd] == '\r' ? "\r\n" : "\n";
  std::vector<bool> numeric(keys.size(), true);
  // Each row's numbers for the numeric keys, worked out once.
  std::vector<std::vector<double>> numbers(rows.size(),
                                           std::vector<double>(keys.size(), 0.0));
  for (std::size_t k = 0; k < keys.size(); ++k) {
    for (std::size_t r = 0; r < rows.size() && numeric[k]; ++r) {
      if (!OracleNumber(rows[r].fields[keys[k].column], &numbers[r][k]))
        numeric[k] = false;
    }
  }
  std::vector<std::size_t> order(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) order[r] = r;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    for (std::size_t k = 0; k < keys.size(); ++k) {
      int result;
      if (numeric[k]) {
        const double u = numbers[a][k];
        const double v = numbers[b][k];
        result = u < v ? -1 : (v < u ? 1 : 0);
      } else {
        const int c =
            rows[a].fields[keys[k].column].compare(rows[b].fields[keys[k].column]);
        result = c < 0 ? -1 : (c > 0 ? 1 : 0);
      }
      if (result != 0) return result * keys[k].direction < 0;
    }
    return false;
  });
  std::string out = header.raw + lineEnd;
  for (std::size_t r : order) out += rows[r].raw + lineEnd;
  return out;
}
// Kinds of generated columns.
enum class Column {
  kInteger,      // small integers: many ties
  kDecimal,      // decimals with fractions, signs, exponents and blanks
  kMissing,      // numbers with many empty fields
  kWord,         // short lowercase words
  kText,         // text with commas, quotes, newlines, CRs and blanks, quoted as needed
  kAlmostNumber  // numbers but for one word: must sort as strings
};

// Quotes `value` as CSV needs (or, with `always`, anyway).
inline std::string Quote(const std::string& value, bool always) {
  const bool needs = value.find_first_of(",\"\r\n") != std::string::npos;
  if (!needs && !always) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

// A random CSV text: a header c1..cN, then `rows` records of the given
// column kinds. `crlf` picks the line end; `finalLineEnd` whether the last
// record has one.
inline std::string RandomCsv(std::mt19937_64& random, const std::vector<Column>& columns,
                             std::size_t rows, bool crlf, bool finalLineEnd = true) {
  const std::string lineEnd = crlf ? "\r\n" : "\n";
  auto pick = [&](int n) {
    return static_cast<int>(random() % static_cast<std::uint64_t>(n));
  };
  auto word = [&](int minLength, int maxLength) {
    std::string w;
    const int length = minLength + pick(maxLength - minLength + 1);
    for (int i = 0; i < length; ++i) w += static_cast<char>('a' + pick(6));
    return w;
  };
  std::string text;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    text += (c == 0 ? "c" : ",c") + std::to_string(c + 1);
  }
  text += lineEnd;
  const std::size_t oddOne = rows / 2;  // the row whose kAlmostNumber is a word
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      if (c != 0) text += ',';
      std::string value;
      switch (columns[c]) {
        case Column::kInteger:
          value = std::to_string(pick(7) - 2);
          break;
        case Column::kDecimal: {
          static const char* const kForms[] = {"%.3f",   "%.1e",  "%g",
                                               " %.2f ", "+%.4f", "%.0f."};
          char buffer[64];
          const double v = (static_cast<double>(pick(200001)) - 100000.0) / 1000.0;
          std::snprintf(buffer, sizeof buffer, kForms[pick(6)], v);
          value = buffer;
          if (value.rfind("+-", 0) == 0) value.erase(0, 1);
          break;
        }
        case Column::kMissing:
          value = pick(3) == 0 ? "" : std::to_string(pick(5));
          if (pick(10) == 0) value = " ";
          break;
        case Column::kWord:
          value = word(0, 4);
          break;
        case Column::kText: {
          static const char* const kPieces[] = {",", "\"",  "\n",   "\r\n",
                                                " ", "x,y", "\"\"", "\r"};
          value = word(0, 3);
          if (pick(2) == 0) value += kPieces[pick(8)] + word(0, 2);
          break;
        }
        case Column::kAlmostNumber:
          value = r == oddOne ? "n/a" : std::to_string(pick(50));
          break;
      }
      text += Quote(value, pick(8) == 0);
    }
    if (r + 1 < rows || finalLineEnd) text += lineEnd;
  }
  return text;
}

}  // namespace isort::testing
