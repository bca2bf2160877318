#include "streams/OpenFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "streams/FaultInjection.h"

namespace isort::platform::streams {
namespace {

using faults::FileCall;

const char* Verb(unsigned char kind, bool temporary) {
  switch (kind) {
    case ErrorText::kFileCreate: return temporary ? "create" : "open";
    case ErrorText::kFileWrite: return "write";
    case ErrorText::kFileRead: return "read";
    case ErrorText::kFileSeek: return "seek in";
    default: return "use";
  }
}

}  // namespace

std::string FailureText(unsigned char kind, bool temporary, const std::string& name,
                        int error) {
  std::string text = "cannot ";
  text += Verb(kind, temporary);
  text += temporary ? " work file " : " file ";
  text += name;
  text += ": ";
  text += std::strerror(error);
  return text;
}

OpenFile::OpenFile(int descriptor, std::string name, bool temporary, Access access)
    : descriptor_(descriptor), name_(std::move(name)), temporary_(temporary), access_(access) {}

OpenFile::~OpenFile() { ::close(descriptor_); }

void OpenFile::Fail(unsigned char kind, int error) const {
  throw ErrorText(FailureText(kind, temporary_, name_, error), kind, error);
}

template <typename Call>
std::size_t OpenFile::Transfer(std::size_t bytes, unsigned char kind, Call call) const {
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t moved = faults::Attempt(
        kind == ErrorText::kFileRead ? FileCall::kRead : FileCall::kWrite,
        [&] { return call(done); });
    if (moved < 0) Fail(kind, errno);
    if (moved == 0) break;
    done += static_cast<std::size_t>(moved);
  }
  return done;
}

std::size_t OpenFile::ReadAt(void* to, std::size_t bytes, long offset) const {
  auto* bytesTo = static_cast<unsigned char*>(to);
  return Transfer(bytes, ErrorText::kFileRead, [&](std::size_t done) {
    return ::pread(descriptor_, bytesTo + done, bytes - done,
                   static_cast<off_t>(offset + static_cast<long>(done)));
  });
}

void OpenFile::WriteAt(const void* from, std::size_t bytes, long offset) const {
  const auto* bytesFrom = static_cast<const unsigned char*>(from);
  const std::size_t done = Transfer(bytes, ErrorText::kFileWrite, [&](std::size_t done) {
    return ::pwrite(descriptor_, bytesFrom + done, bytes - done,
                    static_cast<off_t>(offset + static_cast<long>(done)));
  });
  // A write that moves nothing would repeat for ever: the device is full.
  if (done < bytes) Fail(ErrorText::kFileWrite, ENOSPC);
}

long OpenFile::Size() const {
  struct stat status {};
  if (::fstat(descriptor_, &status) != 0) Fail(ErrorText::kFileSeek, errno);
  return static_cast<long>(status.st_size);
}

void OpenFile::Truncate() const {
  if (faults::Attempt(FileCall::kWrite, [&] { return ::ftruncate(descriptor_, 0); }) != 0) {
    Fail(ErrorText::kFileWrite, errno);
  }
}

void OpenFile::CheckSeek(long target) const {
  int injected = 0;
  if (faults::ShouldFail(FileCall::kSeek, &injected)) Fail(ErrorText::kFileSeek, injected);
  if (target < 0) Fail(ErrorText::kFileSeek, EINVAL);
}

}  // namespace isort::platform::streams
