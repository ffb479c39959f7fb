// The export frame: names made inside an export folder never go through a link and never meet
// another writer's file; copies are whole or absent; the worker files its end as "finish" or
// "error" and leaves no marker and no progress record; log rows arrive in batches, in order.
#include "export/export_frame.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "../catalog_testutil.h"
#include "common/atomicfile.h"
#include "common/paths.h"
#include "plat_json.h"
#include "plat_file.h"
#include "plat_string.h"
#include "progress_shm.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Write(const std::string& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

struct Folder : ::testing::Test {
    cattest::Root root;
    std::string dir = root.dir.path() + "/export";
    std::string outside = root.dir.path() + "/outside";
    FdGuard fd;
    void SetUp() override {
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
        fd.Reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_GE(fd.fd, 0);
    }
    std::set<std::string> Names() const {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
        return out;
    }
};

TEST(ExportNames, SplitAndNumberedNames) {
    struct Case {
        const char* name;
        const char* stem;
        const char* ext;
    } cases[] = {{"a.txt", "a", ".txt"}, {"a.b.eml", "a.b", ".eml"}, {"noext", "noext", ""},
                 {".hidden", ".hidden", ""}, {"trail.", "trail", "."}};
    for (const Case& c : cases) {
        std::string stem, ext;
        qlm::Export_Split_Name(c.name, stem, ext);
        EXPECT_EQ(stem, c.stem) << c.name;
        EXPECT_EQ(ext, c.ext) << c.name;
    }
    std::set<std::string> taken{"Report.eml", "Report(1).eml", "Report(3).eml"};
    auto isTaken = [&](const std::string& n) { return taken.count(n) > 0; };
    EXPECT_EQ(qlm::Export_Free_Name("Report", ".eml", isTaken), "Report(2).eml");
    EXPECT_EQ(qlm::Export_Free_Name("Other", ".eml", isTaken), "Other.eml");
    EXPECT_EQ(qlm::Export_Free_Name("x", "", [](const std::string&) { return true; }), "");
}

TEST_F(Folder, CreationIsExclusiveAndNeverThroughALink) {
    const std::string victim = outside + "/victim";
    Write(victim, "keep");
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/a.csv").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/dangling").c_str(), (dir + "/a(1).csv").c_str()), 0);
    ASSERT_EQ(mkdir((dir + "/a(2).csv").c_str(), 0700), 0);
    EXPECT_TRUE(qlm::Export_Name_Taken(fd.fd, "a(1).csv"));  // a dangling link counts
    EXPECT_FALSE(qlm::Export_Name_Taken(fd.fd, "a(3).csv"));
    std::string made;
    FdGuard out(qlm::Export_Create_File(fd.fd, "a", ".csv", 0600, made));
    ASSERT_GE(out.fd, 0);
    EXPECT_EQ(made, "a(3).csv");
    EXPECT_EQ(write(out.fd, "new", 3), 3);
    FdGuard second(qlm::Export_Create_File(fd.fd, "a", ".csv", 0600, made));
    EXPECT_EQ(made, "a(4).csv");
    EXPECT_EQ(Read(victim), "keep");
    EXPECT_FALSE(fs::exists(outside + "/dangling"));
    EXPECT_EQ(Read(dir + "/a(3).csv"), "new");
    // Names that are no single component are never made.
    for (const char* bad : {"..", "a/b", ""}) {
        FdGuard none(qlm::Export_Create_File(fd.fd, bad, "", 0600, made));
        EXPECT_LT(none.fd, 0) << bad;
        EXPECT_EQ(made, "");
    }
}

TEST_F(Folder, CopiesOnlyRegularFilesAndLeavesNothingHalfMade) {
    const std::string src = outside + "/mail";
    std::string data(3 << 20, 'x');  // more than one kernel copy step
    data += "end";
    Write(src, data);
    std::string made;
    ASSERT_EQ(qlm::Export_Copy_File(src, fd.fd, "Report", ".eml", made), 0);
    EXPECT_EQ(made, "Report.eml");
    ASSERT_EQ(qlm::Export_Copy_File(src, fd.fd, "Report", ".eml", made), 0);
    EXPECT_EQ(made, "Report(1).eml");
    EXPECT_EQ(Read(dir + "/Report(1).eml"), data);
    // A copy is a file of its own: a change to it never reaches the source.
    struct stat a, b;
    ASSERT_EQ(stat(src.c_str(), &a), 0);
    ASSERT_EQ(stat((dir + "/Report.eml").c_str(), &b), 0);
    EXPECT_NE(a.st_ino, b.st_ino);

    const std::string link = outside + "/link";
    ASSERT_EQ(symlink(src.c_str(), link.c_str()), 0);
    EXPECT_EQ(qlm::Export_Copy_File(link, fd.fd, "L", "", made), -1);
    EXPECT_EQ(qlm::Export_Copy_File(outside, fd.fd, "D", "", made), -1);
    EXPECT_EQ(qlm::Export_Copy_File(outside + "/missing", fd.fd, "M", "", made), -1);
    EXPECT_EQ(made, "");
    EXPECT_EQ(Names(), (std::set<std::string>{"Report.eml", "Report(1).eml"}));
}

