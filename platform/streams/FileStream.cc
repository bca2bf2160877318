// VORN_FileStream: a buffered stream on a file.
//
// A handle reads and writes its file through one buffer of
// FileBufferSize() bytes with positioned calls at its own offset, so several
// handles on one descriptor never disturb each other's position. The buffer
// holds either bytes read ahead or bytes written but not yet handed to the
// file, never both; switching direction or seeking empties it. A handle sees
// what other handles wrote before it filled its buffer; Seek empties the
// buffer, so a handle that seeks sees everything flushed until then.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "streams/FaultInjection.h"
#include "streams/OpenFile.h"
#include "streams/StreamAccess.h"
#include "vorn/Streams.h"

using isort::platform::streams::Access;
using isort::platform::streams::OpenFile;
using isort::platform::streams::StreamAccess;

namespace {

// Turns an fopen-style mode into open flags; false when it is not one.
bool ParseMode(const char* mode, int* flags, Access* access) {
  if (mode == nullptr) return false;
  const bool plus = std::strchr(mode, '+') != nullptr;
  switch (mode[0]) {
    case 'r':
      *flags = plus ? O_RDWR : O_RDONLY;
      access->read = true;
      access->write = plus;
      break;
    case 'w':
      *flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
      access->read = plus;
      access->write = true;
      break;
    default:
      return false;
  }
  if (std::strchr(mode, 'x') != nullptr) *flags |= O_EXCL;
  *flags |= O_CLOEXEC;
  return true;
}

int OpenNamed(const std::string& name, int flags) {
  return isort::platform::faults::Attempt(isort::platform::faults::FileCall::kCreate,
                                          [&] { return ::open(name.c_str(), flags, 0666); });
}

std::string JoinPath(const char* directory, const char* name) {
  std::string path = directory != nullptr ? directory : "";
  if (!path.empty() && path.back() != '/') path += '/';
  path += name != nullptr ? name : "";
  return path;
}

}  // namespace

VORN_FileStream::VORN_FileStream() : bufferSize_(isort::platform::FileBufferSize()) {
  StreamAccess::OnFile(*this) = true;
}

VORN_FileStream::~VORN_FileStream() {
  // Pending bytes matter only to someone who can still read them: another
  // handle on a temporary file, or anyone for a named one.
  if (file_ && mode_ == BufferMode::kWriting &&
      (!file_->Temporary() || file_.use_count() > 1)) {
    try {
      WriteOutBuffer();
    } catch (...) {
      // A destructor cannot report; Close() and Flush() do.
    }
  }
}

void VORN_FileStream::Clear() { VORN_StrBaseIO::Clear(); }

bool VORN_FileStream::Good() { return file_ != nullptr && !StreamAccess::AtEnd(*this); }

bool VORN_FileStream::EndOfFile() { return StreamAccess::AtEnd(*this); }

long VORN_FileStream::Tell() const {
  return bufferOffset_ + static_cast<long>(StreamAccess::CursorOffset(*this));
}

unsigned long VORN_FileStream::Read(void* buffer, unsigned long bytes) {
  RequireAccess(ErrorText::kFileRead);
  if (mode_ == BufferMode::kWriting) DrainBuffer();
  auto* to = static_cast<unsigned char*>(buffer);
  unsigned long done = 0;
  for (;;) {
    const std::size_t available = StreamAccess::Readable(*this);
    const std::size_t wanted = bytes - done;
    const std::size_t taken = wanted < available ? wanted : available;
    if (taken > 0) {
      std::memcpy(to + done, StreamAccess::Cursor(*this), taken);
      StreamAccess::Cursor(*this) += taken;
      done += taken;
    }
    if (done == bytes) return done;
    // The buffer is used up: large requests bypass it.
    if (bytes - done >= bufferSize_) {
      done += ReadDirect(to + done, bytes - done);
      break;
    }
    if (!FillBuffer()) break;
  }
  if (done < bytes) StreamAccess::AtEnd(*this) = true;
  return done;
}

