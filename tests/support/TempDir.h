// Scratch directories for tests. Work files have no name on disk, so an open
// descriptor is the only trace a forgotten one leaves.
#pragma once

#include <sys/mount.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace isort::testing {

inline long Entries(const std::string& directory) {
  return std::distance(std::filesystem::directory_iterator(directory), {});
}

// The files that process `pid` ("self": this one) holds open in `directory`,
// named or not (an unnamed one shows as "<directory>/#<inode> (deleted)").
inline int OpenFilesIn(const std::string& pid, const std::string& directory) {
  int files = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + pid + "/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(fd.path(), error);
    files += !error && target.rfind(directory + "/", 0) == 0;
  }
  return files;
}

// A fresh directory under /tmp, removed with what is left in it. With
// `tmpfsBytes`, a tmpfs of that size is mounted on it where this process may
// mount (root).
class TempDir {
 public:
  explicit TempDir(std::uint64_t tmpfsBytes = 0) {
    char pattern[] = "/tmp/isort-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
    const std::string options = "size=" + std::to_string(tmpfsBytes) + ",mode=0700";
    mounted_ = tmpfsBytes != 0 && !path_.empty() &&
               mount("isort-test", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                     options.c_str()) == 0;
  }
  ~TempDir() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  bool mounted() const { return mounted_; }
  std::uint64_t FreeBytes() const { return std::filesystem::space(path_).free; }
  // Nothing named in the directory, and no descriptor of this process in it.
  bool Clean() const { return Entries(path_) == 0 && OpenFilesIn("self", path_) == 0; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// A TempDir that is TMPDIR for its life.
class WorkDir : public TempDir {
 public:
  WorkDir() : previous_(getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "") {
    setenv("TMPDIR", path().c_str(), 1);
  }
  ~WorkDir() { previous_.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", previous_.c_str(), 1); }

 private:
  std::string previous_;
};

}  // namespace isort::testing
