// The programs' names, exit statuses and messages: one line on standard error, write errors.
#pragma once

#include <cstdio>
#include <string>

namespace friendly {

// The two programs of this front end: the search on one machine, and over MPI ranks.
inline constexpr const char* kProgramName = "friendlyNumbers";
inline constexpr const char* kMpiProgramName = "friendlyNumbers_mpi";

// Exit statuses besides 0: a run that failed, and a bad command line or environment setting.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Flushes stream. Returns an empty string when this flush and every earlier write to stream
// succeeded, otherwise the one-line reason "cannot write " + name, with the error of the flush
// when the flush itself failed.
std::string write_error(std::FILE* stream, const char* name);

// Writes "program: message" as one line on standard error.
void complain(const char* program, const std::string& message);

// Flushes standard output; on any write error of the run, complains of it and returns false.
bool finish_output(const char* program);

}  // namespace friendly
