#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

}  // namespace

OutputFile::OutputFile(const std::string& path) : buffer_(kBufferBytes) {
  if (path.empty() || path == "-") {
    descriptor_ = STDOUT_FILENO;
    name_ = "standard output";
    return;
  }
  path_ = path;
  name_ = path;
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    throw CannotSort("cannot write " + name_ + ": " + SystemReason(EISDIR));
  }
  const std::string directory = DirectoryOf(path);
  // Writable by whoever the umask allows, as a file the shell creates would be.
  descriptor_ = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (descriptor_ >= 0) return;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    throw CannotSort("cannot create " + name_ + ": " + SystemReason(errno));
  }
  for (unsigned attempt = 0; descriptor_ < 0; ++attempt) {
    temporaryName_ = TemporaryNameBeside(path, attempt);
    descriptor_ =
        ::open(temporaryName_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (descriptor_ < 0 && (errno != EEXIST || attempt > 100)) {
      const int error = errno;
      temporaryName_.clear();
      throw CannotSort("cannot create " + name_ + ": " + SystemReason(error));
    }
  }
}

OutputFile::~OutputFile() {
  StopWriter();
  if (path_.empty() || committed_) return;
  if (descriptor_ >= 0) ::close(descriptor_);
  if (!temporaryName_.empty()) ::unlink(temporaryName_.c_str());
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
  descriptor_ = -1;
  if (::rename(linked.c_str(), path_.c_str()) != 0) {
    throw CannotSort("cannot create " + name_ + ": " + SystemReason(errno));
  }
  committed_ = true;
}

}  // namespace isort::app
