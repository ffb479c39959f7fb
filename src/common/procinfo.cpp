#include "common/procinfo.h"

#include <unistd.h>

#include <climits>

namespace qlm {

std::string Process_Program(pid_t pid) {
    char buf[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    std::string exe(buf, static_cast<size_t>(n));
    const std::string replaced = " (deleted)";
    if (exe.size() > replaced.size() && exe.compare(exe.size() - replaced.size(), replaced.size(), replaced) == 0)
        exe.resize(exe.size() - replaced.size());
    return exe;
}

}  // namespace qlm
