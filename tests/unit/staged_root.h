// A complete NAS staged under a private folder for tests that run services against the stand-in
// tools: the installed app, a simulated domain, a task with its stored key, this process's GAM
// folder for that domain, an activity log and a running mission record.
#pragma once

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform_testdir.h"
#include "appgenerallib/keystore.h"
#include "common/paths.h"
#include "log/log_db.h"
#include "orvenna_task.h"
#include "plat_json.h"
#include "plat_string.h"

namespace stagedtest {

inline std::string Run_Out(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

struct LogRow {
    std::string status, type, text;
};

class StagedRoot : public ::testing::Test {
protected:
    static constexpr const char* kAdmin = "admin@example.test";
    plattest::TempDir dir;
    std::string root = dir.path();
    std::unique_ptr<plattest::ScopedEnv> rootEnv, scaleEnv;
    std::string sim, task = smbbackup::Create_New_ID(), mission, auth;
    GWSTask t;
    sqlite3* db = nullptr;

    // gwssimArgs: the options of `gwssim init`.
    void Stage(const std::string& gwssimArgs) {
        const std::string cmd = "GWSSIM_INIT_ARGS='" + gwssimArgs + "' '" + QLM_SOURCE_DIR + "/scripts/stage-root' '" +
                                root + "' '" + QLM_BINARY_DIR + "' >/dev/null 2>&1";
        ASSERT_EQ(system(cmd.c_str()), 0) << "staging failed (is the build installed?)";
        rootEnv = std::make_unique<plattest::ScopedEnv>("QLM_ROOT", root);
        scaleEnv = std::make_unique<plattest::ScopedEnv>("QLM_SLEEP_SCALE", "0.001");
        sim = root + "/var/lib/gwssim";
        const std::string key = Run_Out(Gwssim() + " key " + sim + " --grant drive,gmail,calendar,contacts");
        auth = smbbackup::Create_New_ID();
        ASSERT_EQ(qlm::Store_Pending_Service_Account_Key(key.c_str(), auth.c_str()), 0);
        std::filesystem::create_directories(qlm::Sa_Dir());
        std::filesystem::rename(qlm::Pending_Key_Path(auth), qlm::Stored_Key_Path(auth));
        ASSERT_EQ(Initial_GAM_Conf(auth.c_str(), kAdmin), 0);  // a forked child makes its own again
        t.Set_Task_ID(task.c_str());
        t.Set_Admin_Email(kAdmin);
        t.Set_Auto_Add_User_Enable(1);
        t.Set_Auto_Add_Shared_Drive_Enable(1);
        std::filesystem::create_directories(qlm::Mission_Dir());
        mission = qlm::Mission_Dir() + "/" + smbbackup::Create_New_ID();
        plattest::Write_File(mission, R"({"backup_current": 0})");
        ASSERT_EQ(Sql_Open_Datebase(&db), 0);
        ASSERT_EQ(Sql_Log_Create_Table(db), 0);
    }
    void TearDown() override {
        if (db) sqlite3_close(db);
        std::error_code ec;
        std::filesystem::remove_all(qlm::Gam_Process_Dir(), ec);
        unsetenv("GAMCFGDIR");
    }

    std::string Gwssim() const { return root + "/usr/local/bin/gwssim"; }
    void Fault(const std::string& args) {
        ASSERT_EQ(system((Gwssim() + " fault " + sim + " add " + args + " >/dev/null").c_str()), 0) << args;
    }
    void Clear_Faults() { ASSERT_EQ(system((Gwssim() + " fault " + sim + " clear").c_str()), 0); }
    std::string User_File(const std::string& user, const std::string& name) const {
        return sim + "/users/" + user + "/" + name;
    }

    std::vector<LogRow> Rows() {
        std::vector<LogRow> out;
        RAIIful_Json list(Json_List_Init());
        Sql_Log_Get_All_Data(db, list.get(), "All", -1, -1, task.c_str());
        for (int i = 0; i < Json_List_Size(list.get()); ++i) {
            json_object* r = Json_List_Child(list.get(), i);
            const char *s = "", *ty = "", *tx = "";
            Json_Dict_Find_Str(r, "sql_status", s);
            Json_Dict_Find_Str(r, "sql_type", ty);
            Json_Dict_Find_Str(r, "sql_name", tx);
            out.push_back({s, ty, tx});
        }
        return out;
    }
    bool Has_Row(const std::string& status, const std::string& text) {
        for (const LogRow& r : Rows())
            if (r.status == status && r.text == text) return true;
        return false;
    }
    int64_t Record_Int(const char* key) {
        RAIIful_Json rec(Json_From_File(mission.c_str()));
        int64_t v = -1;
        Json_Dict_Find_Int64(rec.get(), key, v);
        return v;
    }
};

}  // namespace stagedtest
