// A fresh TMPDIR for a test. Work files have no name on disk, so an open
// descriptor is the only trace a forgotten one leaves.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace isort::testing {

class WorkDir {
 public:
  WorkDir() : previous_(getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "") {
    char pattern[] = "/tmp/isort-test-XXXXXX";
    path_ = mkdtemp(pattern);
    setenv("TMPDIR", path_.c_str(), 1);
  }
  ~WorkDir() {
    previous_.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", previous_.c_str(), 1);
    rmdir(path_.c_str());
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  // Nothing named in the directory, and no descriptor of this process in it.
  bool Clean() const { return Count(path_, false) == 0 && Count("/proc/self/fd", true) == 0; }

 private:
  // Entries of `directory`; with `links`, only those that link into ours.
  int Count(const std::string& directory, bool links) const {
    int count = 0;
    if (DIR* dir = opendir(directory.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        char target[4096];
        const ssize_t length = links ? readlink((directory + "/" + name).c_str(), target, 4096) : 0;
        if (!links || (length > 0 && std::string(target, length).rfind(path_ + "/", 0) == 0)) {
          ++count;
        }
      }
      closedir(dir);
    }
    return count;
  }

  std::string previous_, path_;
};

}  // namespace isort::testing
