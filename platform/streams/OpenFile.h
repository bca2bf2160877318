// One open file descriptor, shared by every handle on the file.
//
// All handles of a temporary file use this one descriptor with positioned
// reads and writes (pread/pwrite) at their own offsets, so a merge that reads
// hundreds of runs of one file holds a single descriptor. The descriptor
// closes when the last handle lets go of its shared_ptr.
#pragma once

#include <cstddef>
#include <string>

#include "vorn/Errors.h"

namespace isort::platform::streams {

// What the handles on a file may do with it.
struct Access {
  bool read = false;
  bool write = false;
};

class OpenFile {
 public:
  // Takes over `descriptor`. `name` is what error texts call the file.
  OpenFile(int descriptor, std::string name, bool temporary, Access access);
  ~OpenFile();
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  const std::string& Name() const { return name_; }
  bool Temporary() const { return temporary_; }
  const Access& Permits() const { return access_; }

  // Reads up to `bytes` at `offset`; fewer only where the file ends.
  std::size_t ReadAt(void* to, std::size_t bytes, long offset) const;
  // Writes all `bytes` at `offset`, retrying short writes.
  void WriteAt(const void* from, std::size_t bytes, long offset) const;
  // The file's size in bytes (a seek to its end).
  long Size() const;
  // Cuts the file to nothing.
  void Truncate() const;
  // The seek step of a handle moving to `target`: fails like lseek would.
  void CheckSeek(long target) const;

  // Throws the ErrorText for a failed `kind` of operation on this file.
  [[noreturn]] void Fail(unsigned char kind, int error) const;

 private:
  // Repeats `call(done)` (a pread or pwrite of the bytes from `done` on)
  // until it has moved `bytes` or moves nothing; returns the bytes moved.
  template <typename Call>
  std::size_t Transfer(std::size_t bytes, unsigned char kind, Call call) const;

  int descriptor_;
  std::string name_;
  bool temporary_;
  Access access_;
};

// The text of a failed file operation: "cannot write work file
// /tmp/sort123: No space left on device".
std::string FailureText(unsigned char kind, bool temporary,
                        const std::string& name, int error);

}  // namespace isort::platform::streams
