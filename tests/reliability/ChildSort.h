// A W1 sort through sortfile_ in a forked child, for the tests that kill a
// sort or starve it of disk: the child may die or have its limits changed
// without touching the test process. The child checks every row it is handed
// and exits with a code that tells what happened (kStatusMask and flags); it
// can stop in its get or put callback after a given number of rows, tell the
// parent, and wait there to be killed.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "TempDir.h"
#include "workloads/WorkloadSort.h"

namespace isort::reliability {

using testing::OpenFilesIn;
using testing::TempDir;

// The child's exit code: the status of sortfile_ in the low bits (15: 0, but
// the rows, their checksum or argument 10 did not check out), and flags.
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
  // Forks the child at once; pid() is not above 0 when that failed.
  explicit ChildSort(ChildSortOptions options) : options_(std::move(options)) {
    int stopped[2];
    stderr_ = memfd_create("child-stderr", MFD_CLOEXEC);
    if (stderr_ < 0 || pipe2(stopped, O_CLOEXEC) != 0) return;
    if ((pid_ = fork()) == 0) {
      dup2(stderr_, STDERR_FILENO);
      RunChild(stopped[1]);
    }
    close(stopped[1]);
    stopped_ = stopped[0];
  }
  ~ChildSort() {
    if (pid_ > 0) Wait(/*kill=*/true);
    close(stopped_), close(stderr_);
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
  // The workload's host, which tells the parent, then waits inside the
  // callback to be killed, once it has produced or received the rows asked.
  struct Host : workloads::WorkloadHost {
    const ChildSortOptions& options;
    int stopped;

    void StopAt(std::uint64_t rows, std::uint64_t at) const {
      if (rows != at) return;
      (void)!write(stopped, "s", 1);
      for (;;) pause();
    }
    static INTEGER Get(void* context, OBS* row, const INTEGER& nvars) {
      auto& host = *static_cast<Host*>(context);
      host.StopAt(host.generator.produced(), host.options.stopAfterGets);
      return WorkloadHost::Get(context, row, nvars);
    }
    static INTEGER Put(void* context, const OBS* row, const INTEGER& nvars) {
      auto& host = *static_cast<Host*>(context);
      host.StopAt(host.checker.taken(), host.options.stopAfterPuts);
      return WorkloadHost::Put(context, row, nvars);
    }
  };

  // Sorts `rows` rows of W1; the status for the low bits of the exit code.
  static int Sort(const ChildSortOptions& options, std::uint64_t rows, int stopped) {
    Host host{{workloads::Workload::W1, rows}, options, stopped};
    const auto& layout = workloads::LayoutOf(workloads::Workload::W1);
    const std::vector<SI> keys = layout.HostKeys();
    const INTEGER status =
        sortfile_(&host, &Host::Get, &Host::Put, INTEGER(layout.units), keys.data(),
                  INTEGER(layout.keys.size()), 0, 0, 0, host.flag10, host.count11);
    const bool checked = host.checker.Passed() && host.flag10 == 0 &&
                         host.checker.checksum() == host.checker.ExpectedChecksum();
    return status != 0 ? static_cast<int>(status) & kStatusMask : (checked ? 0 : kStatusMask);
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
