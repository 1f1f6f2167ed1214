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
std::int64_t memory_limit(std::string& what);

}  // namespace friendly
