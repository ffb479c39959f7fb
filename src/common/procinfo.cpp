#include "common/procinfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "common/filehelpers.h"

namespace qlm {

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
    Proc_Stat st;
    if (Read_Proc_Stat(pid, st) != 0) return true;
    return st.cState == 'Z' || st.cState == 'X';
}

void Remove_Files_Of_Gone_Processes(const std::string& dir, const std::function<pid_t(const std::string&)>& owner,
                                    const std::function<void(const std::string&)>& remove) {
    std::vector<std::string> names;
    GetFolderList(names, dir.c_str());
    for (const std::string& name : names) {
        const pid_t pid = owner(name);
        if (pid <= 0 || pid == getpid() || !Process_Is_Gone(pid)) continue;
        if (remove)
            remove(dir + "/" + name);
        else
            unlink((dir + "/" + name).c_str());
    }
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
    unsigned long long start = 0;
    // state ppid pgrp, then session .. itrealvalue (16 fields), then starttime.
    if (sscanf(text.c_str(), "%d", &st.pid) != 1 ||
        sscanf(text.c_str() + close + 1, " %c %d %d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
               &state, &ppid, &pgrp, &start) != 4)
        return -2;
    st.cState = state;
    st.ppid = ppid;
    st.pgrp = pgrp;
    st.ullStartTicks = start;
    out = st;
    return 0;
}

int Process_Age(pid_t pid, double& dSeconds) {
    Proc_Stat st;
    if (Read_Proc_Stat(pid, st) != 0) return -2;
    // The start is counted on the boot clock, which goes on through a suspend and never jumps.
    struct timespec up {};
    const long hz = sysconf(_SC_CLK_TCK);
    if (clock_gettime(CLOCK_BOOTTIME, &up) != 0 || hz <= 0) return -2;
    const double age = static_cast<double>(up.tv_sec) + up.tv_nsec / 1e9 - static_cast<double>(st.ullStartTicks) / hz;
    dSeconds = age > 0 ? age : 0;
    return 0;
}

bool Process_Started_By(pid_t pid, time_t tStart, time_t tNow) {
    double age = 0;
    if (Process_Age(pid, age) != 0) return false;
    return static_cast<double>(tNow) - age <= static_cast<double>(tStart) + kWorkerStartSlackSec;
}

bool Is_Own_Worker(pid_t pid) {
    if (pid <= 1 || pid == getpid()) return false;
    Proc_Stat st;
    if (Read_Proc_Stat(pid, st) != 0 || st.cState == 'Z') return false;
    const std::string self = Process_Program(getpid());
    return !self.empty() && Process_Program(pid) == self;
}

bool Marker_Worker_Runs(const std::string& strMarkerPath, pid_t& pid) {
    pid = 0;
    std::string text;
    struct stat st {};
    if (stat(strMarkerPath.c_str(), &st) != 0 || !Read_Small_File(strMarkerPath, text)) return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long n = strtol(begin, &end, 10);
    if (end == begin || !isdigit(static_cast<unsigned char>(*begin)) || errno != 0 || n > INT_MAX) return false;
    while (isspace(static_cast<unsigned char>(*end))) ++end;
    if (*end != '\0' || end != begin + text.size()) return false;  // also refuses a NUL inside
    pid = static_cast<pid_t>(n);
    return Is_Own_Worker(pid) && Process_Started_By(pid, st.st_mtime, time(nullptr));
}

}  // namespace qlm
