// Small file helpers of the isort command: unnamed temporary files and whole
// reads and writes that name the file in their errors.
#pragma once

#include <cstddef>
#include <string>

namespace isort::app {

// A new read-write file in `directory` that has no name (O_TMPFILE), or, where
// the file system has no unnamed files, one created by mkstemp and unlinked at
// once: either way nothing is left behind, even if the process is killed.
// Throws CannotSort naming `what` and the system's reason.
int OpenUnnamedFile(const std::string& directory, const std::string& what);

// Writes all `size` bytes; throws CannotSort("cannot write <what>: reason").
void WriteAll(int descriptor, const char* bytes, std::size_t size,
              const std::string& what);

// Reads up to `size` bytes, fewer only at the end of the file; throws
// CannotSort("cannot read <what>: reason").
std::size_t ReadFully(int descriptor, char* bytes, std::size_t size,
                      const std::string& what);

// "reason" for errno `error`.
std::string SystemReason(int error);

}  // namespace isort::app
