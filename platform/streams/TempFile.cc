// VORN_TempFile: a work file that leaves nothing behind.
//
// The file is created without a name (O_TMPFILE) where the file system allows
// it, else created by mkstemp and unlinked at once: either way its storage
// goes when its last descriptor closes, also when the process is killed. The
// constructor's flag asks for exactly that; our work files never keep a name,
// whatever the flag says, since nothing outside the sort ever reads them. Every handle on the file shares one OpenFile; copies
// read and write at their own offsets, and the file closes with the last
// handle.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "isort/platform.h"
#include "streams/FaultInjection.h"
#include "streams/OpenFile.h"
#include "vorn/Streams.h"

namespace isort::platform::streams {
namespace {

// Closes a new descriptor unless it is handed on: building the file's name
// allocates, and a failure there must not leak the file.
class NewDescriptor {
 public:
  explicit NewDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~NewDescriptor() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  NewDescriptor(const NewDescriptor&) = delete;
  NewDescriptor& operator=(const NewDescriptor&) = delete;
  int get() const { return descriptor_; }

  // Hands the descriptor to a new OpenFile.
  std::shared_ptr<OpenFile> Own(const std::string& name) {
    auto file = std::make_shared<OpenFile>(descriptor_, name, true, Access{true, true});
    descriptor_ = -1;
    return file;
  }

 private:
  int descriptor_;
};

// File systems without O_TMPFILE answer with one of these.
bool UnnamedFilesUnsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

[[noreturn]] void FailCreate(const std::string& pattern, int error) {
  throw ErrorText(FailureText(ErrorText::kFileCreate, true, pattern, error),
                  ErrorText::kFileCreate, error);
}

// An unnamed file reports as <directory>/<prefix><inode>, unique while it lives.
std::string UnnamedFileName(int descriptor, const std::string& stem) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) return stem;
  return stem + std::to_string(static_cast<unsigned long long>(status.st_ino));
}

std::shared_ptr<OpenFile> CreateTemporary(const char* prefix) {
  const std::string directory = isort::platform::WorkDirectory();
  const std::string stem = directory + "/" + (prefix != nullptr ? prefix : "tmp");
  NewDescriptor unnamed(faults::Attempt(faults::FileCall::kCreate, [&] {
    return ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  }));
  if (unnamed.get() >= 0) return unnamed.Own(UnnamedFileName(unnamed.get(), stem));
  if (!UnnamedFilesUnsupported(errno)) FailCreate(stem + "*", errno);

  std::vector<char> path(stem.begin(), stem.end());
  const std::string suffix = "XXXXXX";
  path.insert(path.end(), suffix.begin(), suffix.end());
  path.push_back('\0');
  NewDescriptor named(faults::Attempt(faults::FileCall::kCreate,
                                      [&] { return ::mkostemp(path.data(), O_CLOEXEC); }));
  if (named.get() < 0) FailCreate(stem + "*", errno);
  // Remove the name before anything else can fail and leave it behind.
  if (::unlink(path.data()) != 0) FailCreate(path.data(), errno);
  return named.Own(path.data());
}

}  // namespace
}  // namespace isort::platform::streams

VORN_TempFile::VORN_TempFile(const char* prefix, bool /*unlinked*/) : VORN_FileStream() {
  Attach(isort::platform::streams::CreateTemporary(prefix), 0);
}

VORN_TempFile::VORN_TempFile(const VORN_TempFile& other) : VORN_FileStream() {
  if (!other.file_) return;
  // The new handle reads the file, not the other's buffer: hand it over first.
  other.WriteOutBuffer();
  Attach(other.file_, other.Tell());
}

VORN_TempFile::~VORN_TempFile() = default;

void VORN_TempFile::Close() { VORN_FileStream::Close(); }

bool VORN_TempFile::IsShared() const { return file_ && file_.use_count() > 1; }
