#include "app/messages.hpp"

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

namespace friendly {

std::string write_error(std::FILE* stream, const char* name) {
  // A failed write clears the stream's buffer, so a later flush can succeed: only the stream's
  // error flag still tells of the lost lines.
  errno = 0;
  const bool flushed = std::fflush(stream) == 0;
  if (flushed && std::ferror(stream) == 0) return "";
  const int error = errno;
  return std::string("cannot write ") + name +
         (!flushed && error != 0 ? ": " + std::generic_category().message(error) : std::string());
}

void complain(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program, message.c_str());
}

bool finish_output(const char* program) {
  const std::string error = write_error(stdout, "standard output");
  if (error.empty()) return true;
  complain(program, error);
  return false;
}

}  // namespace friendly
