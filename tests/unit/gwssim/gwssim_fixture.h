// Fixtures of the simulated-domain tests: a fresh domain folder per test, and running the built
// programs in it as separate processes.
#pragma once

#include <gtest/gtest.h>

#include <gwssim/json_util.h>
#include <gwssim/state.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace gwstest {

struct Result {
    int status = -1;      // exit status, or -1 when killed by a signal
    int signal = 0;       // the signal that ended it
    std::string out;
    std::string err;
};

inline std::string Read(const std::string& path) {
    std::string s;
    Gwssim_Read_File(path, s);
    return s;
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Starts argv with GWSSIM_ROOT=root, stdin from /dev/null, stdout and stderr into the two files.
inline pid_t Start(const std::string& root, const std::vector<std::string>& argv, const std::string& out_path,
                   const std::string& err_path) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    setenv("GWSSIM_ROOT", root.c_str(), 1);
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

inline Result Finish(pid_t pid, const std::string& out_path, const std::string& err_path) {
    Result r;
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
    r.out = Read(out_path);
    r.err = Read(err_path);
    return r;
}

class DomainTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "gwssim_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        root = dir + "/sim";
        if (WithDomain()) {
            Result r = Run({GWSSIM_CLI, "init", root});
            ASSERT_EQ(r.status, 0) << r.err;
        }
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // Whether the test starts with the default demo domain in root.
    virtual bool WithDomain() const { return true; }

    std::string Out_Path() { return dir + "/out." + std::to_string(runs); }
    std::string Err_Path() { return dir + "/err." + std::to_string(runs); }

    Result Run(const std::vector<std::string>& argv) {
        ++runs;
        pid_t pid = Start(root, argv, Out_Path(), Err_Path());
        return Finish(pid, Out_Path(), Err_Path());
    }

    // Registers a key and gives the path of its key file.
    std::string Key(const std::string& grants, std::vector<std::string> extra = {}) {
        std::string path = dir + "/key" + std::to_string(++keys) + ".json";
        std::vector<std::string> argv = {GWSSIM_CLI, "key", root, "--grant", grants, "--out", path};
        argv.insert(argv.end(), extra.begin(), extra.end());
        Result r = Run(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        return path;
    }

    void Fault(std::vector<std::string> args) {
        std::vector<std::string> argv = {GWSSIM_CLI, "fault", root, "add"};
        argv.insert(argv.end(), args.begin(), args.end());
        Result r = Run(argv);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // The call log as parsed lines of `gwssim calls`.
    std::vector<GwsJson> Calls() {
        Result r = Run({GWSSIM_CLI, "calls", root});
        std::vector<GwsJson> v;
        size_t pos = 0;
        while (pos < r.out.size()) {
            size_t nl = r.out.find('\n', pos);
            if (nl == std::string::npos) nl = r.out.size();
            v.push_back(Gwssim_Json_Parse(r.out.substr(pos, nl - pos)));
            pos = nl + 1;
        }
        return v;
    }

    std::string dir, root;
    int runs = 0, keys = 0;
};

}  // namespace gwstest
