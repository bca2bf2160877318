// Contract checks that stay active in every build, NDEBUG included: a caller
// that breaks the contract must stop the process, not corrupt memory.
#pragma once

// The C library's standard assertion failure; <assert.h> declares it only
// when NDEBUG is not defined.
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line,
                              const char* function) noexcept __attribute__((__noreturn__));

namespace isort {

// Stops the process with the standard message "file:line: function:
// Assertion `expression' failed." unless `holds`.
inline void Check(bool holds, const char* expression, const char* file, unsigned int line,
                  const char* function) {
  if (!holds) __assert_fail(expression, file, line, function);
}

}  // namespace isort
