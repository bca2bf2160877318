// Writing workload rows as CSV: numbers in their shortest exact form, the
// system-missing value as an empty field, strings without their padding.
#pragma once

#include <charconv>
#include <cstring>
#include <string>

#include "workloads/Workloads.h"

namespace isort::app {

// Appends `value` in the shortest form that reads back exactly.
inline void AppendNumber(double value, std::string& out) {
  if (value == workloads::kSystemMissing) return;
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

// Appends a blank-padded string field without its trailing blanks.
inline void AppendString(const OBS* units, unsigned int width, std::string& out) {
  const char* bytes = reinterpret_cast<const char*>(units);
  unsigned int length = width;
  while (length > 0 && bytes[length - 1] == ' ') --length;
  out.append(bytes, length);
}

}  // namespace isort::app
