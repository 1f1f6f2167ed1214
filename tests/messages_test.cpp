// Write errors: a failed write that a later flush hid is still reported.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>

#include "app/messages.hpp"

namespace {

// A stream's sink whose first write fails and whose later writes succeed.
struct FailingOnceSink {
  int writes = 0;
  std::string written;
};

ssize_t write_failing_once(void* cookie, const char* data, std::size_t size) {
  auto& sink = *static_cast<FailingOnceSink*>(cookie);
  if (sink.writes++ == 0) {
    errno = EIO;
    return -1;
  }
  sink.written.append(data, size);
  return static_cast<ssize_t>(size);
}

TEST(WriteError, ReportsAWriteThatFailedBeforeTheLastFlush) {
  FailingOnceSink sink;
  cookie_io_functions_t io{};
  io.write = write_failing_once;
  std::FILE* stream = fopencookie(&sink, "w", io);
  ASSERT_NE(stream, nullptr);
  std::fputs("lost\n", stream);
  EXPECT_NE(std::fflush(stream), 0);
  std::fputs("kept\n", stream);
  EXPECT_EQ(friendly::write_error(stream, "standard output"), "cannot write standard output");
  EXPECT_EQ(sink.written, "kept\n");  // the last flush itself succeeded
  std::fputs("more\n", stream);
  std::clearerr(stream);
  EXPECT_EQ(friendly::write_error(stream, "standard output"), "");
  EXPECT_EQ(sink.written, "kept\nmore\n");
  std::fclose(stream);
}

}  // namespace