unsigned long VORN_FileStream::Write(const void* buffer, unsigned long bytes) {
  RequireAccess(ErrorText::kFileWrite);
  if (bytes == 0) return 0;
  StartWriting();
  const auto* from = static_cast<const unsigned char*>(buffer);
  unsigned long left = bytes;
  for (;;) {
    const std::size_t space = StreamAccess::Writable(*this);
    if (left <= space) {
      std::memcpy(StreamAccess::Cursor(*this), from, left);
      StreamAccess::Cursor(*this) += left;
      return bytes;
    }
    if (StreamAccess::CursorOffset(*this) == 0 && left >= bufferSize_) {
      WriteDirect(from, left);
      return bytes;
    }
    std::memcpy(StreamAccess::Cursor(*this), from, space);
    StreamAccess::Cursor(*this) += space;
    from += space;
    left -= space;
    RecycleBuffer();
  }
}

void VORN_FileStream::Seek(long offset, SeekDirection direction) {
  RequireAccess(ErrorText::kFileSeek);
  long target = offset;
  if (direction == FromCurrent) target += Tell();
  if (direction == FromEnd) {
    DrainBuffer();
    target += file_->Size();
  }
  file_->CheckSeek(target);
  StreamAccess::AtEnd(*this) = false;
  if (mode_ == BufferMode::kWriting && target == Tell()) return;
  DrainBuffer();
  bufferOffset_ = target;
}

void VORN_FileStream::Open(const char* name, const char* mode) {
  if (file_) Close();
  const std::string path = name != nullptr ? name : "";
  int flags = 0;
  Access access;
  if (!ParseMode(mode, &flags, &access)) {
    throw ErrorText(isort::platform::streams::FailureText(ErrorText::kFileCreate, false,
                                                          path, EINVAL),
                    ErrorText::kFileCreate, EINVAL);
  }
  const int descriptor = OpenNamed(path, flags);
  if (descriptor < 0) {
    const int error = errno;
    throw ErrorText(isort::platform::streams::FailureText(ErrorText::kFileCreate, false,
                                                          path, error),
                    ErrorText::kFileCreate, error);
  }
  std::shared_ptr<OpenFile> file;
  try {
    file = std::make_shared<OpenFile>(descriptor, path, false, access);
  } catch (...) {
    ::close(descriptor);
    throw;
  }
  Attach(std::move(file), 0);
}

void VORN_FileStream::Open(const ExtNameStr& name, const char* mode) {
  Open(name.c_str(), mode);
}

void VORN_FileStream::Open(const char* directory, const char* name, const char* mode) {
  Open(JoinPath(directory, name).c_str(), mode);
}

void VORN_FileStream::Open(const ExtNameStr& directory, const ExtNameStr& name,
                           const char* mode) {
  Open(directory.c_str(), name.c_str(), mode);
}

void VORN_FileStream::ClearAndReset() {
  RequireAccess(ErrorText::kFileWrite);
  // Buffered bytes would be cut away with the rest: drop them unwritten.
  EmptyBuffer(0);
  file_->Truncate();
  StreamAccess::AtEnd(*this) = false;
}

ExtNameStr VORN_FileStream::GetNameStr() const { return ExtNameStr(std::string(Name())); }

void VORN_FileStream::Close() {
  if (!file_) return;
  try {
    DrainBuffer();
  } catch (...) {
    ReleaseFile();
    throw;
  }
  ReleaseFile();
}

void VORN_FileStream::Close() const { Flush(); }

void VORN_FileStream::Flush() const {
  if (file_) WriteOutBuffer();
}

const char* VORN_FileStream::Name() const { return file_ ? file_->Name().c_str() : ""; }

unsigned long VORN_FileStream::Footprint() const {
  return static_cast<unsigned long>(bufferSize_ + sizeof(VORN_FileStream));
}

