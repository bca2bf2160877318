#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "Files.h"
#include "SortErrors.h"

namespace isort::app {
namespace {

// 4 MiB writes: few system calls; two buffers cost 8 MiB.
constexpr std::size_t kBufferBytes = std::size_t{4} << 20;

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name beside `path` for the output while it is put in place.
std::string TemporaryNameBeside(const std::string& path, unsigned attempt) {
  return DirectoryOf(path) + "/." + BaseOf(path) + ".isort-" +
         std::to_string(::getpid()) + "-" + std::to_string(attempt);
}

// `path` with every symbolic link on its last component followed (a link
// may name a file that does not exist yet).
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    std::vector<char> target(static_cast<std::size_t>(status.st_size) + 1);
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return path;
    const std::string next(target.data(), static_cast<std::size_t>(length));
    path = next[0] == '/' ? next : DirectoryOf(path) + "/" + next;
  }
  return path;
}

}  // namespace

OutputFile::OutputFile(const std::string& path, const std::string& workDirectory)
    : buffer_(kBufferBytes) {
  if (path.empty() || path == "-") {
    descriptor_ = STDOUT_FILENO;
    name_ = "standard output";
    return;
  }
  path_ = FollowLinks(path);
  name_ = path;
  existed_ = ::stat(path_.c_str(), &old_) == 0;
  if (existed_ && S_ISDIR(old_.st_mode)) {
    throw CannotSort("cannot write " + name_ + ": " + SystemReason(EISDIR));
  }
  if (existed_ && !S_ISREG(old_.st_mode)) {
    // A device or a pipe is written, never replaced.
    copyInPlace_ = true;
  } else if (OpenBesideTarget()) {
    return;
  } else if (!existed_ || ::access(path_.c_str(), W_OK) != 0) {
    throw CannotSort("cannot create " + name_ + ": " + SystemReason(errno));
  }
  copyInPlace_ = true;
  descriptor_ = OpenUnnamedFile(workDirectory, "the output's work file");
}

// Opens the output's file in the target's directory, with the old target's
// mode; false (with errno) when the directory refuses.
bool OutputFile::OpenBesideTarget() {
  const std::string directory = DirectoryOf(path_);
  // Writable by whoever the umask allows, as a file the shell creates would be.
  descriptor_ = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (descriptor_ < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return false;
  }
  for (unsigned attempt = 0; descriptor_ < 0; ++attempt) {
    temporaryName_ = TemporaryNameBeside(path_, attempt);
    descriptor_ =
        ::open(temporaryName_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (descriptor_ < 0 && (errno != EEXIST || attempt > 100)) {
      const int error = errno;
      temporaryName_.clear();
      errno = error;
      return false;
    }
  }
  if (!existed_) return true;
  // The old file's owner first: changing it may clear the set-id bits.
  const bool sameOwner = old_.st_uid == ::geteuid() && old_.st_gid == ::getegid();
  if ((!sameOwner && ::fchown(descriptor_, old_.st_uid, old_.st_gid) != 0) ||
      ::fchmod(descriptor_, old_.st_mode & 07777) != 0) {
    // Replacing the target would change who may read it: copy into it.
    ::close(descriptor_);
    descriptor_ = -1;
    if (!temporaryName_.empty()) ::unlink(temporaryName_.c_str());
    temporaryName_.clear();
    errno = EPERM;
    return false;
  }
  return true;
}

OutputFile::~OutputFile() {
  StopWriter();
  if (path_.empty()) return;
  if (descriptor_ >= 0) ::close(descriptor_);
  if (!committed_ && !temporaryName_.empty()) ::unlink(temporaryName_.c_str());
}

void OutputFile::WriterLoop() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || spareUsed_ != 0; });
    if (spareUsed_ == 0) return;  // stopped with nothing left to write
    lock.unlock();
    std::exception_ptr failure;
    try {
      WriteAll(descriptor_, spare_.data(), spareUsed_, name_);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure && !failure_) failure_ = failure;
    spareUsed_ = 0;
    changed_.notify_all();
  }
}

void OutputFile::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return spareUsed_ == 0; });
  if (failure_) std::rethrow_exception(failure_);
}

void OutputFile::StopWriter() noexcept {
  if (!writer_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

void OutputFile::HandOver() {
  if (!writer_.joinable()) {
    spare_.resize(buffer_.size());
    writer_ = std::thread([this] { WriterLoop(); });
  }
  Drain();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    buffer_.swap(spare_);
    spareUsed_ = used_;
  }
  changed_.notify_all();
  used_ = 0;
}

void OutputFile::Spill(std::string_view bytes) {
  if (used_ != 0) HandOver();
  if (bytes.size() >= buffer_.size()) {
    Drain();
    WriteAll(descriptor_, bytes.data(), bytes.size(), name_);
    return;
  }
  std::memcpy(buffer_.data(), bytes.data(), bytes.size());
  used_ = bytes.size();
}

void OutputFile::Flush() {
  if (writer_.joinable()) Drain();
  WriteAll(descriptor_, buffer_.data(), used_, name_);
  used_ = 0;
}

void OutputFile::Commit() {
  Flush();
  StopWriter();
  if (path_.empty()) return;
  if (copyInPlace_) {
    CopyIntoTarget();
  } else {
    LinkIntoPlace();
  }
  committed_ = true;
}

void OutputFile::CopyIntoTarget() {
  const int target = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (target < 0) throw CannotSort("cannot write " + name_ + ": " + SystemReason(errno));
  try {
    for (off_t offset = 0;;) {
      const ssize_t got = ::pread(descriptor_, buffer_.data(), buffer_.size(), offset);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw CannotSort("cannot read the output's work file: " + SystemReason(errno));
      if (got == 0) break;
      WriteAll(target, buffer_.data(), static_cast<std::size_t>(got), name_);
      offset += got;
    }
  } catch (...) {
    ::close(target);
    throw;
  }
  if (::close(target) != 0) throw CannotSort("cannot write " + name_ + ": " + SystemReason(errno));
}

void OutputFile::LinkIntoPlace() {
  std::string linked = temporaryName_;
  if (linked.empty()) {
    // Give the unnamed file a name beside the target, then move it over.
    const std::string self = "/proc/self/fd/" + std::to_string(descriptor_);
    for (unsigned attempt = 0;; ++attempt) {
      linked = TemporaryNameBeside(path_, attempt);
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, linked.c_str(), AT_SYMLINK_FOLLOW) ==
          0) {
        break;
      }
      if (errno == EEXIST && attempt < 100) continue;
      // Without /proc, AT_EMPTY_PATH does the same for a privileged process.
      if (errno == ENOENT &&
          ::linkat(descriptor_, "", AT_FDCWD, linked.c_str(), AT_EMPTY_PATH) == 0) {
        break;
      }
      throw CannotSort("cannot create " + name_ + ": " + SystemReason(errno));
    }
    temporaryName_ = linked;  // the destructor removes it if what follows fails
  }
  // A file system may report a failed write only at close (NFS).
  const int closed = ::close(descriptor_);
  const int error = errno;
  descriptor_ = -1;
  if (closed != 0) throw CannotSort("cannot write " + name_ + ": " + SystemReason(error));
  if (::rename(linked.c_str(), path_.c_str()) != 0) {
    throw CannotSort("cannot create " + name_ + ": " + SystemReason(errno));
  }
}

}  // namespace isort::app
