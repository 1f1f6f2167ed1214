// Limits of this machine and this process that a search must fit before it starts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace friendly {

// The directories whose files limit this process for a control-group controller ("memory",
// "pids"): for the process's group in the unified hierarchy and in the hierarchy of that
// controller, the group's directory and then each parent's up to the hierarchy's mount point.
// cgroups is the text of /proc/self/cgroup, mounts that of /proc/self/mountinfo.
std::vector<std::string> cgroup_directories(std::string_view controller, const std::string& cgroups,
                                            const std::string& mounts);

// The most bytes that the search's arrays may take: the least of this machine's physical memory,
// the memory limit of the process's control group, and its address-space and data-segment
// limits. what names the least one. Returns 0 when none is known.
// sharing processes of this machine (each with the same limits of its own) take the same size:
// the machine's memory and the control group's limit are shared out among them.
std::int64_t memory_limit(std::string& what, int sharing = 1);

// Threads of the team that the next parallel region starts: the runtime's team size within its
// thread limit, and within the processors when the runtime may shrink teams (OMP_DYNAMIC).
std::int64_t team_size();

// The most threads, this one included, of a team that this process can start now from its main
// thread: the least that the system's thread and process-id limits, the control group's task
// limit, the user's process limit, the memory-map limit and this thread's stack (which GNU
// libgomp's team start uses) allow, and the address-space limit, which the threads' stacks
// share with what is mapped and with the reserve bytes still to be allocated. what names the
// least. The user's tasks are counted only where a team of team threads could exceed the
// process limit. INT64_MAX when none is known.
std::int64_t team_limit(std::int64_t team, std::int64_t reserve, std::string& what);

}  // namespace friendly
