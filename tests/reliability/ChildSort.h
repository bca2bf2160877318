// A W1 sort through sortfile_ in a forked child, for the tests that kill a
// sort or starve it of disk: the child may die or have its limits changed
// without touching the test process.
//
// The child sorts W1 rows from the standard generator, checks every row it is
// handed, and exits with a code that tells the parent what happened (see
// ChildExit). It can tell the parent through a pipe when its get callback has
// produced, or its put callback has received, a given number of rows, and then
// stop inside that callback until it is killed. Its standard error can be
// captured. The helpers around it look at a directory from outside: the files
// named in it, the descriptors a process holds into it, the free space of its
// file system, and a tmpfs mounted on it for the test's life.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "isort/sortfile.h"
#include "workloads/Workloads.h"

namespace isort::reliability {

// ---- The directory a child works in ---------------------------------------

// A fresh directory under /tmp, removed (with what is left in it) at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/isort-reliability-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    if (path_.empty()) return;
    if (DIR* dir = opendir(path_.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") unlink((path_ + "/" + name).c_str());
      }
      closedir(dir);
    }
    rmdir(path_.c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A tmpfs of `bytes` mounted on a fresh directory for the object's life. Needs
// the right to mount (root); why() says what went wrong when mounted() is
// false.
class TmpfsMount {
 public:
  explicit TmpfsMount(std::uint64_t bytes) {
    if (!dir_.ok()) {
      why_ = std::string("mkdtemp: ") + std::strerror(errno);
      return;
    }
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    if (mount("isort-test", dir_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              options.c_str()) != 0) {
      why_ = "mount -t tmpfs on " + dir_.path() + ": " + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~TmpfsMount() {
    if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  const std::string& path() const { return dir_.path(); }

 private:
  ScratchDir dir_;
  bool mounted_ = false;
  std::string why_;
};

// Names in a directory, "." and ".." aside.
inline std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

// Descriptors of process `pid` ("self" for this one) on files in `directory`,
// named or not: an unnamed work file shows as "<directory>/#<inode> (deleted)".
inline int OpenFilesIn(const std::string& pid, const std::string& directory) {
  int count = 0;
  const std::string fds = "/proc/" + pid + "/fd";
  if (DIR* dir = opendir(fds.c_str())) {
    while (dirent* entry = readdir(dir)) {
      char target[4096];
      const std::string link = fds + "/" + entry->d_name;
      const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      target[length] = '\0';
      if (std::string(target).rfind(directory + "/", 0) == 0) ++count;
    }
    closedir(dir);
  }
  return count;
}

// Bytes of storage that process `pid` holds through its descriptors on files
// in `directory`: exact however busy the file system is, where its free space
// is not.
inline std::uint64_t HeldBytes(const std::string& pid, const std::string& directory) {
  std::uint64_t bytes = 0;
  const std::string fds = "/proc/" + pid + "/fd";
  if (DIR* dir = opendir(fds.c_str())) {
    while (dirent* entry = readdir(dir)) {
      char target[4096];
      const std::string link = fds + "/" + entry->d_name;
      const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      target[length] = '\0';
      struct stat status {};
      if (std::string(target).rfind(directory + "/", 0) == 0 && stat(link.c_str(), &status) == 0) {
        bytes += static_cast<std::uint64_t>(status.st_blocks) * 512;
      }
    }
    closedir(dir);
  }
  return bytes;
}

// Bytes free on the file system that holds `path` (for everyone, root's
// reserve included).
inline std::uint64_t FreeBytes(const std::string& path) {
  struct statvfs status {};
  if (statvfs(path.c_str(), &status) != 0) return 0;
  return static_cast<std::uint64_t>(status.f_bfree) * status.f_frsize;
}

// ---- The child -------------------------------------------------------------

// How the child's exit code reports its sort: the status of sortfile_ in the
// low bits, and flags for what went wrong besides.
struct ChildExit {
  static constexpr int kStatusMask = 0x0F;
  static constexpr int kFilesLeftOpen = 0x10;  // descriptors into TMPDIR after the sort
  static constexpr int kRowsWrong = 0x20;      // status 0 but the rows did not check out
  static constexpr int kFollowUpFailed = 0x40; // a small sort afterwards did not succeed
};

struct ChildSortOptions {
  std::string tmpdir;                         // the child's TMPDIR
  std::uint64_t rows = 10000000;              // W1 rows to sort
  std::uint64_t signalAfterGets = UINT64_MAX; // notify after this many rows were produced
  std::uint64_t signalAfterPuts = UINT64_MAX; // notify after this many rows were received
  bool captureStderr = false;
  // Run in the child before the sort (limits, signal dispositions).
  std::function<void()> prepare;
};

class ChildSort {
 public:
  explicit ChildSort(ChildSortOptions options) : options_(std::move(options)) {}
  ~ChildSort() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    CloseFd(notify_);
    CloseFd(stderr_);
  }
  ChildSort(const ChildSort&) = delete;
  ChildSort& operator=(const ChildSort&) = delete;

  // Forks the child; false (with errno) when fork or pipe fails.
  bool Start() {
    int notify[2];
    int error[2] = {-1, -1};
    if (pipe2(notify, O_CLOEXEC) != 0) return false;
    if (options_.captureStderr && pipe2(error, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      close(notify[0]);
      if (options_.captureStderr) {
        close(error[0]);
        dup2(error[1], STDERR_FILENO);
      }
      RunChild(notify[1]);
    }
    close(notify[1]);
    notify_ = notify[0];
    if (options_.captureStderr) {
      close(error[1]);
      stderr_ = error[0];
    }
    return true;
  }

  pid_t pid() const { return pid_; }

  // Waits up to `seconds` for the child's notification; false when it exited
  // or the time ran out first.
  bool AwaitSignal(int seconds) {
    pollfd fd{notify_, POLLIN, 0};
    if (poll(&fd, 1, seconds * 1000) != 1) return false;
    char byte = 0;
    return read(notify_, &byte, 1) == 1;
  }

  // Reads the child's standard error to its end (the child's exit closes it).
  std::string ReadStderr() {
    std::string text;
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(stderr_, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }

  void Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL);
  }

  // Reaps the child; its wait status.
  int Wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  static void CloseFd(int fd) {
    if (fd >= 0) close(fd);
  }

  struct Host {
    workloads::Generator generator;
    workloads::Checker checker;
    const ChildSortOptions* options;
    int notify;

    // Tells the parent, then waits inside the callback to be killed.
    [[noreturn]] void SignalAndStop() const {
      const char byte = 1;
      (void)!write(notify, &byte, 1);
      for (;;) pause();
    }
    static INTEGER Get(void* context, OBS* row, const INTEGER&) {
      auto& host = *static_cast<Host*>(context);
      if (host.generator.produced() == host.options->signalAfterGets) host.SignalAndStop();
      return host.generator.Next(row) ? 0 : 1;
    }
    static INTEGER Put(void* context, const OBS* row, const INTEGER&) {
      auto& host = *static_cast<Host*>(context);
      if (host.checker.taken() == host.options->signalAfterPuts) host.SignalAndStop();
      host.checker.Take(row);
      return 0;
    }
  };

  static INTEGER Sort(Host& host) {
    const auto& layout = workloads::LayoutOf(workloads::Workload::W1);
    const std::vector<SI> keys = layout.HostKeys();
    const INTEGER nvars = layout.units;
    const INTEGER nkeys = static_cast<INTEGER>(layout.keys.size());
    const INTEGER unused = 0;
    LOGICAL flag = 1;
    INTEGER count = 1;
    return sortfile_(&host, &Host::Get, &Host::Put, nvars, keys.data(), nkeys, unused, unused,
                     unused, flag, count);
  }

  [[noreturn]] void RunChild(int notify) {
    setenv("TMPDIR", options_.tmpdir.c_str(), 1);
    if (options_.prepare) options_.prepare();
    int code = 0;
    {
      Host host{workloads::Generator(workloads::Workload::W1, options_.rows),
                workloads::Checker(workloads::Workload::W1, options_.rows), &options_, notify};
      const INTEGER status = Sort(host);
      code = static_cast<int>(status) & ChildExit::kStatusMask;
      if (status == 0 && !host.checker.Passed()) code |= ChildExit::kRowsWrong;
    }
    if (OpenFilesIn("self", options_.tmpdir) != 0) code |= ChildExit::kFilesLeftOpen;
    // The process goes on working: a small sort, which needs no work file.
    {
      const std::uint64_t rows = 20000;
      ChildSortOptions quiet;
      Host host{workloads::Generator(workloads::Workload::W1, rows),
                workloads::Checker(workloads::Workload::W1, rows), &quiet, notify};
      if (Sort(host) != 0 || !host.checker.Passed()) code |= ChildExit::kFollowUpFailed;
    }
    std::fflush(nullptr);
    _exit(code);
  }

  ChildSortOptions options_;
  pid_t pid_ = -1;
  int notify_ = -1;
  int stderr_ = -1;
};

}  // namespace isort::reliability
