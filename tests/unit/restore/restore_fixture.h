// What the restore tests share: a test root with a running mission record, and a gam in the
// app's bin folder that logs the arguments it was given.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "common/atomicfile.h"
#include "common/paths.h"
#include "mission/mission_record.h"
#include "plat_file.h"
#include "plat_json.h"
#include "restore/restore_cmd.h"

namespace restoretest {

inline std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Rooted : ::testing::Test {
    plattest::TempDir dir;
    plattest::ScopedEnv root{"QLM_ROOT", dir.path()};
    plattest::ScopedEnv scale{"QLM_SLEEP_SCALE", "0"};
    std::string mission;
    void SetUp() override {
        smbbackup::Create_Path(qlm::Mission_Dir().c_str(), 0700);
        mission = qlm::Mission_Dir() + "/m1";
    }
    void Write_Record(const char* json) { plattest::Write_File(mission, json); }
    int64_t Record_Int(const char* key) {
        RAIIful_Json r(qlm::Json_Read_Object_File(mission));
        return qlm::Mission_Int(r.get(), key);
    }
};

// A gam in the app's bin folder that logs its arguments one per line (a blank line after each
// call) and then runs the test's script body.
struct FakeGam : Rooted {
    std::string log;
    void Install(const std::string& body) {
        smbbackup::Create_Path(qlm::Bin_Dir().c_str(), 0755);
        smbbackup::Create_Path(qlm::Tmp_Dir().c_str(), 0700);
        log = dir.path() + "/gam.log";
        const std::string script = "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >>'" + log +
                                   "'; done\necho >>'" + log + "'\n" + body + "\n";
        plattest::Write_File(qlm::Tool_Path("gam"), script);
        chmod(qlm::Tool_Path("gam").c_str(), 0755);
        g_bGwsRestoreConnAbort = false;
    }
    std::vector<std::vector<std::string>> Calls() {
        std::vector<std::vector<std::string>> calls(1);
        std::istringstream in(Read(log));
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty()) calls.emplace_back();
            else calls.back().push_back(line);
        }
        calls.pop_back();
        return calls;
    }
};

}  // namespace restoretest