TEST_F(Folder, SubfoldersAreRealFoldersOnly) {
    ASSERT_EQ(symlink(outside.c_str(), (dir + "/link").c_str()), 0);
    EXPECT_LT(FdGuard(qlm::Export_Open_Subfolder(fd.fd, "link")).fd, 0);
    Write(dir + "/file", "x");
    EXPECT_LT(FdGuard(qlm::Export_Open_Subfolder(fd.fd, "file")).fd, 0);
    EXPECT_LT(FdGuard(qlm::Export_Open_Subfolder(fd.fd, "..")).fd, 0);
    EXPECT_LT(FdGuard(qlm::Export_Open_Subfolder(fd.fd, "a/b")).fd, 0);
    FdGuard made(qlm::Export_Open_Subfolder(fd.fd, "new"));
    ASSERT_GE(made.fd, 0);
    struct stat st;
    ASSERT_EQ(lstat((dir + "/new").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_GE(FdGuard(qlm::Export_Open_Subfolder(fd.fd, "new")).fd, 0);  // taken as it is
    EXPECT_TRUE(fs::is_empty(outside));
}

// The worker frame run in a child of the test, as the export's fork runs it.
struct Worker : Folder {
    // Runs the frame in a child; the history records filed, in no particular order.
    std::vector<std::string> Run(qlm::Export_Run& run, const qlm::Export_Member& member) {
        run.strTaskId = "11111111-2222-3333-4444-555555555555";
        run.strMissionId = smbbackup::Create_New_ID();
        run.strUser = "admin";
        run.strDomain = "bob@example.test";
        run.pszService = "gmail";
        fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) _exit(qlm::Export_Worker(run, member));
        int status = -1;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_FALSE(fs::exists(qlm::Progress_Mission_Dir() + "/" + run.strMissionId));
        EXPECT_FALSE(fs::exists("/dev/shm/" + run.strMissionId));
        std::vector<std::string> statuses;
        for (const auto& e : fs::directory_iterator(qlm::History_Mission_Dir())) {
            RAIIful_Json record(qlm::Json_Read_Object_File(e.path().string()));
            const char* s = nullptr;
            Json_Dict_Find_Str(record.get(), "backup_status", s);
            statuses.push_back(s ? s : "");
            fs::remove(e.path());
        }
        return statuses;
    }
};

TEST_F(Worker, FilesFinishOrErrorAsTheMemberFares) {
    struct Case {
        const char* name;
        int listRc, itemRc, finishRc;
        size_t wantItems;
        const char* status;
    } cases[] = {
        {"all well", 0, 0, 0, 4, "finish"},
        {"nothing selected", 0, 0, 0, 0, "finish"},
        {"list fails", -1, 0, 0, 0, "error"},
        {"an item fails, the rest go on", 0, 1, 0, 4, "error"},
        {"the share is full", 0, -1, 0, 1, "error"},
        {"finish fails", 0, 0, -1, 4, "error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // What the child did, told through a file (the child's memory is its own).
        const std::string trace = outside + "/trace";
        fs::remove(trace);
        qlm::Export_Run run;
        run.dirFd.Reset(dup(fd.fd));
        qlm::Export_Member m;
        const size_t total = strcmp(c.name, "nothing selected") == 0 ? 0 : 4;
        m.list = [&](qlm::Export_Ctx& ctx, size_t& n) {
            EXPECT_TRUE(fs::exists(qlm::Progress_Mission_Dir() + "/" + ctx.pRun->strMissionId));
            n = total;
            return c.listRc;
        };
        m.item = [&](qlm::Export_Ctx&, size_t i) {
            std::ofstream(trace, std::ios::app) << i;
            return i == 0 ? c.itemRc : 0;
        };
        m.finish = [&](qlm::Export_Ctx&) { return c.finishRc; };
        EXPECT_EQ(Run(run, m), std::vector<std::string>{c.status});
        EXPECT_EQ(Read(trace).size(), c.wantItems);
    }
}

TEST_F(Worker, LogRowsArriveInOrderInBatches) {
    qlm::Export_Run run;
    qlm::Export_Member m;
    m.bLogs = true;
    m.list = [](qlm::Export_Ctx&, size_t& n) {
        n = 1203;
        return 0;
    };
    m.item = [](qlm::Export_Ctx& ctx, size_t i) {
        qlm::Export_Log(ctx, "bob@example.test",
                        qlm::Exported_To_Nas_Message("Drive", "f" + std::to_string(i), "bob@example.test", "/Public"));
        return 0;
    };
    EXPECT_EQ(Run(run, m), std::vector<std::string>{"finish"});
    const std::string out = cattest::Sqlite_Cli(qlm::Log_Db_Path(),
                                                "SELECT count(*), min(sql_name), max(ID) - min(ID) + 1 FROM "
                                                "quillmere_sql_database WHERE user = 'admin' AND task_id = "
                                                "'11111111-2222-3333-4444-555555555555';");
    EXPECT_EQ(out, "1203|Exported Drive file \"f0\" of account bob@example.test to NAS path: /Public.|1203\n");
    const std::string order = cattest::Sqlite_Cli(
        qlm::Log_Db_Path(), "SELECT sql_name FROM quillmere_sql_database ORDER BY ID LIMIT 1 OFFSET 1202;");
    EXPECT_EQ(order, "Exported Drive file \"f1202\" of account bob@example.test to NAS path: /Public.\n");
}

TEST_F(Worker, SigtermEndsTheWorkerAndLeavesTheHistoryToTheAbort) {
    const std::string fifo = outside + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    qlm::Export_Run run;
    run.dirFd.Reset(dup(fd.fd));
    run.strMissionId = smbbackup::Create_New_ID();
    run.strTaskId = "11111111-2222-3333-4444-555555555555";
    run.pszService = "gmail";
    const std::string scratch = outside + "/scratch";
    qlm::Export_Member m;
    m.list = [&](qlm::Export_Ctx&, size_t& n) {
        Write(scratch, "tool output");
        qlm::Export_Scratch_File(scratch);
        n = 2;
        return 0;
    };
    const std::string src = outside + "/mail";
    Write(src, "whole mail");
    m.item = [&](qlm::Export_Ctx& ctx, size_t i) {
        std::string made;
        qlm::Export_Copy_File(src, ctx.pRun->dirFd.fd, "done", "", made);
        if (i == 1) {
            std::ofstream(outside + "/ready") << "1";
            open(fifo.c_str(), O_RDONLY);  // blocks, as a long tool run would: no writer comes
        }
        return 0;
    };
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(qlm::Export_Worker(run, m));
    const std::string marker = qlm::Progress_Mission_Dir() + "/" + run.strMissionId;
    for (int i = 0; i < 1000 && !fs::exists(outside + "/ready"); ++i) usleep(10000);
    ASSERT_TRUE(fs::exists(marker));
    {
        SharedProgress shm(("/" + run.strMissionId).c_str(), false);
        ASSERT_TRUE(shm.Is_Open());
        EXPECT_EQ(shm.GetProgress(), 1);
        EXPECT_EQ(shm.GetTotal(), 2);
        EXPECT_EQ(shm.GetMode(), "export");
    }
    kill(pid, SIGTERM);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_FALSE(fs::exists("/dev/shm/" + run.strMissionId));
    EXPECT_FALSE(fs::exists(scratch));
    EXPECT_TRUE(!fs::exists(qlm::History_Mission_Dir()) || fs::is_empty(qlm::History_Mission_Dir()));
    EXPECT_EQ(Names(), (std::set<std::string>{"done", "done(1)"}));
    EXPECT_EQ(Read(dir + "/done(1)"), "whole mail");
}

TEST_F(Worker, ADeadWorkersExportIsFiledOnceAsError) {
    const std::string id = smbbackup::Create_New_ID();
    smbbackup::Create_Path(qlm::Progress_Mission_Dir().c_str(), 0700);
    const std::string marker = qlm::Progress_Mission_Dir() + "/" + id;
    {
        SharedProgress shm(("/" + id).c_str(), true);
        shm.SetService("contact");
        shm.SetDomain("bob@example.test");
        shm.SetMissionName("Task20240101-1");
        shm.SetStartTime(1000);
        shm.Cleanup(false);
    }
    // A live worker of ours (a child running this very program, started before its marker) is
    // left alone.
    const pid_t live = fork();
    if (live == 0) {
        pause();
        _exit(0);
    }
    ASSERT_EQ(qlm::Write_File_Atomic(marker, std::to_string(live)), 0);
    EXPECT_FALSE(qlm::Export_Reap_If_Dead(id));
    EXPECT_TRUE(fs::exists(marker));
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);
    // A pid that names no process.
    ASSERT_EQ(qlm::Write_File_Atomic(marker, "4194304"), 0);
    EXPECT_TRUE(qlm::Export_Reap_If_Dead(id));
    EXPECT_FALSE(qlm::Export_Reap_If_Dead(id));
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_FALSE(fs::exists("/dev/shm/" + id));
    std::vector<std::string> records;
    for (const auto& e : fs::directory_iterator(qlm::History_Mission_Dir())) records.push_back(Read(e.path()));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].find("\"backup_status\":\"error\""), std::string::npos) << records[0];
    EXPECT_NE(records[0].find("\"service\":[\"contact\"]"), std::string::npos) << records[0];
    EXPECT_FALSE(qlm::Export_Reap_If_Dead("../../etc"));
}

}  // namespace
