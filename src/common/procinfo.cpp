#include "common/procinfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

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

bool Read_Small_File(const std::string& path, std::string& out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

int Read_Proc_Stat(pid_t pid, Proc_Stat& out) {
    std::string text;
    if (pid <= 0 || !Read_Small_File("/proc/" + std::to_string(pid) + "/stat", text)) return -2;
    // The command name may hold blanks and ')': the fields after it start after the last ')'.
    size_t close = text.rfind(')');
    if (close == std::string::npos) return -2;
    Proc_Stat st;
    int ppid = 0, pgrp = 0;
    char state = 0;
    if (sscanf(text.c_str(), "%d", &st.pid) != 1 || sscanf(text.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) != 3)
        return -2;
    st.cState = state;
    st.ppid = ppid;
    st.pgrp = pgrp;
    out = st;
    return 0;
}

bool Is_Own_Worker(pid_t pid) {
    if (pid <= 1 || pid == getpid()) return false;
    Proc_Stat st;
    if (Read_Proc_Stat(pid, st) != 0 || st.cState == 'Z') return false;
    const std::string self = Process_Program(getpid());
    return !self.empty() && Process_Program(pid) == self;
}

}  // namespace qlm
