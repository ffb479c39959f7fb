// Call log and fault injection around a tool's body.
#include <gwssim/toolrun.h>

#include <gwssim/state.h>

#include "faults.h"
#include <gwssim/json_util.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kConnLine[] = "ERROR: Connection error: simulated loss of the connection to Google\n";
// A name lookup or HTTP call that failed through all of GAM's own retries names the host GAM
// reached for first.
const char kUnreachablePrefix[] = "ERROR: Unable to find the server at ";
const char kFailLine[] = "ERROR: 500: backendError\n";
// GAM's status for a lost connection.
const int kConnExit = 3;
// GAM's status for a network it cannot reach at all.
const int kUnreachableExit = 5;
// Neither JSON nor a CSV with any column a caller reads.
const char kGarbage[] = "<html><body>502 Bad Gateway \x01\x02 \"unterminated\n<<<>>> ;;; }{\n";

struct Fd {
    int fd;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { if (fd >= 0) close(fd); }
};

void Write_Fd(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) continue;
            return;
        }
        p += w;
        n -= (size_t)w;
    }
}

void Say(const char* line) { Write_Fd(2, line, strlen(line)); }

std::string Start_Line(const char* tool, int argc, char** argv, int rule) {
    GwsJson o(json_object_new_object());
    Gwssim_Json_Put_Str(o.get(), "event", "start");
    Gwssim_Json_Put_Str(o.get(), "time", Gwssim_Now_Time());
    Gwssim_Json_Put_Str(o.get(), "tool", tool);
    Gwssim_Json_Put_Str(o.get(), "argv0", argc > 0 ? argv[0] : "");
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    Gwssim_Json_Put_Str_List(o.get(), "argv", args);
    Gwssim_Json_Put_Int(o.get(), "pid", getpid());
    Gwssim_Json_Put_Int(o.get(), "pgid", getpgrp());
    Gwssim_Json_Put_Int(o.get(), "ppid", getppid());
    Gwssim_Json_Put_Int(o.get(), "rule", rule);
    return Gwssim_Json_Text(o.get());
}

std::string End_Line(int status) {
    GwsJson o(json_object_new_object());
    Gwssim_Json_Put_Str(o.get(), "event", "end");
    Gwssim_Json_Put_Str(o.get(), "time", Gwssim_Now_Time());
    Gwssim_Json_Put_Int(o.get(), "pid", getpid());
    Gwssim_Json_Put_Int(o.get(), "exit", status);
    // The tool's own CPU time, so a benchmark can tell the tools' share of a run from the caller's.
    struct rusage self {}, kids {};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &kids);
    const long long us = (self.ru_utime.tv_sec + self.ru_stime.tv_sec + kids.ru_utime.tv_sec + kids.ru_stime.tv_sec) *
                             1000000LL +
                         self.ru_utime.tv_usec + self.ru_stime.tv_usec + kids.ru_utime.tv_usec + kids.ru_stime.tv_usec;
    Gwssim_Json_Put_Int(o.get(), "cpu_us", us);
    return Gwssim_Json_Text(o.get());
}

// Logs the call and picks the rule that fires for it (index, or -1).
int Log_And_Pick(const std::string& root, const char* tool, int argc, char** argv, GwsFaultRule& fired) {
    int lfd = -1;
    if (Gwssim_Lock_Calls(root, lfd) != 0) return -1;
    Fd lock(lfd);
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) joined += ' ';
        joined += argv[i];
    }
    std::vector<GwsFaultRule> rules;
    int pick = -1;
    if (Gwssim_Load_Faults(root, rules) == 0 && !rules.empty()) {
        bool counted = false;
        for (size_t i = 0; i < rules.size(); ++i) {
            GwsFaultRule& r = rules[i];
            if (!Gwssim_Rule_Matches(r, tool, joined)) continue;
            ++r.seen;
            counted = true;
            bool in_window = r.seen > r.skip && (r.times == 0 || r.seen <= r.skip + r.times);
            if (in_window && pick < 0) {
                pick = (int)i;
                fired = r;
            }
        }
        if (counted) Gwssim_Save_Faults(root, rules);
    }
    Gwssim_Append_Call(root, Start_Line(tool, argc, argv, pick));
    return pick;
}

struct Snap {
    bool reg = false;
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec mtime = {0, 0};
    off_t size = 0;
};

Snap Snap_Of(const char* path) {
    Snap s;
    struct stat st;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
        s.reg = true;
        s.dev = st.st_dev;
        s.ino = st.st_ino;
        s.mtime = st.st_mtim;
        s.size = st.st_size;
    }
    return s;
}

bool Changed(const Snap& a, const Snap& b) {
    if (!b.reg) return false;
    if (!a.reg) return true;
    return a.dev != b.dev || a.ino != b.ino || a.size != b.size || a.mtime.tv_sec != b.mtime.tv_sec ||
           a.mtime.tv_nsec != b.mtime.tv_nsec;
}

