// Runs the built isort command (ISORT_BINARY) in a child process, with a
// scratch directory of its own: data/ for inputs and outputs, work/ for
// TMPDIR, and the child's standard streams beside them.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace isort::testing {

inline std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::set<std::string> Entries(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.insert(entry.path().filename());
  return names;
}

struct RunResult {
  int status;  // the exit status, or 128 + signal
  std::string out, err;
};

class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/isort-csv-test-XXXXXX";
    base_ = ::mkdtemp(pattern);
    std::filesystem::create_directory(data());
    std::filesystem::create_directory(work());
  }
  ~Scratch() { std::filesystem::remove_all(base_); }

  std::string data() const { return base_ + "/data"; }
  std::string work() const { return base_ + "/work"; }
  std::string io(const std::string& name) const { return base_ + "/" + name; }

  // Writes `text` as data/<name>; its path.
  std::string Input(const std::string& name, const std::string& text) const {
    WriteFile(data() + "/" + name, text);
    return data() + "/" + name;
  }

  // Runs `isort sort args` on `stdinText`; standard output goes to
  // `stdoutPath` when one is given.
  RunResult Run(const std::vector<std::string>& args, const std::string& stdinText = "",
                const std::vector<std::string>& environment = {},
                const std::string& stdoutPath = "") const {
    WriteFile(io("stdin"), stdinText);
    const int status = Wait(Start(args, environment, io("stdin"), stdoutPath));
    return {status, stdoutPath.empty() ? ReadFile(io("stdout")) : "",
            ReadFile(io("stderr"))};
  }

  // Starts `isort sort args` reading `stdinPath`, with TMPDIR work/,
  // LC_COLLATE C and the settings "NAME=value" of `environment`; its pid.
  pid_t Start(const std::vector<std::string>& args,
              const std::vector<std::string>& environment, const std::string& stdinPath,
              const std::string& stdoutPath = "") const {
    const std::string files[] = {
        stdinPath, stdoutPath.empty() ? io("stdout") : stdoutPath, io("stderr")};
    std::vector<std::string> words = {ISORT_BINARY, "sort"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child != 0) return child;
    for (int fd = 0; fd < 3; ++fd) {
      const int flags = fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
      if (::dup2(::open(files[fd].c_str(), flags, 0600), fd) < 0) ::_exit(126);
    }
    ::unsetenv("LC_ALL");
    ::setenv("LC_COLLATE", "C", 1);
    ::setenv("TMPDIR", work().c_str(), 1);
    for (const std::string& setting : environment) ::putenv(::strdup(setting.c_str()));
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }

  static int Wait(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  }

 private:
  std::string base_;
};

}  // namespace isort::testing
