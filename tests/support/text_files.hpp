// Reading what a child process wrote: whole files and their lines.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace friendly_test {

// The whole contents of the file at path (empty when it cannot be read).
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The lines of text, without their newlines.
inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

}  // namespace friendly_test
