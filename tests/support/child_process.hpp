// Child processes of the tests: one started with its standard streams and settings, one shell
// command with its output captured, and the temporary files that hold what they wrote.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "text_files.hpp"

namespace friendly_test {

// Standard streams and settings of a child process; -1 keeps the test's own descriptor.
struct ChildSetup {
  int in = -1;
  int out = -1;
  int err = -1;
  const char* threads = nullptr;  // OMP_NUM_THREADS, when set
  const char* kernels = nullptr;  // FRIENDLY_KERNELS, when set
  bool ignore_sigpipe = false;
  rlim_t file_size = 0;  // when set, files may grow to this many bytes
};

// Starts command (searched on PATH) with the given setup and returns its process id.
inline pid_t spawn(const std::vector<std::string>& command, const ChildSetup& setup) {
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const std::string& word : command)
    argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;

  // Child: the descriptors, the signal disposition (inherited through exec), the team size.
  for (const auto& [from, to] : {std::pair{setup.in, 0}, {setup.out, 1}, {setup.err, 2}}) {
    if (from >= 0 && dup2(from, to) < 0) _exit(126);
  }
  std::signal(SIGPIPE, setup.ignore_sigpipe ? SIG_IGN : SIG_DFL);
  if (setup.file_size != 0) {
    const rlimit file_size{setup.file_size, setup.file_size};
    if (setrlimit(RLIMIT_FSIZE, &file_size) != 0) _exit(126);
  }
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the child of fork has one thread.
  if (setup.threads != nullptr) setenv("OMP_NUM_THREADS", setup.threads, 1);
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the child of fork has one thread.
  if (setup.kernels != nullptr) setenv("FRIENDLY_KERNELS", setup.kernels, 1);
  execvp(argv[0], argv.data());
  _exit(127);
}

// Waits for pid and returns its raw wait status.
inline int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// A file in the test's temporary folder, removed when the test ends.
class TempFile {
 public:
  explicit TempFile(const std::string& name)
      : path_(::testing::TempDir() + "friendly_" + name + "_" + std::to_string(getpid())) {
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  ~TempFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] const std::string& path() const { return path_; }

  // The whole contents of the file.
  [[nodiscard]] std::string text() const { return read_file(path_); }

 private:
  std::string path_;
  int fd_ = -1;
};

// What a shell command wrote, and how it ended.
struct ShellRun {
  int status = -1;  // exit status, or -1 when the command did not exit normally
  std::string out;
  std::string err;
};

// Runs command with /bin/sh, its standard input the test's, its standard output and error
// captured (where the command does not redirect them itself).
inline ShellRun run_shell(const std::string& command) {
  const TempFile out("shell_out");
  const TempFile err("shell_err");
  const int raw = wait_for(spawn({"/bin/sh", "-c", command}, {.out = out.fd(), .err = err.fd()}));
  return {raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, out.text(), err.text()};
}

}  // namespace friendly_test
