#include "common/procinfo.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <iterator>

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

bool Process_Is_Gone(pid_t pid) {
    if (pid <= 0) return false;
    if (kill(pid, 0) != 0) return errno == ESRCH;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The state follows the command name, which may hold blanks and ')'.
    const std::string::size_type close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return !in.is_open();
    const char state = text[close + 2];
    return state == 'Z' || state == 'X';
}

}  // namespace qlm
