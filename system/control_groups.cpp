#include "system/control_groups.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// Whether a comma-separated list of controllers ("cpu,cpuacct") names `controller`.
bool listsController(const std::string& controllers, const char* controller) {
    std::istringstream names(controllers);
    std::string name;
    while (std::getline(names, name, ','))
        if (name == controller)
            return true;
    return false;
}

void walkUp(const std::string& mount, const std::string& groupPath, GroupLayout layout,
            const std::function<void(GroupLayout, const std::string&)>& visit) {
    if (!exists(mount))
        return;
    std::string dir = mount + groupPath;
    while (dir.size() > mount.size() && dir.back() == '/')
        dir.pop_back();
    if (!exists(dir))
        dir = mount;
    for (;;) {
        visit(layout, dir);
        if (dir.size() <= mount.size())
            return;
        dir.erase(dir.find_last_of('/'));
    }
}

} // namespace

std::string readSmallFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void forEachGroupFolder(const std::string& base, const char* controller,
                        const std::function<void(GroupLayout, const std::string&)>& visit) {
    // Lines of proc/self/cgroup: "id:controllers:path". The unified hierarchy has id 0 and no controllers.
    std::istringstream lines(readSmallFile(base + "/proc/self/cgroup"));
    const std::string groups = base + "/sys/fs/cgroup";
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (controllers.empty()) {
            const bool alone = exists(groups + "/cgroup.controllers");
            walkUp(alone ? groups : groups + "/unified", path, GroupLayout::Unified, visit);
        } else if (listsController(controllers, controller)) {
            // Mounted under the controllers' joint name ("cpu,cpuacct"), or under the one asked for.
            const std::string joint = groups + "/" + controllers;
            walkUp(exists(joint) ? joint : groups + "/" + controller, path, GroupLayout::Legacy, visit);
        }
    }
}
