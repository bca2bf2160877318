// The tests' own model of `isort sort`: a CSV parser, the typing and missing
// rules, exact decimal comparison by aligning digit strings, ICU collation of
// whole strings, and std::stable_sort of whole records. It shares no code with
// the command.
#pragma once

#include <unicode/ucol.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace isort::testing {

struct CsvRow {
  std::string raw;  // without its line end
  std::vector<std::string> fields;
};

// Well-formed CSV: records end at LF or CRLF outside quotes (the last may lack
// one); a blank line is one empty field.
inline std::vector<CsvRow> ParseCsv(const std::string& text, char delimiter = ',') {
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
      } else if (!quoted && c == delimiter) {
        row.fields.emplace_back();
      } else {
        field += c;
      }
    }
    const std::size_t end = i > start && text[i - 1] == '\r' ? i - 1 : i;
    if (end < i) row.fields.back().pop_back();  // the CR of a CRLF
    row.raw = text.substr(start, end - start);
    rows.push_back(row);
  }
  return rows;
}

inline std::string WithoutBlanks(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A number as the model sees it: missing, -inf, a finite value as
// sign * digits * 10^-scale, or inf.
struct ModelNumber {
  int rank = 0;  // 0 missing, 1 -inf, 2 finite, 3 inf
  bool negative = false;
  std::string digits;  // without leading zeros; empty for zero
  long scale = 0;
};

// The number in `text`, or nothing when it is none; `missing` lists texts
// that count as missing.
inline std::optional<ModelNumber> ModelRead(const std::string& text,
                                            const std::vector<std::string>& missing = {}) {
  static const std::regex decimal("([+-]?)([0-9]*)(?:\\.([0-9]*))?(?:[eE]([+-]?[0-9]+))?");
  static const std::regex infinity("([+-]?)(inf|infinity)", std::regex::icase);
  const std::string trimmed = WithoutBlanks(text);
  ModelNumber number;
  if (trimmed.empty() || std::count(missing.begin(), missing.end(), trimmed) > 0) return number;
  std::smatch match;
  if (std::regex_match(trimmed, match, infinity)) {
    number.rank = match[1] == "-" ? 1 : 3;
    return number;
  }
  if (!std::regex_match(trimmed, match, decimal) || match[2].length() + match[3].length() == 0 ||
      match[4].length() > 6) {
    return std::nullopt;
  }
  number.rank = 2;
  number.negative = match[1] == "-";
  number.digits = match[2].str() + match[3].str();
  number.scale = static_cast<long>(match[3].length()) -
                 (match[4].length() ? std::stol(match[4].str()) : 0);
  number.digits.erase(0, number.digits.find_first_not_of('0'));
  if (number.digits.find_first_not_of('0') == std::string::npos) number.digits.clear();
  if (number.digits.empty()) number.negative = false;
  return number;
}

// The exact order of two numbers: the digit strings brought to one scale
// and compared as integers.
inline int ModelCompare(const ModelNumber& a, const ModelNumber& b) {
  if (a.rank != b.rank) return a.rank < b.rank ? -1 : 1;
  if (a.rank != 2) return 0;
  const int sa = a.digits.empty() ? 0 : a.negative ? -1 : 1;
  const int sb = b.digits.empty() ? 0 : b.negative ? -1 : 1;
  if (sa != sb) return sa < sb ? -1 : 1;
  if (sa == 0) return 0;
  std::string x = a.digits, y = b.digits;
  const long scale = std::max(a.scale, b.scale);
  x.append(static_cast<std::size_t>(scale - a.scale), '0');
  y.append(static_cast<std::size_t>(scale - b.scale), '0');
  int magnitude = x.size() != y.size() ? (x.size() < y.size() ? -1 : 1) : x.compare(y);
  magnitude = magnitude < 0 ? -1 : magnitude > 0 ? 1 : 0;
  return sa * magnitude;
}

struct OracleKey {
  std::size_t column;  // from 0
  int direction;       // +1 or -1
  char type = 'a';     // a auto, n numbers, t text
};

// ICU's English collation, for the model's settings; open for the process.
inline const UCollator* English() {
  static UCollator* const english = [] {
    UErrorCode status = U_ZERO_ERROR;
    return ucol_open("en_US", &status);
  }();
  return english;
}

struct OracleSettings {
  const UCollator* collator = nullptr;  // null: byte order
  std::vector<std::string> missing;
  char delimiter = ',';
  bool header = true;
};

// The header, then the records stably sorted by `keys`, each ended as the
// first record is.
inline std::string ExpectedOutput(const std::string& text, const std::vector<OracleKey>& keys,
                                  const OracleSettings& settings = {}) {
  std::vector<CsvRow> rows = ParseCsv(text, settings.delimiter);
  std::string header;
  const bool crlf = text.find('\n') != std::string::npos && text.find('\n') > 0 &&
                    text[text.find('\n') - 1] == '\r';
  if (settings.header) {
    header = rows.front().raw;
    rows.erase(rows.begin());
  }
  std::vector<bool> numeric(keys.size());
  std::vector<std::vector<ModelNumber>> numbers(rows.size(),
                                                std::vector<ModelNumber>(keys.size()));
  for (std::size_t k = 0; k < keys.size(); ++k) {
    numeric[k] = keys[k].type != 't';
    for (std::size_t r = 0; r < rows.size() && numeric[k]; ++r) {
      const auto number = ModelRead(rows[r].fields[keys[k].column], settings.missing);
      if (number) numbers[r][k] = *number;
      numeric[k] = number.has_value();
    }
  }
  const auto missingText = [&settings](const std::string& value) {
    return value.empty() ||
           std::count(settings.missing.begin(), settings.missing.end(), WithoutBlanks(value)) > 0;
  };
  const auto compareText = [&settings, &missingText](const std::string& u, const std::string& v) {
    const bool mu = missingText(u), mv = missingText(v);
    if (mu || mv) return mu == mv ? 0 : mu ? -1 : 1;
    if (settings.collator != nullptr) {
      UErrorCode status = U_ZERO_ERROR;
      const UCollationResult byCollation =
          ucol_strcollUTF8(settings.collator, u.data(), static_cast<int32_t>(u.size()), v.data(),
                           static_cast<int32_t>(v.size()), &status);
      if (byCollation != UCOL_EQUAL) return byCollation == UCOL_LESS ? -1 : 1;
    }
    return u.compare(v);
  };
  std::vector<std::size_t> order(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) order[r] = r;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const std::string& u = rows[a].fields[keys[k].column];
      const std::string& v = rows[b].fields[keys[k].column];
      const int c = numeric[k] ? ModelCompare(numbers[a][k], numbers[b][k]) : compareText(u, v);
      if (c != 0) return (c < 0) == (keys[k].direction > 0);
    }
    return false;
  });
  const std::string lineEnd = crlf ? "\r\n" : "\n";
  std::string out = settings.header ? header + lineEnd : "";
  for (std::size_t r : order) out += rows[r].raw + lineEnd;
  return out;
}

}  // namespace isort::testing
