#include "Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "SortErrors.h"

namespace isort::app {

std::string SystemReason(int error) { return std::strerror(error); }

int OpenUnnamedFile(const std::string& directory, const std::string& what) {
  int descriptor;
  do {
    descriptor = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor >= 0) return descriptor;
  // File systems without unnamed files answer with one of these.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    throw CannotSort("cannot create " + what + " in " + directory + ": " +
                     SystemReason(errno));
  }
  std::string pattern = directory + "/isort-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  descriptor = ::mkostemp(path.data(), O_CLOEXEC);
  if (descriptor < 0) {
    throw CannotSort("cannot create " + what + " in " + directory + ": " +
                     SystemReason(errno));
  }
  if (::unlink(path.data()) != 0) {
    const int error = errno;
    ::close(descriptor);
    throw CannotSort("cannot unlink " + what + " " + path.data() + ": " +
                     SystemReason(error));
  }
  return descriptor;
}

void WriteAll(int descriptor, const char* bytes, std::size_t size,
              const std::string& what) {
  while (size > 0) {
    const ssize_t wrote = ::write(descriptor, bytes, size);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      throw CannotSort("cannot write " + what + ": " + SystemReason(errno));
    }
    bytes += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
}

std::size_t ReadFully(int descriptor, char* bytes, std::size_t size,
                      const std::string& what) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(descriptor, bytes + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw CannotSort("cannot read " + what + ": " + SystemReason(errno));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace isort::app
