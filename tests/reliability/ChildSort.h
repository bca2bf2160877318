// A W1 sort through sortfile_ in a forked child, for the tests that kill a
// sort or starve it of disk: the child may die or have its limits changed
// without touching the test process. The child checks every row it is handed
// and exits with a code that tells what happened (kStatusMask and flags); it can stop in
// its get or put callback after a given number of rows, tell the parent, and
// wait there to be killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "isort/sortfile.h"
#include "workloads/Workloads.h"

namespace isort::reliability {

// A fresh directory under /tmp, removed at the end with what is left in it.
// With `tmpfsBytes`, a tmpfs of that size is mounted on it if this process may
// mount (root).
class ScratchDir {
 public:
  explicit ScratchDir(std::uint64_t tmpfsBytes = 0) {
    char pattern[] = "/tmp/isort-reliability-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
    const std::string options = "size=" + std::to_string(tmpfsBytes) + ",mode=0700";
    mounted_ = tmpfsBytes != 0 && !path_.empty() &&
               mount("isort-test", path_.c_str(), "tmpfs",
                     MS_NOSUID | MS_NODEV | MS_NOEXEC, options.c_str()) == 0;
  }
  ~ScratchDir() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::string& path() const { return path_; }
  bool mounted() const { return mounted_; }
  std::uint64_t FreeBytes() const { return std::filesystem::space(path_).free; }

 private:
  std::string path_;
  bool mounted_ = false;
};

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

// The child's exit code: the status of sortfile_ in the low bits (15: 0, but
// the rows did not check out), and flags.
constexpr int kStatusMask = 0x0F;
constexpr int kFilesLeftOpen = 0x10;   // descriptors into TMPDIR after the sort
constexpr int kFollowUpFailed = 0x20;  // a small sort afterwards did not succeed

struct ChildSortOptions {
  std::string tmpdir;                        // the child's TMPDIR
  std::uint64_t rows = 10000000;             // W1 rows to sort
  std::uint64_t stopAfterGets = UINT64_MAX;  // stop once this many rows were produced
  std::uint64_t stopAfterPuts = UINT64_MAX;  // stop once this many rows were received
  std::function<void()> prepare;             // run in the child before the sort
};

class ChildSort {
 public:
  explicit ChildSort(ChildSortOptions options) : options_(std::move(options)) {}
  ~ChildSort() {
    if (pid_ > 0) Wait(/*kill=*/true);
    for (const int fd : {stopped_, stderr_}) close(fd);
  }

  // Forks the child; false when that fails.
  bool Start() {
    int stopped[2];
    stderr_ = memfd_create("child-stderr", MFD_CLOEXEC);
    if (stderr_ < 0 || pipe2(stopped, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(stderr_, STDERR_FILENO);
      RunChild(stopped[1]);
    }
    close(stopped[1]);
    stopped_ = stopped[0];
    return pid_ > 0;
  }

  pid_t pid() const { return pid_; }

  // Waits up to `seconds` for the child to stop in a callback; false when it
  // exited or the time ran out first.
  bool AwaitStop(int seconds) {
    pollfd fd{stopped_, POLLIN, 0};
    char byte = 0;
    return poll(&fd, 1, seconds * 1000) == 1 && read(stopped_, &byte, 1) == 1;
  }

  // What the child wrote to its standard error so far.
  std::string Stderr() const {
    std::string text(1 << 16, '\0');
    text.resize(std::max<ssize_t>(0, pread(stderr_, text.data(), text.size(), 0)));
    return text;
  }

  // Reaps the child, killed first with `kill`; its wait status.
  int Wait(bool kill = false) {
    if (kill) ::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  struct Host {
    workloads::Generator generator;
    workloads::Checker checker;
    const ChildSortOptions* options;
    int stopped;

    // Tells the parent, then waits inside the callback to be killed.
    [[noreturn]] void Stop() const {
      (void)!write(stopped, "s", 1);
      for (;;) pause();
    }
    static INTEGER Get(void* context, OBS* row, const INTEGER&) {
      auto& host = *static_cast<Host*>(context);
      if (host.generator.produced() == host.options->stopAfterGets) host.Stop();
      return host.generator.Next(row) ? 0 : 1;
    }
    static INTEGER Put(void* context, const OBS* row, const INTEGER&) {
      auto& host = *static_cast<Host*>(context);
      if (host.checker.taken() == host.options->stopAfterPuts) host.Stop();
      host.checker.Take(row);
      return 0;
    }
  };

  // Sorts `rows` rows of W1; the status for the low bits of the exit code.
  static int Sort(const ChildSortOptions& options, std::uint64_t rows, int stopped) {
    Host host{workloads::Generator(workloads::Workload::W1, rows),
              workloads::Checker(workloads::Workload::W1, rows), &options, stopped};
    const auto& layout = workloads::LayoutOf(workloads::Workload::W1);
    const std::vector<SI> keys = layout.HostKeys();
    LOGICAL flag = 1;
    INTEGER count = 1;
    const INTEGER status =
        sortfile_(&host, &Host::Get, &Host::Put, INTEGER(layout.units), keys.data(),
                  INTEGER(layout.keys.size()), 0, 0, 0, flag, count);
    return status != 0 ? static_cast<int>(status) & kStatusMask
                       : (host.checker.Passed() ? 0 : kStatusMask);
  }

  [[noreturn]] void RunChild(int stopped) {
    setenv("TMPDIR", options_.tmpdir.c_str(), 1);
    if (options_.prepare) options_.prepare();
    int code = Sort(options_, options_.rows, stopped);
    if (OpenFilesIn("self", options_.tmpdir) != 0) code |= kFilesLeftOpen;
    // The process goes on working: a small sort, which needs no work file.
    if (Sort(ChildSortOptions(), 20000, stopped) != 0) code |= kFollowUpFailed;
    std::fflush(nullptr);
    _exit(code);
  }

  ChildSortOptions options_;
  pid_t pid_ = -1;
  int stopped_ = -1;
  int stderr_ = -1;
};

}  // namespace isort::reliability
