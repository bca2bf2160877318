// Switches LC_COLLATE for the scope; the collators made inside take it up.
#pragma once

#include <clocale>
#include <string>

namespace isort::testing {

struct CollateLocale {
  ~CollateLocale() { std::setlocale(LC_COLLATE, saved.c_str()); }
  // False where the system lacks the locale.
  bool Switch(const char* name) { return std::setlocale(LC_COLLATE, name) != nullptr; }
  const std::string saved = std::setlocale(LC_COLLATE, nullptr);
};

}  // namespace isort::testing
