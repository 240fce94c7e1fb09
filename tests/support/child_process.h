// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bitoner::testing {

// Where a child's output goes and what it starts in. Empty fields leave the child as this
// process is.
struct ChildSetup {
  std::filesystem::path workDir;
  std::filesystem::path outFile;   // standard output
  std::filesystem::path errFile;   // standard error
  std::vector<std::string> unset;  // environment variables the child does not see
};

// A program run as a child process with this process's environment. Killed and reaped however
// the test ends. Everything is prepared before the fork, so that the child does only what is
// safe beside the other threads a test runs (recorders, sound servers).
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> arguments, const ChildSetup& setup = {}) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      bool kept = true;
      for (const std::string& name : setup.unset) {
        kept = kept && !(std::strncmp(*entry, name.c_str(), name.size()) == 0 &&
                         (*entry)[name.size()] == '=');
      }
      if (kept) {
        envp.push_back(*entry);
      }
    }
    envp.push_back(nullptr);
    const int out = openFor(setup.outFile);
    const int err = openFor(setup.errFile);
    pid_ = ::fork();
    if (pid_ == 0) {
      if ((!setup.workDir.empty() && ::chdir(setup.workDir.c_str()) != 0) ||
          (out >= 0 && ::dup2(out, STDOUT_FILENO) < 0) ||
          (err >= 0 && ::dup2(err, STDERR_FILENO) < 0)) {
        ::_exit(127);
      }
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    for (const int fd : {out, err}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }
  ~ChildProcess() {
    if (pid_ > 0) {  // a failed check left it running: it must not go on for minutes
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const { ::kill(pid_, number); }

  // The exit status (128 + the signal's number for a process ended by a signal), once it ends.
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return statusOf(status);
  }

  // The same, or -1 if the process had not ended within `limit`.
  int wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return statusOf(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  static int openFor(const std::filesystem::path& file) {
    return file.empty() ? -1 : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  static int statusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid_ = -1;
};

}  // namespace bitoner::testing