// --- private helpers ---

void VORN_FileStream::Attach(std::shared_ptr<OpenFile> file, long position) {
  file_ = std::move(file);
  EmptyBuffer(position);
  StreamAccess::AtEnd(*this) = false;
}

void VORN_FileStream::RequireAccess(unsigned char kind) const {
  int error = 0;
  if (!file_) {
    error = EBADF;
  } else if (kind == ErrorText::kFileRead && !file_->Permits().read) {
    error = EBADF;
  } else if (kind == ErrorText::kFileWrite && !file_->Permits().write) {
    error = EBADF;
  }
  if (error == 0) return;
  const std::string name = file_ ? file_->Name() : std::string("(not open)");
  const bool temporary = file_ && file_->Temporary();
  throw ErrorText(isort::platform::streams::FailureText(kind, temporary, name, error), kind,
                  error);
}

void VORN_FileStream::EmptyBuffer(long position) {
  unsigned char* origin = buffer_.get();
  StreamAccess::SetWindow(*this, origin, origin, origin, origin);
  bufferOffset_ = position;
  writtenOut_ = 0;
  mode_ = BufferMode::kEmpty;
}

void VORN_FileStream::EnsureBuffer() {
  if (buffer_) return;
  // Left uninitialised: only bytes read or written are ever touched.
  buffer_.reset(new unsigned char[bufferSize_]);
  EmptyBuffer(bufferOffset_);
}

bool VORN_FileStream::FillBuffer() {
  const long position = Tell();
  EnsureBuffer();
  const std::size_t got = file_->ReadAt(buffer_.get(), bufferSize_, position);
  unsigned char* origin = buffer_.get();
  StreamAccess::SetWindow(*this, origin, origin, origin + got, origin);
  bufferOffset_ = position;
  mode_ = got > 0 ? BufferMode::kReading : BufferMode::kEmpty;
  return got > 0;
}

unsigned long VORN_FileStream::ReadDirect(unsigned char* to, unsigned long bytes) {
  const long position = Tell();
  EmptyBuffer(position);
  const std::size_t got = file_->ReadAt(to, bytes, position);
  bufferOffset_ = position + static_cast<long>(got);
  return got;
}

void VORN_FileStream::StartWriting() {
  if (mode_ == BufferMode::kWriting) return;
  const long position = Tell();
  EnsureBuffer();
  unsigned char* origin = buffer_.get();
  // Nothing is readable while the buffer collects writes.
  StreamAccess::SetWindow(*this, origin, origin, origin, origin + bufferSize_);
  bufferOffset_ = position;
  writtenOut_ = 0;
  mode_ = BufferMode::kWriting;
}

void VORN_FileStream::WriteDirect(const unsigned char* from, unsigned long bytes) {
  file_->WriteAt(from, bytes, bufferOffset_);
  bufferOffset_ += static_cast<long>(bytes);
}

void VORN_FileStream::WriteOutBuffer() const {
  if (mode_ != BufferMode::kWriting) return;
  const std::size_t filled = StreamAccess::CursorOffset(*this);
  if (filled <= writtenOut_) return;
  file_->WriteAt(StreamAccess::Origin(*this) + writtenOut_, filled - writtenOut_,
                 bufferOffset_ + static_cast<long>(writtenOut_));
  writtenOut_ = filled;
}

void VORN_FileStream::RecycleBuffer() {
  WriteOutBuffer();
  bufferOffset_ += static_cast<long>(StreamAccess::CursorOffset(*this));
  StreamAccess::Cursor(*this) = buffer_.get();
  writtenOut_ = 0;
}

void VORN_FileStream::DrainBuffer() {
  WriteOutBuffer();
  EmptyBuffer(Tell());
}

void VORN_FileStream::ReleaseFile() noexcept {
  file_.reset();
  buffer_.reset();
  EmptyBuffer(0);
}
