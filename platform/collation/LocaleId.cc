#include "collation/LocaleId.h"

#include <cstddef>

namespace isort::platform {

namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

char ToLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char ToUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool AllOf(std::string_view text, bool (*test)(char)) {
  for (char c : text) {
    if (!test(c)) return false;
  }
  return true;
}

// Splits off the part of `name` after the first `separator`; `name` keeps
// what came before it. Nothing when `name` has no such separator.
std::optional<std::string_view> CutAt(std::string_view& name, char separator) {
  const std::size_t at = name.find(separator);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view rest = name.substr(at + 1);
  name = name.substr(0, at);
  return rest;
}

bool IsTerritory(std::string_view territory) {
  return (territory.size() == 2 && AllOf(territory, IsAsciiLetter)) ||
         (territory.size() == 3 && AllOf(territory, IsAsciiDigit));
}

// The ISO 15924 script that a glibc locale modifier selects, or empty.
std::string_view ScriptOfModifier(std::string_view modifier) {
  if (modifier == "latin") return "Latn";
  if (modifier == "cyrillic") return "Cyrl";
  if (modifier == "devanagari") return "Deva";
  return {};
}

std::string_view LanguageOf(std::string_view posixName) {
  return posixName.substr(0, posixName.find_first_of(".@"));
}

}  // namespace

bool IsByteOrderLocale(std::string_view posixName) {
  const std::string_view language = LanguageOf(posixName);
  return language == "C" || language == "POSIX";
}

std::optional<std::string> IcuLocaleId(std::string_view posixName) {
  std::string_view rest = posixName;
  const std::optional<std::string_view> modifier = CutAt(rest, '@');
  CutAt(rest, '.');  // the codeset
  const std::optional<std::string_view> territory = CutAt(rest, '_');
  const std::string_view language = rest;

  if (language.size() < 2 || language.size() > 3 || !AllOf(language, IsAsciiLetter)) {
    return std::nullopt;
  }
  if (territory && !IsTerritory(*territory)) return std::nullopt;

  std::string id;
  for (char c : language) id += ToLower(c);
  const std::string_view script = ScriptOfModifier(modifier.value_or(""));
  if (!script.empty()) {
    id += '_';
    id += script;
  }
  if (territory) {
    id += '_';
    for (char c : *territory) id += ToUpper(c);
  }
  return id;
}

}  // namespace isort::platform
