// Byte streams, temporary files and compressed groups of 8-byte units.
//
// A group is n units written by one WriteCompressed call. It is
// self-contained: it decodes from its first byte knowing only n, wherever it
// lies and in whichever stream, and CopyPrecompressed moves it between streams
// without decoding it. Failures are thrown as ErrorText.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "isort/types.h"
#include "vorn/Api.h"
#include "vorn/Errors.h"

namespace isort::platform::streams {
class MemoryArea;    // the bytes of a stream kept in memory
class OpenFile;      // the descriptor that every handle of one file shares
struct StreamAccess;  // the codec's and the streams' access to a stream's window
}  // namespace isort::platform::streams

// The name of a file outside the library.
class VORN_API ExtNameStr {
 public:
  ExtNameStr() = default;
  ExtNameStr(const char* name) : name_(name ? name : "") {}  // NOLINT: implicit by design
  ExtNameStr(std::string name) : name_(std::move(name)) {}   // NOLINT
  const char* c_str() const { return name_.c_str(); }
  const std::string& str() const { return name_; }

 private:
  std::string name_;
};

// A positioned byte stream.
class VORN_API VORN_StrBaseIO {
 public:
  enum SeekDirection { FromStart = 0, FromCurrent = 1, FromEnd = 2 };

  VORN_StrBaseIO();
  VORN_StrBaseIO(const VORN_StrBaseIO&) = delete;
  VORN_StrBaseIO& operator=(const VORN_StrBaseIO&) = delete;
  virtual ~VORN_StrBaseIO();

  virtual void Clear();  // forgets an end-of-file state
  virtual bool Good();   // true unless the stream has hit its end
  // Reads up to `bytes` bytes; returns how many were read (fewer at the end).
  virtual unsigned long Read(void* buffer, unsigned long bytes);
  virtual unsigned long Write(const void* buffer, unsigned long bytes);
  virtual void Seek(long offset, SeekDirection direction);
  virtual long Tell() const;
  virtual bool EndOfFile();

 private:
  friend struct isort::platform::streams::StreamAccess;

  // The window: bytes at the position that this library reads or writes
  // without a virtual call. [cursor_, readLimit_) holds bytes to read and
  // [cursor_, writeLimit_) may be written; either range may be empty, and
  // after direct writes readLimit_ may lag behind cursor_. origin_ is the
  // first byte of the memory the window lies in (position 0 of a stream in
  // memory, the first byte of a file handle's buffer).
  unsigned char* origin_ = nullptr;
  unsigned char* cursor_ = nullptr;
  unsigned char* readLimit_ = nullptr;
  unsigned char* writeLimit_ = nullptr;
  // A plain stream keeps its bytes here (created at its first write); file
  // streams keep none.
  std::unique_ptr<isort::platform::streams::MemoryArea> memory_;
  bool atEnd_ = false;   // a read came up short; Clear() forgets it
  bool onFile_ = false;  // a file stream's: its bytes go to a file
};

// A buffered stream on a file.
class VORN_API VORN_FileStream : public VORN_StrBaseIO {
 public:
  VORN_FileStream();
  ~VORN_FileStream() override;

  void Clear() override;
  bool Good() override;
  unsigned long Read(void* buffer, unsigned long bytes) override;
  unsigned long Write(const void* buffer, unsigned long bytes) override;
  void Seek(long offset, SeekDirection direction) override;
  long Tell() const override;
  bool EndOfFile() override;

  // Opens a named file with an fopen-style mode ("r", "w", "a", "r+", "w+").
  virtual void Open(const char* name, const char* mode);
  virtual void Open(const ExtNameStr& name, const char* mode);
  virtual void Open(const char* directory, const char* name, const char* mode);
  virtual void Open(const ExtNameStr& directory, const ExtNameStr& name,
                    const char* mode);
  virtual void ClearAndReset();  // empties the file and seeks to its start
  virtual ExtNameStr GetNameStr() const;
  virtual void Close();          // writes out the buffer and releases the file
  virtual void Close() const;    // writes out the buffer; the handle stays open
  virtual void Flush() const;
  virtual const char* Name() const;
  // Bytes of memory that this open handle costs.
  virtual unsigned long Footprint() const;

 private:
  friend class VORN_TempFile;

  // What the buffer holds: nothing, bytes read ahead from the file, or bytes
  // written of which those from writtenOut_ on are not yet in the file.
  enum class BufferMode : unsigned char { kEmpty, kReading, kWriting };

  void Attach(std::shared_ptr<isort::platform::streams::OpenFile> file,
              long position);
  void RequireAccess(unsigned char kind) const;
  void EmptyBuffer(long position);
  void EnsureBuffer();
  bool FillBuffer();
  unsigned long ReadDirect(unsigned char* to, unsigned long bytes);
  void StartWriting();
  void WriteDirect(const unsigned char* from, unsigned long bytes);
  void WriteOutBuffer() const;
  void RecycleBuffer();
  void DrainBuffer();
  void ReleaseFile() noexcept;

  std::shared_ptr<isort::platform::streams::OpenFile> file_;
  std::unique_ptr<unsigned char[]> buffer_;  // allocated at first use
  std::size_t bufferSize_;
  long bufferOffset_ = 0;  // file offset of the buffer's first byte
  mutable std::size_t writtenOut_ = 0;
  BufferMode mode_ = BufferMode::kEmpty;
};

// A temporary file with no name on disk. Copies are further handles on the
// same file, each with its own position and buffer.
class VORN_API VORN_TempFile : public VORN_FileStream {
 public:
  // Creates an empty file whose name begins with `prefix` in the work
  // directory (isort/platform.h). Our files never keep a directory entry,
  // which is what `unlinked` asks for; the flag changes nothing.
  VORN_TempFile(const char* prefix, bool unlinked);
  // A second handle that sees everything written through `other`.
  VORN_TempFile(const VORN_TempFile& other);
  ~VORN_TempFile() override;

  void Close() override;
  // True while more than one handle on this file is alive.
  bool IsShared() const;
};

// A stream in memory that grows as needed.
class VORN_API VORN_InMemoryFile : public VORN_StrBaseIO {
 public:
  // `expectedBytes` is a hint; the stream accepts writes beyond it.
  explicit VORN_InMemoryFile(unsigned long expectedBytes);
  ~VORN_InMemoryFile() override;
};

// Optional, for speed only: where byte `offset` of an in-memory stream lies,
// valid until the stream next grows, so that a reader who jumps about the
// stream can prefetch and a writer can have pages faulted in ahead. A stream
// does not grow while it holds no more than the bytes it was made for. A
// platform may leave it out: the reference is weak, and callers test it for
// null before they call it.
VORN_API const void* VORN_InMemoryAddress(const VORN_InMemoryFile& stream, long offset)
    __attribute__((weak));

// Appends one group of `n` units to `to`.
VORN_API void WriteCompressed(VORN_StrBaseIO& to, const OBS* units, long n);
// Decodes the group of `n` units at the position of `from`, moving past it.
VORN_API void ReadCompressed(VORN_StrBaseIO& from, OBS* units, long n);
// Copies the group of `n` units at the position of `from` to `to` unchanged.
VORN_API void CopyPrecompressed(VORN_StrBaseIO& from, VORN_StrBaseIO& to,
                                long n);
