// The built program under stress: many threads printing at once, a reader that stops early, and
// output that fails in the middle of the pair lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "sanitizers.hpp"
#include "text_files.hpp"

namespace {

using friendly_test::spawn;
using friendly_test::split_lines;
using friendly_test::TempFile;
using friendly_test::wait_for;

const std::regex kPairLine(R"(-?\d+ and -?\d+ are FRIENDLY )");
const std::regex kTimeLine(R"(Tempo total \d+\.\d{6} seconds)");

// The write calls that pid, which has exited and is not yet reaped, made; -1 when this system does
// not count them.
std::int64_t write_calls(pid_t pid) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0) {
    if (errno != EINTR) return -1;
  }
  std::istringstream io(friendly_test::read_file("/proc/" + std::to_string(pid) + "/io"));
  std::string key;
  std::int64_t value = 0;
  while (io >> key >> value) {
    if (key == "syscw:") return value;
  }
  return -1;
}

// Every pair line of a run with the given team size, sorted, after checking that each line is
// whole and well formed and that the time line comes once, last.
std::vector<std::string> checked_pair_lines(const char* low, const char* high, const char* threads,
                                            const char* kernels = nullptr) {
  TempFile out("out");
  TempFile err("err");
  const int status =
      wait_for(spawn({FRIENDLY_PROGRAM, low, high},
                     {.out = out.fd(), .err = err.fd(), .threads = threads, .kernels = kernels}));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << threads << " threads: " << status;
  EXPECT_EQ(err.text(), "") << threads << " threads";

  const std::string text = out.text();
  EXPECT_TRUE(!text.empty() && text.back() == '\n') << threads << " threads";
  std::vector<std::string> lines = split_lines(text);
  if (lines.empty()) {
    ADD_FAILURE() << threads << " threads: no output";
    return lines;
  }
  EXPECT_TRUE(std::regex_match(lines.back(), kTimeLine)) << threads << ": " << lines.back();
  lines.pop_back();
  for (const std::string& line : lines)
    EXPECT_TRUE(std::regex_match(line, kPairLine)) << threads << " threads: '" << line << "'";
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end())
      << threads << " threads: a line printed twice";
  return lines;
}

TEST(ManyThreads, EveryTeamSizePrintsTheSameWholeLines) {
  // Far more threads than cores, so that threads are preempted in the middle of their writes.
  const std::vector<std::string> one = checked_pair_lines("-3000", "50000", "1");
  ASSERT_GT(one.size(), 500u);
  for (const char* threads : {"2", "7", "64"})
    EXPECT_EQ(checked_pair_lines("-3000", "50000", threads), one) << threads << " threads";
  // Every path that this machine runs (as the program lists them), the literal loops included,
  // on a shorter range.
  const std::vector<std::string> short_one = checked_pair_lines("-3000", "20000", "1");
  TempFile listed("paths");
  ASSERT_EQ(wait_for(spawn({FRIENDLY_PROGRAM, "--list-paths"}, {.out = listed.fd()})), 0);
  const std::vector<std::string> paths = split_lines(listed.text());
  ASSERT_GE(paths.size(), 2u);
  for (const std::string& kernels : paths)
    EXPECT_EQ(checked_pair_lines("-3000", "20000", "13", kernels.c_str()), short_one) << kernels;
}

// How `friendlyNumbers 1 100000 | head -n 1` ended.
struct StoppedReaderRun {
  int status = 0;  // the program's raw wait status
  std::string first_line;
  std::string err;
};

StoppedReaderRun run_into_head(bool ignore_sigpipe) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
  // The smallest pipe makes the program's later writes come after head has left, whatever the
  // scheduling: its output is many times the pipe plus what head reads before it stops.
  fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096);
  TempFile head_out("head");
  TempFile err("err");
  const pid_t program =
      spawn({FRIENDLY_PROGRAM, "1", "100000"},
            {.out = pipe_fds[1], .err = err.fd(), .ignore_sigpipe = ignore_sigpipe});
  const pid_t head = spawn({"head", "-n", "1"}, {.in = pipe_fds[0], .out = head_out.fd()});
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  const int head_status = wait_for(head);
  EXPECT_TRUE(WIFEXITED(head_status) && WEXITSTATUS(head_status) == 0) << head_status;
  return {wait_for(program), head_out.text(), err.text()};
}

TEST(StoppedReader, DefaultSigpipeEndsTheProgramQuietly) {
  const StoppedReaderRun run = run_into_head(false);
  EXPECT_TRUE(std::regex_match(run.first_line, std::regex(R"(\d+ and \d+ are FRIENDLY \n)")))
      << run.first_line;
  ASSERT_TRUE(WIFSIGNALED(run.status)) << "status " << run.status;
  EXPECT_EQ(WTERMSIG(run.status), SIGPIPE);
  EXPECT_FALSE(WCOREDUMP(run.status));
  EXPECT_EQ(run.err, "");
}

TEST(StoppedReader, IgnoredSigpipeGivesStatusOneAndOneErrorLine) {
  const StoppedReaderRun run = run_into_head(true);
  EXPECT_TRUE(std::regex_match(run.first_line, std::regex(R"(\d+ and \d+ are FRIENDLY \n)")))
      << run.first_line;
  ASSERT_TRUE(WIFEXITED(run.status)) << "status " << run.status;
  EXPECT_EQ(WEXITSTATUS(run.status), 1);
  EXPECT_EQ(split_lines(run.err).size(), 1u) << run.err;
  EXPECT_EQ(run.err.rfind("friendlyNumbers: cannot write standard output", 0), 0u) << run.err;
}

using friendly_test::kThreadSanitizer;

TEST(FailingOutput, EveryThreadStopsAtItsFirstFailedLine) {
  if (kThreadSanitizer) GTEST_SKIP() << "stdbuf cannot start a ThreadSanitizer build";
  // stdbuf makes each line one write, so that each thread's next line after the failure fails
  // too. Files take 2048 bytes (LLVM's libomp needs 1024 for a file of its own at start): some
  // 80 lines of the 1930 (46 KB) of 1..100000.
  TempFile out("out");
  TempFile err("err");
  // AddressSanitizer would refuse to start behind the library that stdbuf preloads.
  const pid_t program =
      spawn({"env", "ASAN_OPTIONS=verify_asan_link_order=0", "stdbuf", "-oL", FRIENDLY_PROGRAM, "1",
             "100000"},
            {.out = out.fd(), .err = err.fd(), .threads = "4", .file_size = 2048});
  const std::int64_t writes = write_calls(program);
  const int status = wait_for(program);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(split_lines(err.text()).size(), 1u) << err.text();
  EXPECT_EQ(err.text().rfind("friendlyNumbers: cannot write standard output", 0), 0u) << err.text();

  // What fitted is whole pair lines, then the start of one; no time line.
  const std::string text = out.text();
  EXPECT_EQ(text.size(), 2048u);
  std::vector<std::string> lines = split_lines(text);
  ASSERT_GT(lines.size(), 20u);
  lines.pop_back();
  for (const std::string& line : lines)
    EXPECT_TRUE(std::regex_match(line, kPairLine)) << line;

  // The lines that fitted, a failed one for each thread, the error line: far fewer writes than
  // the 1930 lines that a search going on after the failure would try.
  if (writes < 0) GTEST_SKIP() << "this system does not count write calls";
  EXPECT_LT(writes, 150) << "write calls";
}

}  // namespace
