// A stream in memory that a search prints on, and what was printed on it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "text_files.hpp"

namespace friendly_test {

class MemoryStream {
 public:
  MemoryStream() : stream_(open_memstream(&text_, &size_)) {}
  ~MemoryStream() {
    if (stream_ != nullptr) std::fclose(stream_);
    std::free(text_);  // NOLINT(cppcoreguidelines-no-malloc): open_memstream's buffer
  }
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;

  // The stream, or null where it could not be opened.
  [[nodiscard]] std::FILE* get() const { return stream_; }

  // The text printed so far.
  std::string text() {
    std::fflush(stream_);
    return {text_, size_};
  }

  // The lines printed so far, in the order printed.
  std::vector<std::string> lines() { return split_lines(text()); }

 private:
  char* text_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* stream_;
};

}  // namespace friendly_test