// Runs body with its stdout held in memory; gives back what it printed and the argv items that
// name files it created or replaced.
int Run_Captured(int argc, char** argv, int (*body)(int, char**), std::string& out, std::vector<std::string>& written) {
    std::vector<Snap> before;
    for (int i = 1; i < argc; ++i) before.push_back(Snap_Of(argv[i]));
    fflush(stdout);
    Fd saved(dup(1));
    Fd cap(memfd_create("gwssim-stdout", MFD_CLOEXEC));
    if (saved.fd < 0 || cap.fd < 0 || dup2(cap.fd, 1) < 0) return body(argc, argv);
    int status = body(argc, argv);
    fflush(stdout);
    dup2(saved.fd, 1);
    off_t len = lseek(cap.fd, 0, SEEK_END);
    out.assign(len > 0 ? (size_t)len : 0, '\0');
    if (len > 0 && pread(cap.fd, out.data(), (size_t)len, 0) != len) out.clear();
    for (int i = 1; i < argc; ++i)
        if (Changed(before[(size_t)i - 1], Snap_Of(argv[i]))) written.emplace_back(argv[i]);
    return status;
}

// The host of the first API a call reaches for. GAM's `user ...` commands (Drive and Gmail
// included) first fetch the Directory API's description; its `calendar ...` and `calendars ...`
// commands go to the Calendar API. The other tools speak to Google's common front.
std::string Unreachable_Host(const char* tool, int argc, char** argv) {
    if (strcmp(tool, "gam") == 0 && argc > 1) {
        if (strcmp(argv[1], "user") == 0 || strcmp(argv[1], "users") == 0) return "admin.googleapis.com";
        if (strcmp(argv[1], "calendar") == 0 || strcmp(argv[1], "calendars") == 0)
            return "calendar-json.googleapis.com";
    }
    return "www.googleapis.com";
}

int Apply(const char* tool, const GwsFaultRule& r, int argc, char** argv, int (*body)(int, char**)) {
    const std::string& a = r.action;
    int ex = r.exit >= 0 ? (int)r.exit : 1;
    if (a == "fail") {
        Say(kFailLine);
        return ex;
    }
    if (a == "conn") {
        Say(kConnLine);
        return r.exit >= 0 ? (int)r.exit : kConnExit;
    }
    if (a == "unreachable") {
        Say((kUnreachablePrefix + Unreachable_Host(tool, argc, argv) + "\n").c_str());
        return r.exit >= 0 ? (int)r.exit : kUnreachableExit;
    }
    if (a == "empty") return 0;
    if (a == "delay") {
        struct timespec pause {static_cast<time_t>(r.ms / 1000), static_cast<long>(r.ms % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
        return body(argc, argv);
    }
    if (a == "hang" || a == "hang_noterm") {
        if (a == "hang_noterm") signal(SIGTERM, SIG_IGN);
        for (;;) pause();
    }
    std::string out;
    std::vector<std::string> written;
    int status = Run_Captured(argc, argv, body, out, written);
    if (a == "truncate") {
        Write_Fd(1, out.data(), out.size() / 2);
        for (const auto& f : written) {
            Snap s = Snap_Of(f.c_str());
            if (truncate(f.c_str(), s.size / 2) != 0) Say("ERROR: could not truncate an output file\n");
        }
        return status;
    }
    if (a == "garbage") {
        Write_Fd(1, kGarbage, sizeof kGarbage - 1);
        for (const auto& f : written) Gwssim_Write_File(f, kGarbage);
        return status;
    }
    // fail_after, conn_after: the work is done, the answer is lost.
    for (const auto& f : written) unlink(f.c_str());
    if (a == "conn_after") {
        Say(kConnLine);
        return r.exit >= 0 ? (int)r.exit : kConnExit;
    }
    Say(kFailLine);
    return ex;
}

bool Is_Dir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int Gwssim_Tool_Main(const char* tool, int argc, char** argv, int (*body)(int argc, char** argv)) {
    // A shell or a parent may hand down ignored or blocked signals; a kill must end the tool.
    for (int sig : {SIGTERM, SIGINT, SIGPIPE, SIGHUP}) signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);

    std::string root = Gwssim_Root();
    if (!Is_Dir(root)) return body(argc, argv);
    GwsFaultRule rule;
    int pick = Log_And_Pick(root, tool, argc, argv, rule);
    int status = pick >= 0 ? Apply(tool, rule, argc, argv, body) : body(argc, argv);
    fflush(stdout);
    int lfd = -1;
    if (Gwssim_Lock_Calls(root, lfd) == 0) {
        Fd lock(lfd);
        Gwssim_Append_Call(root, End_Line(status));
    }
    return status;
}
