// Standard input and output for tests of code that reads a request body or writes a response:
// in-process redirection onto files, or a forked child for process-wide state.
#pragma once

#include "platform_testdir.h"

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace plattest {

// Points descriptor target at a file for one scope, then puts the old one back.
class Redirect_Fd {
public:
    Redirect_Fd(int target, const std::string& path, int flags) : target_(target) {
        fflush(stdout);
        int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
        if (fd < 0) throw std::runtime_error("cannot open " + path);
        saved_ = dup(target);
        dup2(fd, target);
        close(fd);
    }
    ~Redirect_Fd() {
        fflush(stdout);
        dup2(saved_, target_);
        close(saved_);
    }
    Redirect_Fd(const Redirect_Fd&) = delete;
    Redirect_Fd& operator=(const Redirect_Fd&) = delete;

private:
    int target_;
    int saved_;
};

// Runs fn with standard input read from a file holding input and standard output captured;
// returns what fn wrote. Standard input is left where fn stopped reading it.
inline std::string Capture_Stdout(const TempDir& dir, const std::string& input, const std::function<void()>& fn) {
    static int serial = 0;
    std::string in = dir / ("stdin." + std::to_string(++serial));
    std::string out = dir / ("stdout." + std::to_string(serial));
    Write_File(in, input);
    {
        Redirect_Fd rin(STDIN_FILENO, in, O_RDONLY);
        Redirect_Fd rout(STDOUT_FILENO, out, O_WRONLY | O_CREAT | O_TRUNC);
        fn();
    }
    return Read_File(out);
}

struct Child_Result {
    int exitCode = -1;  // -1 when the child did not exit normally
    std::string out;
};

// Runs fn in a forked child with the environment variables env set, standard input read from
// input and standard output captured. The child's exit code is fn's result.
inline Child_Result Run_Child(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& env,
                              const std::string& input, const std::function<int()>& fn) {
    static int serial = 0;
    std::string in = dir / ("child_in." + std::to_string(++serial));
    std::string out = dir / ("child_out." + std::to_string(serial));
    Write_File(in, input);
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int i = open(in.c_str(), O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0) _exit(120);
        dup2(i, STDIN_FILENO);
        dup2(o, STDOUT_FILENO);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        int rc = fn();
        fflush(stdout);
        _exit(rc & 0xff);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Child_Result r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = Read_File(out);
    return r;
}

}  // namespace plattest
