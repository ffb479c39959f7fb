// Every fixed path through its accessor: the NAS layout without a root, the same layout under a
// usable root, and roots that must be ignored.
#include "common/paths.h"
#include "../platform_testdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <unistd.h>

namespace {

struct Row {
    const char* name;
    std::function<std::string()> get;
    std::string nas;  // what it gives on the NAS
};

// The app folder is <local>/Kivora/quillmere and the shared temporary folder <local>/tmp, where
// <local> is two folders below "/". The layout is spelled here on its own, so a wrong constant
// or an accessor wired to the wrong one shows.
std::string Local_Prefix() {
    const std::string app = qlm::kAppDir, tail = "/Kivora/quillmere";
    if (app.size() <= tail.size() || app.compare(app.size() - tail.size(), tail.size(), tail) != 0) return "?";
    return app.substr(0, app.size() - tail.size());
}

std::vector<Row> Layout() {
    const std::string local = Local_Prefix();
    const std::string app = local + "/Kivora/quillmere";
    const std::string db = app + "/database/gws";
    const std::string mission = db + "/conf/mission";
    return {
        {"App_Dir", qlm::App_Dir, app},
        {"Bin_Dir", qlm::Bin_Dir, app + "/bin"},
        {"Cgi_Path", qlm::Cgi_Path, app + "/webman/orvenna.cgi"},
        {"Daemon_Path", qlm::Daemon_Path, app + "/bin/qlm_deamon"},
        {"Zoneinfo_Dir", qlm::Zoneinfo_Dir, app + "/etc/zoneinfo"},
        {"Db_Dir", qlm::Db_Dir, db},
        {"Conf_Dir", qlm::Conf_Dir, db + "/conf"},
        {"Mission_Dir", qlm::Mission_Dir, mission},
        {"History_Mission_Dir", qlm::History_Mission_Dir, mission + "/history_mission"},
        {"Scheduling_Mission_Dir", qlm::Scheduling_Mission_Dir, mission + "/scheduling_mission"},
        {"Progress_Mission_Dir", qlm::Progress_Mission_Dir, mission + "/progress_mission"},
        {"Backup_Dir", qlm::Backup_Dir, db + "/backup"},
        {"Db_Tmp_Dir", qlm::Db_Tmp_Dir, db + "/tmp"},
        {"Sa_Dir", qlm::Sa_Dir, db + "/sa"},
        {"Log_Db_Path", qlm::Log_Db_Path, db + "/quillmere_log_datebase.db"},
        {"Sql_Lock_Path", qlm::Sql_Lock_Path, db + "/sqldb.lck"},
        {"Daemon_Lock_Path", qlm::Daemon_Lock_Path, db + "/qlm_deamon.lck"},
        {"Tmp_Dir", qlm::Tmp_Dir, local + "/tmp"},
        {"Gam_Dir", qlm::Gam_Dir, "/root/.gam"},
        {"Tool_Path(gam)", [] { return qlm::Tool_Path("gam"); }, app + "/bin/gam"},
        {"Backup_Service_Dir(drive)", [] { return qlm::Backup_Service_Dir("drive"); }, db + "/backup/drive"},
    };
}

TEST(Paths, WithoutRootEveryAccessorGivesTheNasPath) {
    const std::string local = Local_Prefix();
    ASSERT_EQ(local.front(), '/') << qlm::kAppDir;
    EXPECT_EQ(std::count(local.begin(), local.end(), '/'), 2) << local;
    unsetenv("QLM_ROOT");
    EXPECT_EQ(qlm::Root(), "");
    EXPECT_FALSE(qlm::Under_Test_Root());
    for (const Row& r : Layout()) EXPECT_EQ(r.get(), r.nas) << r.name;
}

TEST(Paths, UsableRootPrefixesEveryPathOnce) {
    plattest::TempDir t;
    for (const std::string& spelled : {t.path(), t.path() + "/", t.path() + "///"}) {
        plattest::ScopedEnv env("QLM_ROOT", spelled);
        EXPECT_EQ(qlm::Root(), t.path()) << spelled;
        EXPECT_TRUE(qlm::Under_Test_Root());
        for (const Row& r : Layout()) EXPECT_EQ(r.get(), t.path() + r.nas) << r.name << " root " << spelled;
    }
}

TEST(Paths, UnusableRootsAreIgnored) {
    plattest::TempDir t;
    plattest::Write_File(t / "file", "x");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string relative = std::filesystem::relative(t.path(), cwd).string();
    ASSERT_NE(relative.front(), '/');
    for (const std::string& root : {relative, std::string("."), t / "missing", t / "file", std::string("/"),
                                    std::string("//"), std::string("")}) {
        plattest::ScopedEnv env("QLM_ROOT", root);
        EXPECT_EQ(qlm::Root(), "") << "'" << root << "'";
        EXPECT_FALSE(qlm::Under_Test_Root()) << root;
        for (const Row& r : Layout()) EXPECT_EQ(r.get(), r.nas) << r.name << " root '" << root << "'";
    }
}

}  // namespace
