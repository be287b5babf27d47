#pragma once

#include <functional>
#include <string>

// The control groups the process runs in, as proc/self/cgroup names them, and the folders that hold their
// settings under sys/fs/cgroup, in either of the two layouts: the unified one (cgroup v2), mounted alone at
// sys/fs/cgroup or beside the older one at sys/fs/cgroup/unified, and the older one, a hierarchy for each
// controller (or set of controllers) mounted at sys/fs/cgroup/<their names>.

// The whole of a small file, or "" when it cannot be read.
std::string readSmallFile(const std::string& path);

enum class GroupLayout { Unified, Legacy };

// Calls visit(layout, folder) for each folder from the process's group up to the root of its hierarchy: in
// the unified hierarchy, and in the older layout's hierarchy that holds `controller` ("memory", "cpu").
// `base` is "" for the system itself, or a test's folder laid out as / is. In a container the process's own
// group is usually the root of what is mounted there and the path it is named by does not exist: the walk
// then starts at the mount.
void forEachGroupFolder(const std::string& base, const char* controller,
                        const std::function<void(GroupLayout, const std::string&)>& visit);
