// A fresh TMPDIR for a test, and a count of the files still open in it: work
// files have no name on disk, so an open descriptor is the only trace a
// forgotten one leaves.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace isort::testing {

class WorkDir {
 public:
  WorkDir() {
    char pattern[] = "/tmp/isort-test-XXXXXX";
    path_ = mkdtemp(pattern);
    const char* previous = getenv("TMPDIR");
    if (previous != nullptr) previous_ = previous;
    hadPrevious_ = previous != nullptr;
    setenv("TMPDIR", path_.c_str(), 1);
  }
  ~WorkDir() {
    if (hadPrevious_) {
      setenv("TMPDIR", previous_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    rmdir(path_.c_str());
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  const std::string& path() const { return path_; }

  // Entries in the directory (nothing should ever be named there).
  int Entries() const {
    int count = 0;
    if (DIR* dir = opendir(path_.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") ++count;
      }
      closedir(dir);
    }
    return count;
  }

  // Descriptors of this process that refer to files in the directory.
  int OpenFiles() const {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
      while (dirent* entry = readdir(dir)) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0) continue;
        target[length] = '\0';
        if (std::string(target).rfind(path_ + "/", 0) == 0) ++count;
      }
      closedir(dir);
    }
    return count;
  }

  // True when the sort left nothing behind.
  bool Clean() const { return Entries() == 0 && OpenFiles() == 0; }

 private:
  std::string path_;
  std::string previous_;
  bool hadPrevious_ = false;
};

}  // namespace isort::testing
