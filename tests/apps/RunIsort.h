// Runs the built isort command in a child process and keeps a scratch
// directory for each test: data/ for inputs and outputs, work/ for TMPDIR
// and --tmpdir, io/ for the child's standard streams.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef ISORT_BINARY
#error "ISORT_BINARY must name the isort command to test"
#endif

namespace isort::testing {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline bool Exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// The names in a directory, "." and ".." left out.
inline std::set<std::string> Entries(const std::string& directory) {
  std::set<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(dir);
  }
  return names;
}

inline void RemoveTree(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    for (const std::string& name : Entries(path)) RemoveTree(path + "/" + name);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

struct RunResult {
  int status = -1;  // the exit status, or 128 + signal
  std::string out;
  std::string err;
};

class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/isort-csv-test-XXXXXX";
    base_ = ::mkdtemp(pattern);
    ::mkdir(data().c_str(), 0700);
    ::mkdir(work().c_str(), 0700);
    ::mkdir(io().c_str(), 0700);
  }
  ~Scratch() { RemoveTree(base_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  std::string data() const { return base_ + "/data"; }
  std::string work() const { return base_ + "/work"; }
  std::string io() const { return base_ + "/io"; }

  // Writes `text` as data/<name> and returns its path.
  std::string Input(const std::string& name, const std::string& text) const {
    const std::string path = data() + "/" + name;
    WriteFile(path, text);
    return path;
  }

  // Runs isort with `args`, standard input from `stdinText`, TMPDIR set to
  // work/ and `environment` ("NAME=value") added; standard output goes to
  // `stdoutPath` when given.
  RunResult Run(const std::vector<std::string>& args, const std::string& stdinText = "",
                const std::vector<std::string>& environment = {},
                const std::string& stdoutPath = "") const {
    WriteFile(io() + "/stdin", stdinText);
    const pid_t child = Start(args, environment, io() + "/stdin", stdoutPath);
    RunResult result;
    result.status = Wait(child);
    if (stdoutPath.empty()) result.out = ReadFile(io() + "/stdout");
    result.err = ReadFile(io() + "/stderr");
    return result;
  }

  // Starts isort with standard input from `stdinPath`; returns its pid.
  pid_t Start(const std::vector<std::string>& args,
              const std::vector<std::string>& environment, const std::string& stdinPath,
              const std::string& stdoutPath = "") const {
    const std::string out = stdoutPath.empty() ? io() + "/stdout" : stdoutPath;
    const std::string err = io() + "/stderr";
    const std::string tmp = work();
    const pid_t child = ::fork();
    if (child == 0) {
      const int in = ::open(stdinPath.c_str(), O_RDONLY);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (in < 0 || o < 0 || e < 0) ::_exit(126);
      ::dup2(in, 0);
      ::dup2(o, 1);
      ::dup2(e, 2);
      ::setenv("TMPDIR", tmp.c_str(), 1);
      ::unsetenv("LC_ALL");
      ::setenv("LC_COLLATE", "C", 1);
      for (const std::string& setting : environment) {
        const std::size_t equals = setting.find('=');
        ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(),
                 1);
      }
      std::vector<std::string> words = {ISORT_BINARY, "sort"};
      words.insert(words.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return child;
  }

  static int Wait(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
  }

 private:
  std::string base_;
};

}  // namespace isort::testing
