// Drive and Shared Drive backups against the stand-in tools and a simulated domain, under a
// freshly staged test root per test.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "appgenerallib/keystore.h"
#include "backup/drive_backup.h"
#include "backup/drive_backup_common.h"
#include "backup/shared_drive_backup.h"
#include "common/listing_check.h"
#include "common/paths.h"
#include "dbcontrol/drive_db.h"
#include "dbcontrol/shared_drive_db.h"
#include "log/log_db.h"
#include "orvenna_task.h"
#include "plat_json.h"
#include "plat_lock.h"
#include "plat_string.h"

namespace fs = std::filesystem;
using plattest::Read_File;
using plattest::Write_File;

namespace {

constexpr const char* kAdmin = "admin@example.test";
constexpr const char* kAlice = "alice@example.test";

std::string Run_Out(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

std::string Md5_Hex(const std::string& path) { return qlm::drivebk::File_MD5(path); }

struct LogRow {
    std::string status, type, text;
};

// A hand-picked list as the task stores it, and the accounts or drives it selects.
struct PickCase {
    const char* name;
    std::string manual;
    std::set<std::string> chosen;
};

class DriveBackup : public ::testing::Test {
protected:
    plattest::TempDir dir;
    std::string root = dir.path();
    std::unique_ptr<plattest::ScopedEnv> rootEnv, scaleEnv;
    std::string sim, task = smbbackup::Create_New_ID(), mission;
    GWSTask t;
    sqlite3* db = nullptr;
    std::string initArgs = "--users 2 --files 4 --shared-drives 1";  // the simulated domain

    void SetUp() override {
        const std::string cmd = "GWSSIM_INIT_ARGS='" + initArgs + "' '" + QLM_SOURCE_DIR + "/scripts/stage-root' '" + root + "' '" + QLM_BINARY_DIR +
                                "' >/dev/null 2>&1";
        ASSERT_EQ(system(cmd.c_str()), 0) << "staging failed (is the build installed?)";
        rootEnv = std::make_unique<plattest::ScopedEnv>("QLM_ROOT", root);
        scaleEnv = std::make_unique<plattest::ScopedEnv>("QLM_SLEEP_SCALE", "0.001");
        sim = root + "/var/lib/gwssim";
        // The task's key, as a task keeps it, and this process's GAM folder for its domain.
        const std::string key = Run_Out(Gwssim() + " key " + sim + " --grant drive,gmail,calendar,contacts");
        const std::string auth = smbbackup::Create_New_ID();
        ASSERT_EQ(qlm::Store_Pending_Service_Account_Key(key.c_str(), auth.c_str()), 0);
        fs::create_directories(qlm::Sa_Dir());
        fs::rename(qlm::Pending_Key_Path(auth), qlm::Stored_Key_Path(auth));
        ASSERT_EQ(Initial_GAM_Conf(auth.c_str(), kAdmin), 0);
        t.Set_Task_ID(task.c_str());
        t.Set_Admin_Email(kAdmin);
        t.Set_Auto_Add_User_Enable(1);
        t.Set_Auto_Add_Shared_Drive_Enable(1);
        fs::create_directories(qlm::Mission_Dir());
        mission = qlm::Mission_Dir() + "/" + smbbackup::Create_New_ID();
        Write_File(mission, R"({"backup_current": 0, "drive_current": 0, "shared_drive_current": 0})");
        ASSERT_EQ(Sql_Open_Datebase(&db), 0);
        ASSERT_EQ(Sql_Log_Create_Table(db), 0);
    }
    void TearDown() override {
        if (db) sqlite3_close(db);
        std::error_code ec;
        fs::remove_all(qlm::Gam_Process_Dir(), ec);
        unsetenv("GAMCFGDIR");
    }

    std::string Gwssim() const { return root + "/usr/local/bin/gwssim"; }
    void Fault(const std::string& args) {
        ASSERT_EQ(system((Gwssim() + " fault " + sim + " add " + args + " >/dev/null").c_str()), 0) << args;
    }
    void Clear_Calls() { ASSERT_EQ(system((Gwssim() + " calls " + sim + " --clear").c_str()), 0); }
    // Calls of `gam ... get drivefile`, one argv joined by blanks each.
    std::vector<std::string> Downloads() { return Gam_Calls(" get drivefile "); }
    std::vector<std::string> Gam_Calls(const std::string& what) {
        std::vector<std::string> out;
        std::istringstream in(Read_File(sim + "/calls.jsonl"));
        for (std::string line; std::getline(in, line);) {
            json_object* o = json_tokener_parse(line.c_str());
            if (!o) continue;
            json_object* ev = nullptr;
            json_object* argv = nullptr;
            if (json_object_object_get_ex(o, "event", &ev) && std::string(json_object_get_string(ev)) == "start" &&
                json_object_object_get_ex(o, "argv", &argv)) {
                std::string joined;
                for (size_t i = 0; i < json_object_array_length(argv); ++i)
                    joined += std::string(i ? " " : "") + json_object_get_string(json_object_array_get_idx(argv, i));
                if (joined.find(what) != std::string::npos) out.push_back(joined);
            }
            json_object_put(o);
        }
        return out;
    }
    int Count_Downloads_Of(const std::string& id) {
        int n = 0;
        for (const std::string& d : Downloads()) n += d.find(" id " + id + " ") != std::string::npos;
        return n;
    }

    // A user's Drive ("alice@...") or a shared drive ("shared/<id>") in the simulated domain.
    std::string Place(const std::string& who) const {
        return sim + (who.rfind("shared/", 0) == 0 ? "/" : "/users/") + who;
    }
    std::string Drive_Json(const std::string& who) const { return Place(who) + "/drive.json"; }
    std::string Blob(const std::string& who, const std::string& id) const { return Place(who) + "/blobs/" + id; }
    // The binary files of a user's Drive: id -> (md5, size).
    std::map<std::string, std::pair<std::string, long long>> Sim_Files(const std::string& user) {
        std::map<std::string, std::pair<std::string, long long>> out;
        json_object* d = json_object_from_file(Drive_Json(user).c_str());
        json_object* items = nullptr;
        json_object_object_get_ex(d, "items", &items);
        for (size_t i = 0; i < json_object_array_length(items); ++i) {
            json_object* it = json_object_array_get_idx(items, i);
            json_object *id, *md5, *size, *trashed;
            if (json_object_object_get_ex(it, "trashed", &trashed) && json_object_get_boolean(trashed)) continue;
            if (json_object_object_get_ex(it, "md5", &md5) && json_object_object_get_ex(it, "size", &size) &&
                json_object_object_get_ex(it, "id", &id))
                out[json_object_get_string(id)] = {json_object_get_string(md5), json_object_get_int64(size)};
        }
        json_object_put(d);
        return out;
    }
    // The ids of the user's Drive items of that MIME type, by name.
    std::map<std::string, std::string> Sim_Items_Of_Type(const std::string& user, const std::string& mime) {
        std::map<std::string, std::string> out;
        json_object* d = json_object_from_file(Drive_Json(user).c_str());
        json_object* items = nullptr;
        json_object_object_get_ex(d, "items", &items);
        for (size_t i = 0; i < json_object_array_length(items); ++i) {
            json_object* it = json_object_array_get_idx(items, i);
            json_object *id, *m, *name;
            if (json_object_object_get_ex(it, "mimeType", &m) && mime == json_object_get_string(m) &&
                json_object_object_get_ex(it, "id", &id) && json_object_object_get_ex(it, "name", &name))
                out[json_object_get_string(name)] = json_object_get_string(id);
        }
        json_object_put(d);
        return out;
    }
    // Applies fn to the items array and stores the Drive back.
    template <typename Fn>
    void Edit_Items(const std::string& user, Fn fn) {
        json_object* d = json_object_from_file(Drive_Json(user).c_str());
        json_object* items = nullptr;
        json_object_object_get_ex(d, "items", &items);
        fn(items);
        ASSERT_EQ(json_object_to_file_ext(Drive_Json(user).c_str(), d, JSON_C_TO_STRING_PLAIN), 0);
        json_object_put(d);
    }
    static json_object* Find(json_object* items, const std::string& id) {
        for (size_t i = 0; i < json_object_array_length(items); ++i) {
            json_object* it = json_object_array_get_idx(items, i);
            json_object* v = nullptr;
            if (json_object_object_get_ex(it, "id", &v) && id == json_object_get_string(v)) return it;
        }
        return nullptr;
    }
    // New content for a binary item, with Google's MD5, size and a later modification time.
    void Change_Content(const std::string& user, const std::string& id, const std::string& content) {
        Write_File(Blob(user, id), content);
        const std::string md5 = Md5_Hex(Blob(user, id));
        Edit_Items(user, [&](json_object* items) {
            json_object* it = Find(items, id);
            ASSERT_NE(it, nullptr);
            json_object_object_add(it, "md5", json_object_new_string(md5.c_str()));
            json_object_object_add(it, "size", json_object_new_int64(static_cast<int64_t>(content.size())));
            json_object_object_add(it, "modifiedTime", json_object_new_string("2025-06-01T10:00:00.000Z"));
        });
    }
    std::string Add_File(const std::string& user, const std::string& name, const std::string& content) {
        const std::string id = "1added" + std::to_string(rand() % 100000) + "xyzXYZ";
        Write_File(Blob(user, id), content);
        const std::string md5 = Md5_Hex(Blob(user, id));
        Edit_Items(user, [&](json_object* items) {
            json_object* root_parent = nullptr;
            json_object* first = json_object_array_get_idx(items, 0);
            json_object_object_get_ex(first, "parent", &root_parent);
            json_object* it = json_object_new_object();
            json_object_object_add(it, "id", json_object_new_string(id.c_str()));
            json_object_object_add(it, "name", json_object_new_string_len(name.data(), (int)name.size()));
            json_object_object_add(it, "mimeType", json_object_new_string("text/plain"));
            json_object_object_add(it, "parent", json_object_get(root_parent));
            json_object_object_add(it, "owner", json_object_new_string(user.c_str()));
            json_object_object_add(it, "createdTime", json_object_new_string("2025-06-01T10:00:00.000Z"));
            json_object_object_add(it, "modifiedTime", json_object_new_string("2025-06-01T10:00:00.000Z"));
            json_object_object_add(it, "md5", json_object_new_string(md5.c_str()));
            json_object_object_add(it, "size", json_object_new_int64(static_cast<int64_t>(content.size())));
            json_object_object_add(it, "has_blob", json_object_new_boolean(1));
            json_object_array_add(items, it);
        });
        return id;
    }
    void Delete_Item(const std::string& user, const std::string& id) {
        Edit_Items(user, [&](json_object* items) {
            for (size_t i = 0; i < json_object_array_length(items); ++i) {
                json_object* v = nullptr;
                if (json_object_object_get_ex(json_object_array_get_idx(items, i), "id", &v) &&
                    id == json_object_get_string(v)) {
                    json_object_array_del_idx(items, i, 1);
                    return;
                }
            }
            FAIL() << "no item " << id;
        });
    }

    // Catalog rows by id.
    using Rows_By_Id = std::map<std::string, std::map<std::string, std::string>>;
    static Rows_By_Id By_Id(int rc, const RAIIful_Json& list) {
        Rows_By_Id out;
        if (rc != 0) return out;
        for (int i = 0; i < Json_List_Size(list.get()); ++i) {
            json_object* row = Json_List_Child(list.get(), i);
            std::map<std::string, std::string> r;
            json_object_object_foreach(row, k, v) r[k] = v ? json_object_get_string(v) : "";
            out[r["id"]] = r;
        }
        return out;
    }
    Rows_By_Id Catalog(const std::string& user) {
        RAIIful_Json list(Json_List_Init());
        return By_Id(Drive_Get_DB_Data(list.get(), user.c_str(), task.c_str()), list);
    }
    std::string Store(const std::string& user) const { return qlm::Backup_Service_Dir("drive") + "/" + task + "/" + user; }
    std::set<std::string> Store_Files(const std::string& folder) const {
        std::set<std::string> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(folder, ec)) out.insert(e.path().filename().string());
        return out;
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
    bool Has_Row(const std::string& status, const std::string& prefix) { return Count_Rows(status, prefix) > 0; }
    int Count_Rows(const std::string& status, const std::string& prefix) {
        int n = 0;
        for (const LogRow& r : Rows()) n += r.status == status && r.text.rfind(prefix, 0) == 0;
        return n;
    }
    // Applies fn to domain.json (users, shared drives) and stores it back.
    template <typename Fn>
    void Edit_Domain(Fn fn) {
        json_object* d = json_object_from_file((sim + "/domain.json").c_str());
        fn(d);
        ASSERT_EQ(json_object_to_file_ext((sim + "/domain.json").c_str(), d, JSON_C_TO_STRING_PLAIN), 0);
        json_object_put(d);
    }
    // A domain user; with a copy of Alice's Drive when bWithDrive.
    void Add_User(const std::string& email, const std::string& id, bool bWithDrive) {
        if (bWithDrive) {
            fs::copy(sim + "/users/" + kAlice, sim + "/users/" + email, fs::copy_options::recursive);
            Edit_Items(email, [&](json_object* items) {
                for (size_t i = 0; i < json_object_array_length(items); ++i)
                    json_object_object_add(json_object_array_get_idx(items, i), "owner",
                                           json_object_new_string(email.c_str()));
            });
        }
        Edit_Domain([&](json_object* d) {
            json_object* users = nullptr;
            json_object_object_get_ex(d, "users", &users);
            json_object* u = json_object_new_object();
            json_object_object_add(u, "id", json_object_new_string(id.c_str()));
            json_object_object_add(u, "email", json_object_new_string(email.c_str()));
            json_object_object_add(u, "name", json_object_new_string("Added"));
            json_object_object_add(u, "admin", json_object_new_boolean(0));
            json_object_array_add(users, u);
        });
    }
    // The Google ids of the domain's users, by address.
    std::map<std::string, std::string> User_Ids() {
        std::map<std::string, std::string> out;
        json_object* d = json_object_from_file((sim + "/domain.json").c_str());
        json_object* users = nullptr;
        json_object_object_get_ex(d, "users", &users);
        for (size_t i = 0; i < json_object_array_length(users); ++i) {
            json_object *u = json_object_array_get_idx(users, i), *id, *email;
            if (json_object_object_get_ex(u, "id", &id) && json_object_object_get_ex(u, "email", &email))
                out[json_object_get_string(email)] = json_object_get_string(id);
        }
        json_object_put(d);
        return out;
    }
    int Backup() { return Backup_Drive(&t, mission, "admin", db); }

    // Every binary file of the user is stored with Google's bytes, and the catalog names it.
    void Expect_Stored_Like_Google(const std::string& user) {
        auto cat = Catalog(user);
        for (const auto& [id, ms] : Sim_Files(user)) {
            ASSERT_TRUE(cat.count(id)) << id;
            const std::string local = cat[id]["localid"];
            ASSERT_FALSE(local.empty()) << id;
            EXPECT_EQ(Read_File(Store(user) + "/" + local), Read_File(Blob(user, id))) << id;
            EXPECT_EQ(cat[id]["md5Checksum"], ms.first) << id;
        }
    }
    // Every stored file has a catalog row, and no download is left half-done.
    void Expect_No_Orphans(const std::string& user) {
        std::set<std::string> locals;
        for (auto& [id, r] : Catalog(user))
            if (!r["localid"].empty()) locals.insert(r["localid"]);
        for (const std::string& f : Store_Files(Store(user))) EXPECT_TRUE(locals.count(f)) << "orphan " << f;
    }
};

TEST_F(DriveBackup, FirstRunStoresEveryFileWithGooglesBytesAndAnUnchangedRunDownloadsNothing) {
    ASSERT_EQ(Backup(), 0);
    for (const char* user : {kAdmin, kAlice}) {
        SCOPED_TRACE(user);
        ASSERT_FALSE(Sim_Files(user).empty());
        Expect_Stored_Like_Google(user);
        Expect_No_Orphans(user);
        auto cat = Catalog(user);
        // Folders are catalogued with their structure but never stored.
        int folders = 0;
        for (auto& [id, r] : cat)
            if (r["mimeType"] == qlm::drivebk::kFolderMime) {
                ++folders;
                EXPECT_TRUE(r["localid"].empty()) << id;
            }
        EXPECT_GT(folders, 0);
    }
    EXPECT_FALSE(Downloads().empty());
    const auto before = Catalog(kAlice);

    Clear_Calls();
    ASSERT_EQ(Backup(), 0);
    EXPECT_TRUE(Downloads().empty()) << Downloads().front();
    auto after = Catalog(kAlice);
    ASSERT_EQ(after.size(), before.size());
    for (auto& [id, r] : before) EXPECT_EQ(after[id]["localid"], r.at("localid")) << id;
    // The running record shows the items done.
    RAIIful_Json rec(Json_From_File(mission.c_str()));
    int64_t done = 0;
    ASSERT_EQ(Json_Dict_Find_Int64(rec.get(), "drive_current", done), 0);
    EXPECT_GE(done, static_cast<int64_t>(Sim_Files(kAdmin).size() + Sim_Files(kAlice).size()));
}

TEST_F(DriveBackup, AChangedAnAddedAndADeletedFileGiveExactlyTheirDownloadsAndPruning) {
    ASSERT_EQ(Backup(), 0);
    auto files = Sim_Files(kAlice);
    ASSERT_GE(files.size(), 2u);
    const std::string changed = files.begin()->first, deleted = std::next(files.begin())->first;
    const std::string deletedLocal = Catalog(kAlice)[deleted]["localid"];
    const std::string changedLocal = Catalog(kAlice)[changed]["localid"];
    ASSERT_TRUE(fs::exists(Store(kAlice) + "/" + deletedLocal));

    Change_Content(kAlice, changed, "new content of the changed file\n");
    const std::string added = Add_File(kAlice, "added.txt", "a file added after the first run\n");
    Delete_Item(kAlice, deleted);
    Clear_Calls();
    ASSERT_EQ(Backup(), 0);

    EXPECT_EQ(Downloads().size(), 2u);
    EXPECT_EQ(Count_Downloads_Of(changed), 1);
    EXPECT_EQ(Count_Downloads_Of(added), 1);
    auto cat = Catalog(kAlice);
    EXPECT_EQ(cat.count(deleted), 0u);
    EXPECT_FALSE(fs::exists(Store(kAlice) + "/" + deletedLocal));
    EXPECT_EQ(cat[changed]["localid"], changedLocal) << "a changed file keeps its local id";
    Expect_Stored_Like_Google(kAlice);
    Expect_No_Orphans(kAlice);
}

TEST_F(DriveBackup, ALostConnectionFailsTheRunAndTheRepeatFinishesWithoutOrphans) {
    // The second download loses the connection: the service fails, so the wrapper repeats it.
    Fault("--tool gam --match 'get drivefile' --action conn --skip 1 --times 1");
    EXPECT_EQ(Backup(), -1);
    ASSERT_EQ(Backup(), 0);
    for (const char* user : {kAdmin, kAlice}) {
        SCOPED_TRACE(user);
        Expect_Stored_Like_Google(user);
        Expect_No_Orphans(user);
    }
    // The copy made before the loss was kept with its row, not downloaded again.
    const auto downloads = Downloads();
    ASSERT_GE(downloads.size(), 2u);
    std::map<std::string, int> per;
    for (const std::string& d : downloads) ++per[d];
    for (auto& [d, n] : per) EXPECT_LE(n, 2) << d;
    EXPECT_EQ(per[downloads.front()], 1) << downloads.front();
}

TEST_F(DriveBackup, ABadDownloadIsTriedAgainAndNeverReplacesAGoodCopy) {
    struct Case {
        const char* name;
        const char* action;
        int times;
        bool bStoredAtLast;
    };
    const Case cases[] = {
        {"fails once", "fail", 1, true},
        {"truncated once", "truncate", 1, true},
        {"empty once", "empty", 1, true},
        {"truncated every time", "truncate", 0, false},
    };
    ASSERT_EQ(Backup(), 0);
    const std::string id = Sim_Files(kAlice).begin()->first;
    const std::string local = Catalog(kAlice)[id]["localid"];
    const std::string stored = Store(kAlice) + "/" + local;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string good = Read_File(stored);
        const std::string content = std::string("content for the case ") + c.name + "\n";
        Change_Content(kAlice, id, content);
        ASSERT_EQ(system((Gwssim() + " fault " + sim + " clear").c_str()), 0);
        Fault(std::string("--tool gam --match drivefile --match ") + id + " --action " + c.action +
              " --times " + std::to_string(c.times));
        Clear_Calls();
        ASSERT_EQ(Backup(), 0);
        if (c.bStoredAtLast) {
            EXPECT_EQ(Count_Downloads_Of(id), 2);
            EXPECT_EQ(Read_File(stored), content);
            EXPECT_EQ(Catalog(kAlice)[id]["md5Checksum"], Md5_Hex(Blob(kAlice, id)));
        } else {
            EXPECT_EQ(Count_Downloads_Of(id), 5);
            EXPECT_EQ(Read_File(stored), good) << "an incomplete download replaced the stored copy";
            EXPECT_NE(Catalog(kAlice)[id]["md5Checksum"], Md5_Hex(Blob(kAlice, id))) << "the old row stays";
            EXPECT_TRUE(Has_Row("FAIL", "Failed to download Drive file after retries. file_id=" + id));
        }
        EXPECT_FALSE(fs::exists(stored + ".tmp"));
        Expect_No_Orphans(kAlice);
    }
}

TEST_F(DriveBackup, AMissingOrTruncatedStoredCopyIsDownloadedAgainUnderItsLocalId) {
    ASSERT_EQ(Backup(), 0);
    auto files = Sim_Files(kAlice);
    auto cat = Catalog(kAlice);
    std::string missing, truncated;
    for (auto& [id, ms] : files)
        if (ms.second > 1) (missing.empty() ? missing : truncated) = id;
    ASSERT_FALSE(truncated.empty());
    fs::remove(Store(kAlice) + "/" + cat[missing]["localid"]);
    fs::resize_file(Store(kAlice) + "/" + cat[truncated]["localid"], 1);
    Clear_Calls();
    ASSERT_EQ(Backup(), 0);
    EXPECT_EQ(Downloads().size(), 2u);
    EXPECT_EQ(Count_Downloads_Of(missing), 1);
    EXPECT_EQ(Count_Downloads_Of(truncated), 1);
    EXPECT_EQ(Catalog(kAlice)[missing]["localid"], cat[missing]["localid"]);
    Expect_Stored_Like_Google(kAlice);
}

TEST_F(DriveBackup, ADownloadLeftByAKilledWorkerIsRemovedByTheNextRun) {
    ASSERT_EQ(Backup(), 0);
    const std::string local = Catalog(kAlice)[Sim_Files(kAlice).begin()->first]["localid"];
    Write_File(Store(kAlice) + "/" + local + ".tmp", "half a download");
    Write_File(Store(kAlice) + "/" + smbbackup::Create_New_ID() + ".tmp", "half of a new file");
    ASSERT_EQ(Backup(), 0);
    Expect_No_Orphans(kAlice);
    Expect_Stored_Like_Google(kAlice);
}

TEST_F(DriveBackup, AnUnreadableCatalogSkipsTheAccountWithARowAndTheServiceGoesOn) {
    ASSERT_EQ(Backup(), 0);
    const auto stored = Store_Files(Store(kAlice));
    const std::string catalog = qlm::Backup_Service_Dir("drive_db") + "/" + task + "/" + kAlice + ".db";
    ASSERT_TRUE(fs::exists(catalog));
    Write_File(catalog, std::string(4096, 'x'));
    // A change of the other account shows that it is still backed up, whichever comes first.
    const std::string changed = Sim_Files(kAdmin).begin()->first;
    Change_Content(kAdmin, changed, "changed while Alice's catalog is unreadable\n");
    Clear_Calls();
    // Never a failed attempt: the retries would hold the run (and the task's other services) for
    // a day and a half over a file that stays unreadable.
    EXPECT_EQ(Backup(), 0);
    EXPECT_TRUE(Has_Row("FAIL", std::string("Failed to read Drive catalog for user account ") + kAlice));
    for (const std::string& d : Downloads()) EXPECT_EQ(d.find(kAlice), std::string::npos) << d;
    EXPECT_EQ(Store_Files(Store(kAlice)), stored) << "nothing of Alice's was started afresh";
    EXPECT_EQ(Read_File(catalog), std::string(4096, 'x'));
    EXPECT_EQ(Count_Downloads_Of(changed), 1);
    Expect_Stored_Like_Google(kAdmin);
}

TEST_F(DriveBackup, WithAutoAddOffOnlyTheHandPickedAccountsAreBackedUpAndNobodyPickedMeansNone) {
    const std::string alice = User_Ids()[kAlice];
    ASSERT_FALSE(alice.empty());
    const PickCase cases[] = {
        {"no text stored", "", {}},
        {"an empty list", "[]", {}},
        {"an id that matches nobody", "[\"0nobody\"]", {}},
        {"Alice picked", "[\"" + alice + "\"]", {kAlice}},
    };
    t.Set_Auto_Add_User_Enable(0);
    for (const PickCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(t.Set_Manual_Select_Domain_User(c.manual.c_str()), 0);
        Clear_Calls();
        ASSERT_EQ(Backup(), 0);
        std::set<std::string> listed;
        for (const std::string& call : Gam_Calls(" print filelist ")) {
            const std::string rest = call.substr(call.find("user ") + 5);
            listed.insert(rest.substr(0, rest.find(" print filelist")));
        }
        EXPECT_EQ(listed, c.chosen);
        EXPECT_TRUE(Downloads().empty() == c.chosen.empty());
        int64_t count = -1;
        ASSERT_EQ(Count_Drive(&t, &count, "admin", db), 0);
        EXPECT_EQ(count == 0, c.chosen.empty()) << count;
    }
}

TEST_F(DriveBackup, AnAccountWhoseLockOrFolderCannotBeMadeIsSkippedWithAFailRowAndTheOthersGoOn) {
    const std::string driveDir = qlm::Backup_Service_Dir("drive") + "/" + task;
    const std::string longAddress = std::string(250 - strlen("@example.test"), 'l') + "@example.test";
    const std::string journalless = std::string(245 - strlen("@example.test"), 'j') + "@example.test";
    struct Case {
        const char* name;
        std::string account;
        std::function<void()> arrange;
        const char* why;
    };
    const Case cases[] = {
        {"a folder has the lock file's name", kAlice,
         [&] { fs::create_directories(driveDir + "/" + kAlice + ".drive_lck"); },
         "its lock file cannot be made (Is a directory)."},
        {"a file has the store folder's name", kAlice,
         [&] { Write_File(Store(kAlice), "not a folder"); },
         "its store folder cannot be made (Not a directory)."},
        // A legal address of 250 bytes: with ".drive_lck" the name is longer than a file name may be.
        {"an address too long for its lock file's name", longAddress, [&] { Add_User(longAddress, "9250", false); },
         "its lock file cannot be made (File name too long)."},
        // 245 bytes leave room for the lock file and the catalog, not for the catalog's journal.
        {"an address that leaves no room for its catalog's journal", journalless,
         [&] { Add_User(journalless, "9245", true); },
         "its catalog's file names would be longer than the file system allows."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(driveDir);
        fs::create_directories(driveDir);
        c.arrange();
        const std::string changed = Sim_Files(kAdmin).begin()->first;
        Change_Content(kAdmin, changed, std::string("changed for the case ") + c.name + "\n");
        const std::string row = "Skipped Drive backup for user account " + c.account + ": " + c.why;
        const int before = Count_Rows("FAIL", row);
        Clear_Calls();
        ASSERT_EQ(Backup(), 0) << "one account never stops the service";
        EXPECT_EQ(Count_Rows("FAIL", row), before + 1);
        EXPECT_TRUE(Gam_Calls("user " + c.account + " ").empty()) << "skipped before anything was listed or stored";
        EXPECT_FALSE(Has_Row("SUCCESS", "Drive backup is already in progress")) << "no lock was held";
        Expect_Stored_Like_Google(kAdmin);
    }
}

TEST_F(DriveBackup, AnAddressEqualToAnotherAccountsLockFileNameSkipsOneOfThemWithAFailRow) {
    const std::string twin = std::string(kAlice) + ".drive_lck";
    Add_User(twin, "9twin", true);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        const int before = Count_Rows("FAIL", "Skipped Drive backup for user account ");
        ASSERT_EQ(Backup(), 0);
        EXPECT_EQ(Count_Rows("FAIL", "Skipped Drive backup for user account "), before + 1);
        EXPECT_FALSE(Has_Row("SUCCESS", "Drive backup is already in progress"));
        Expect_Stored_Like_Google(kAdmin);
    }
}

TEST_F(DriveBackup, AFailedListingSkipsTheAccountAndPrunesNothing) {
    ASSERT_EQ(Backup(), 0);
    const auto before = Catalog(kAlice);
    for (const char* what : {"filelist", "filetree"}) {
        SCOPED_TRACE(what);
        ASSERT_EQ(system((Gwssim() + " fault " + sim + " clear").c_str()), 0);
        // gam does its work but fails at the end (exit 1, nothing written): a listing that is no listing.
        Fault(std::string("--tool gam --match ") + kAlice + " --match " + what + " --action fail_after");
        ASSERT_EQ(Backup(), 0);
        auto after = Catalog(kAlice);
        EXPECT_EQ(after.size(), before.size());
        Expect_Stored_Like_Google(kAlice);
        EXPECT_TRUE(Has_Row("FAIL", std::string("Failed to retrieve Drive file ") +
                                        (std::string(what) == "filelist" ? "list" : "tree") + " for user account " +
                                        kAlice));
    }
}

TEST_F(DriveBackup, AListingCutShortGarbledOrEmptyIsListedAgainThenSkipsTheAccountAndPrunesNothing) {
    ASSERT_EQ(Backup(), 0);
    const auto before = Catalog(kAlice);
    const std::string a = kAlice;
    struct Case {
        const char* what;
        const char* action;
        std::string row;  // the start of the account's FAIL row
    } cases[] = {
        {"filelist", "truncate", "Drive file listing of " + a + " is incomplete: "},
        {"filelist", "garbage", "Drive file listing of " + a + " is unreadable: its header has no column id."},
        {"filelist", "empty", "Drive file listing of " + a + " is unreadable: the output is empty."},
        {"filetree", "truncate", "Drive file tree listing of " + a + " is incomplete: "},
        {"filetree", "garbage", "Drive file tree listing of " + a + " is unreadable: "},
        {"filetree", "empty", "Drive file tree listing of " + a + " is unreadable: the output is empty."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + c.action);
        ASSERT_EQ(system((Gwssim() + " fault " + sim + " clear").c_str()), 0);
        Fault(std::string("--tool gam --match ") + kAlice + " --match " + c.what + " --action " + c.action);
        Clear_Calls();
        Sql_Log_Delete_Data(task.c_str());
        ASSERT_EQ(Backup(), 0);
        EXPECT_EQ(Catalog(kAlice), before);
        Expect_Stored_Like_Google(kAlice);
        EXPECT_TRUE(Has_Row("FAIL", c.row));
        // Listed again within the attempt before the account is given up.
        EXPECT_EQ(Gam_Calls(std::string("user ") + kAlice + " print " + c.what).size(),
                  static_cast<size_t>(qlm::listing::kListingTries));
    }
}

TEST_F(DriveBackup, ARemovalOfMostOfAnAccountIsCheckedAgainstASecondListing) {
    // Legit mass deletions in Google: the second listing agrees, so they go.
    ASSERT_EQ(Backup(), 0);
    const size_t held = Catalog(kAlice).size();
    size_t kept = 0;
    Edit_Items(kAlice, [&](json_object* items) {
        // Keep the root's direct children only when they are folders; drop every file.
        json_object* left = json_object_new_array();
        for (size_t i = 0; i < json_object_array_length(items); ++i) {
            json_object* it = json_object_array_get_idx(items, i);
            json_object* mime = nullptr;
            json_object_object_get_ex(it, "mimeType", &mime);
            if (mime && std::string(json_object_get_string(mime)) == qlm::drivebk::kFolderMime) {
                json_object_array_add(left, json_object_get(it));
                ++kept;
            }
        }
        while (json_object_array_length(items) > 0) json_object_array_del_idx(items, 0, 1);
        for (size_t i = 0; i < json_object_array_length(left); ++i)
            json_object_array_add(items, json_object_get(json_object_array_get_idx(left, i)));
        json_object_put(left);
    });
    ASSERT_GT(held - kept, 10u);
    ASSERT_GT((held - kept) * 2, held);
    Clear_Calls();
    ASSERT_EQ(Backup(), 0);
    EXPECT_EQ(Gam_Calls(std::string("user ") + kAlice + " print filetree").size(), 2u);
    EXPECT_LE(Catalog(kAlice).size(), kept + 2);  // the folders, the root and Orphans
    EXPECT_FALSE(Has_Row("FAIL", std::string("Drive file tree listing of ") + kAlice));
    Expect_Stored_Like_Google(kAlice);
}

TEST_F(DriveBackup, ALostConnectionDuringAListingFailsTheRunAndPrunesNothing) {
    ASSERT_EQ(Backup(), 0);
    const auto before = Catalog(kAlice);
    for (const char* what : {"filelist", "filetree"}) {
        for (const char* action : {"conn", "conn_after"}) {
            SCOPED_TRACE(std::string(what) + " " + action);
            ASSERT_EQ(system((Gwssim() + " fault " + sim + " clear").c_str()), 0);
            // Even with exit status 0 the error output tells of the loss.
            Fault(std::string("--tool gam --match ") + kAlice + " --match " + what + " --action " + action +
                  " --exit 0");
            EXPECT_EQ(Backup(), -1);
            EXPECT_EQ(Catalog(kAlice).size(), before.size());
            Expect_Stored_Like_Google(kAlice);
        }
    }
}

TEST_F(DriveBackup, TheUsageOrderOnlyOrdersAndAFailingUserListingFailsTheRun) {
    struct Case {
        const char* name;
        const char* fault;
        int result;
    };
    const Case cases[] = {
        {"tallyx answers garbage", "--tool tallyx --match --asc --action garbage", 0},
        {"tallyx fails", "--tool tallyx --match --asc --action fail", -1},
        {"scoutix loses the connection", "--tool scoutix --match -info --action conn", -1},
        {"tallyx loses the connection", "--tool tallyx --match --asc --action conn", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(system((Gwssim() + " fault " + sim + " clear").c_str()), 0);
        Fault(c.fault);
        Clear_Calls();
        EXPECT_EQ(Backup(), c.result);
        const bool bListed = !Gam_Calls("user " + std::string(kAlice) + " print filelist").empty() &&
                             !Gam_Calls("user " + std::string(kAdmin) + " print filelist").empty();
        EXPECT_EQ(bListed, c.result == 0) << "every selected account is backed up, or none";
        if (c.result != 0) {
            EXPECT_TRUE(Has_Row("FAIL", "Failed to get user info during Drive backup process."));
        }
    }
}

TEST_F(DriveBackup, APreCountCountsOneFailingAccountAsZeroWithAWarnRow) {
    int64_t all = -1;
    ASSERT_EQ(Count_Drive(&t, &all, "admin", db), 0);
    EXPECT_GT(all, 0);
    Fault(std::string("--tool gam --match ") + kAlice + " --match filetree --action fail");
    int64_t some = -1;
    ASSERT_EQ(Count_Drive(&t, &some, "admin", db), 0);
    EXPECT_GT(some, 0);
    EXPECT_LT(some, all);
    EXPECT_TRUE(Has_Row("FAIL", std::string("Failed to count Drive items for ") + kAlice));
    Fault("--tool scoutix --match -info --action fail");
    int64_t none = 77;
    EXPECT_EQ(Count_Drive(&t, &none, "admin", db), -1);
    EXPECT_EQ(none, 77);
}

TEST_F(DriveBackup, HostileDriveNamesAreCataloguedAsTheyAre) {
    // Drive name -> the name as catalogued: exactly the name (GAM keeps a line break raw in its quoted cell).
    const std::pair<std::string, std::string> names[] = {
        {"quote's \"double\", comma.txt", "quote's \"double\", comma.txt"},
        {"$(touch pwned) `touch pwned2`;x", "$(touch pwned) `touch pwned2`;x"},
        {"line one\nline two", "line one\nline two"},
        {"100% %s %n", "100% %s %n"},
        {"../../escape", "../../escape"},
        // GAM writes a backslash doubled; one and two in a row come back as they are in Google.
        {"back\\slash", "back\\slash"},
        {"two\\\\in a row, \"quoted\"\\", "two\\\\in a row, \"quoted\"\\"},
        {"\\", "\\"},
    };
    std::map<std::string, std::pair<std::string, std::string>> ids;
    for (const auto& n : names) ids[Add_File(kAlice, n.first, "bytes of " + n.first)] = n;
    ASSERT_EQ(Backup(), 0);
    auto cat = Catalog(kAlice);
    for (auto& [id, n] : ids) {
        ASSERT_TRUE(cat.count(id)) << n.first;
        EXPECT_EQ(cat[id]["name"], n.second);
        EXPECT_EQ(Read_File(Store(kAlice) + "/" + cat[id]["localid"]), "bytes of " + n.first);
    }
    Expect_No_Orphans(kAlice);
    EXPECT_FALSE(fs::exists("pwned"));
    EXPECT_FALSE(fs::exists(root + "/pwned"));
}

// Alice's file list also names a file the admin shared with her; it is the admin's, so only his
// backup holds it: her catalog, store and progress count leave it out.
TEST_F(DriveBackup, AFileSharedWithTheUserStaysInItsOwnersBackupOnly) {
    const std::string shared = Add_File(kAdmin, "shared plan.txt", "the admin's plan");
    ASSERT_EQ(system((Gwssim() + " share " + sim + " --user " + kAdmin + " --item " + shared + " --with " + kAlice)
                         .c_str()),
              0);
    ASSERT_EQ(Backup(), 0);
    auto alice = Catalog(kAlice);
    EXPECT_EQ(alice.count(shared), 0u);
    for (const std::string& d : Downloads())
        EXPECT_EQ(d.find("user " + std::string(kAlice) + " get drivefile id " + shared), std::string::npos) << d;
    EXPECT_EQ(Count_Downloads_Of(shared), 1) << "downloaded once, as the admin";
    auto admin = Catalog(kAdmin);
    ASSERT_EQ(admin.count(shared), 1u);
    EXPECT_EQ(Read_File(Store(kAdmin) + "/" + admin[shared]["localid"]), "the admin's plan");
    Expect_Stored_Like_Google(kAlice);
    Expect_No_Orphans(kAlice);
    // Every catalogued row of hers is an item of her tree: a name, a type and a depth.
    for (auto& [id, r] : alice) {
        EXPECT_FALSE(r["mimeType"].empty()) << id;
        EXPECT_FALSE(r["name"].empty()) << id;
    }
    RAIIful_Json rec(Json_From_File(mission.c_str()));
    int64_t done = 0;
    ASSERT_EQ(Json_Dict_Find_Int64(rec.get(), "drive_current", done), 0);
    int64_t downloadable = 0;
    for (const char* u : {kAdmin, kAlice})
        for (auto& [id, r] : Catalog(u)) downloadable += !r["localid"].empty();
    EXPECT_EQ(done, downloadable) << "the shared file is counted once, for its owner";
}

TEST_F(DriveBackup, HostileAccountNamesReachGamAsOneArgumentOrAreSkipped) {
    const std::string quoted = "o'hara $(touch pwned)@example.test";
    const std::string slashed = "../../escape@example.test";
    // A copy of Alice's Drive under the quoted account, and a user whose name cannot be a folder.
    Add_User(quoted, "9" + std::to_string(quoted.size()), true);
    Add_User(slashed, "9" + std::to_string(slashed.size()), false);

    ASSERT_EQ(Backup(), 0);
    Expect_Stored_Like_Google(quoted);
    EXPECT_FALSE(Gam_Calls("user " + quoted + " print filelist").empty());
    EXPECT_FALSE(fs::exists(root + "/pwned"));
    EXPECT_FALSE(fs::exists("pwned"));
    EXPECT_TRUE(Has_Row("FAIL", "Skipped Drive backup for user account " + slashed));
    EXPECT_TRUE(Gam_Calls(slashed).empty());
    EXPECT_FALSE(fs::exists(qlm::Backup_Service_Dir("drive") + "/escape@example.test"));
}

TEST_F(DriveBackup, EditorFilesAreStoredAsExportedAndTypesWithoutExportArePassedOver) {
    const struct {
        const char* mime;
        const char* odf;
    } editors[] = {
        {"application/vnd.google-apps.document", "application/vnd.oasis.opendocument.text"},
        {"application/vnd.google-apps.spreadsheet", "application/vnd.oasis.opendocument.spreadsheet"},
        {"application/vnd.google-apps.presentation", "application/vnd.oasis.opendocument.presentation"},
    };
    ASSERT_EQ(Backup(), 0);
    auto cat = Catalog(kAlice);
    std::string doc;
    for (const auto& e : editors) {
        auto ids = Sim_Items_Of_Type(kAlice, e.mime);
        ASSERT_FALSE(ids.empty()) << e.mime;
        for (const auto& [name, id] : ids) {
            SCOPED_TRACE(name);
            ASSERT_TRUE(cat.count(id));
            const std::string stored = Read_File(Store(kAlice) + "/" + cat[id]["localid"]);
            // The OpenDocument package: its first entry is the uncompressed "mimetype".
            EXPECT_EQ(stored.substr(0, 4), "PK\x03\x04");
            EXPECT_EQ(stored.substr(30, 8 + strlen(e.odf)), std::string("mimetype") + e.odf);
            EXPECT_EQ(cat[id]["md5Checksum"], "");
            EXPECT_NE(cat[id]["size"], std::to_string(stored.size())) << "the listed size is the storage size";
            EXPECT_NE(cat[id]["size"], "-1");
            doc = id;
        }
    }
    // Drawings and Apps Script projects are catalogued like the skipped types, never tried.
    for (const char* mime : {"application/vnd.google-apps.drawing", "application/vnd.google-apps.script"}) {
        auto ids = Sim_Items_Of_Type(kAlice, mime);
        ASSERT_EQ(ids.size(), 1u) << mime;
        const std::string id = ids.begin()->second;
        ASSERT_TRUE(cat.count(id)) << mime;
        EXPECT_EQ(cat[id]["localid"], "") << mime;
        EXPECT_EQ(Count_Downloads_Of(id), 0) << mime;
    }
    for (const LogRow& r : Rows()) EXPECT_NE(r.status, "FAIL") << r.text;

    // Unchanged: no new download (the export is never its listed size, and that must not matter).
    Clear_Calls();
    ASSERT_EQ(Backup(), 0);
    EXPECT_TRUE(Downloads().empty()) << Downloads().front();
    // A new modified time downloads the document again, under its local id.
    const std::string local = Catalog(kAlice)[doc]["localid"];
    Edit_Items(kAlice, [&](json_object* items) {
        json_object_object_add(Find(items, doc), "modifiedTime", json_object_new_string("2025-07-01T10:00:00.000Z"));
    });
    Clear_Calls();
    ASSERT_EQ(Backup(), 0);
    EXPECT_EQ(Downloads().size(), 1u);
    EXPECT_EQ(Count_Downloads_Of(doc), 1);
    EXPECT_EQ(Catalog(kAlice)[doc]["localid"], local);
    Expect_No_Orphans(kAlice);
}

TEST_F(DriveBackup, TheDownloadCheckComparesSizeAndMd5OnlyWhereGoogleGivesAnMd5) {
    fs::create_directories(Store(kAlice));
    const std::string path = Store(kAlice) + "/copy";
    const std::string bytes = "twelve bytes";
    Write_File(path, bytes);
    const std::string md5 = Md5_Hex(path);
    // complete: a finished download may be committed; present: a stored copy needs no new download
    // (its MD5 was checked when it was committed, so only its size is looked at again).
    const struct {
        const char* name;
        std::string content;  // "-": no file
        long long size;
        std::string md5;
        bool complete, present;
    } cases[] = {
        {"MD5 and size match", bytes, 12, md5, true, true},
        {"MD5 matches, size does not", bytes, 13, md5, false, false},
        {"size matches, MD5 does not", bytes, 12, std::string(32, '0'), false, true},
        {"truncated", "twelve", 12, md5, false, false},
        {"no MD5: the size is not compared", bytes, 4096, "", true, true},
        {"no MD5, no size", bytes, -1, "", true, true},
        {"no MD5, empty copy", "", 0, "", false, false},
        {"no file", "-", 12, md5, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(path);
        if (c.content != "-") Write_File(path, c.content);
        EXPECT_EQ(qlm::drivebk::Is_Complete_Copy(path, c.size, c.md5), c.complete);
        EXPECT_EQ(qlm::drivebk::Stored_Copy_Present(Store(kAlice), "copy", c.size, c.md5), c.present);
    }
}

TEST_F(DriveBackup, ADownloadGamWillNotPerformIsNotTriedAgain) {
    ASSERT_EQ(Backup(), 0);
    const std::string id = Sim_Files(kAlice).begin()->first;
    Change_Content(kAlice, id, "new content that cannot be fetched\n");
    Fault("--tool gam --match drivefile --match " + id + " --action fail --exit 51");
    Clear_Calls();
    ASSERT_EQ(Backup(), 0);
    EXPECT_EQ(Count_Downloads_Of(id), 1);
    EXPECT_TRUE(Has_Row("FAIL", "Failed to download Drive file after retries. file_id=" + id));
    Expect_No_Orphans(kAlice);
}

TEST_F(DriveBackup, AnEmptiedDriveIsPrunedToItsRoot) {
    ASSERT_EQ(Backup(), 0);
    ASSERT_GT(Catalog(kAlice).size(), 1u);
    Edit_Items(kAlice, [](json_object* items) {
        json_object_array_del_idx(items, 0, json_object_array_length(items));
    });
    Clear_Calls();
    ASSERT_EQ(Backup(), 0);
    // GAM found no files: exit 60 after its header line, an empty listing.
    EXPECT_NE(Read_File(sim + "/calls.jsonl").find("\"exit\":60"), std::string::npos);
    auto cat = Catalog(kAlice);
    ASSERT_EQ(cat.size(), 1u);
    EXPECT_EQ(cat.begin()->second["depth"], "-1") << "only the root stays";
    EXPECT_TRUE(Store_Files(Store(kAlice)).empty());
    EXPECT_FALSE(Has_Row("FAIL", "Failed to retrieve Drive file list"));
    EXPECT_FALSE(Has_Row("FAIL", "Skip deletion"));
}

TEST_F(DriveBackup, OrphansAreCataloguedInTheirOwnFolderBesideTheOneRoot) {
    ASSERT_EQ(Backup(), 0);
    auto cat = Catalog(kAlice);
    std::vector<std::string> roots;
    std::string orphansId;
    for (auto& [id, r] : cat) {
        if (r["depth"] == "-1") roots.push_back(id);
        if (r["name"] == "Orphans") orphansId = id;
    }
    ASSERT_EQ(roots.size(), 1u) << "one root row";
    const std::string rootId = roots[0];
    ASSERT_FALSE(orphansId.empty());
    EXPECT_EQ(cat[orphansId]["depth"], "0");
    EXPECT_EQ(cat[orphansId]["parents"], rootId);
    EXPECT_EQ(cat[orphansId]["mimeType"], qlm::drivebk::kFolderMime);
    EXPECT_EQ(cat[orphansId]["localid"], "");
    EXPECT_EQ(cat[orphansId]["Owner"], kAlice);

    std::map<std::string, std::map<std::string, std::string>> byName;
    for (auto& [id, r] : cat) byName[r["name"]] = r;
    EXPECT_EQ(byName["orphan.txt"]["parents"], orphansId);
    EXPECT_EQ(byName["orphan.txt"]["depth"], "1");
    EXPECT_EQ(byName["Lost and found"]["parents"], orphansId);
    EXPECT_EQ(byName["found note.txt"]["parents"], byName["Lost and found"]["id"]);
    EXPECT_EQ(byName["found note.txt"]["depth"], "2");
    // The chain of names from the top: My Drive, Orphans, Lost and found.
    json_object* chain = json_tokener_parse(byName["found note.txt"]["structure"].c_str());
    ASSERT_NE(chain, nullptr);
    std::vector<std::string> names;
    for (size_t i = 0; i < json_object_array_length(chain); ++i) {
        json_object* name = nullptr;
        json_object_object_get_ex(json_object_array_get_idx(chain, i), "name", &name);
        names.push_back(json_object_get_string(name));
    }
    json_object_put(chain);
    EXPECT_EQ(names, (std::vector<std::string>{"My Drive", "Orphans", "Lost and found"}));
    Expect_Stored_Like_Google(kAlice);  // the orphans' contents too

    // The next run keeps the same rows.
    Clear_Calls();
    ASSERT_EQ(Backup(), 0);
    EXPECT_TRUE(Downloads().empty());
    EXPECT_EQ(Catalog(kAlice).size(), cat.size());
}

// ---- Shared Drive ----

class SharedDriveBackup : public DriveBackup {
protected:
    std::string sd;                   // the first shared drive's id
    std::vector<std::string> drives;  // every shared drive's id, in the domain's order
    std::map<std::string, std::string> names;
    void SetUp() override {
        DriveBackup::SetUp();
        json_object* d = json_object_from_file((sim + "/domain.json").c_str());
        json_object* list = nullptr;
        json_object_object_get_ex(d, "shared_drives", &list);
        for (size_t i = 0; i < json_object_array_length(list); ++i) {
            json_object *id = nullptr, *name = nullptr;
            json_object_object_get_ex(json_object_array_get_idx(list, i), "id", &id);
            json_object_object_get_ex(json_object_array_get_idx(list, i), "name", &name);
            drives.push_back(json_object_get_string(id));
            names[drives.back()] = json_object_get_string(name);
        }
        json_object_put(d);
        ASSERT_FALSE(drives.empty());
        sd = drives.front();
    }
    std::string SD_Store(const std::string& uuid) const {
        return qlm::Backup_Service_Dir("shared_drive") + "/" + task + "/" + uuid;
    }
    // The drive's files are stored with Google's bytes under the uuid the mapping gives it.
    void Expect_SD_Stored_Like_Google(const std::string& id) {
        const std::string uuid = Mapping()[id];
        ASSERT_FALSE(uuid.empty()) << id;
        auto cat = SD_Catalog(uuid);
        const auto files = Sim_Files("shared/" + id);
        ASSERT_FALSE(files.empty()) << id;
        for (const auto& [fid, ms] : files) {
            ASSERT_TRUE(cat.count(fid)) << fid;
            EXPECT_EQ(Read_File(SD_Store(uuid) + "/" + cat[fid]["localid"]), Read_File(Blob("shared/" + id, fid))) << fid;
        }
    }
    std::map<std::string, std::string> Mapping() {
        std::map<std::string, std::string> m;
        Shared_Drive_Read_Mapping_UUID_DB(m, task.c_str());
        return m;
    }
    Rows_By_Id SD_Catalog(const std::string& uuid) {
        RAIIful_Json list(Json_List_Init());
        return By_Id(Shared_Drive_Get_DB_Data(list.get(), uuid.c_str(), task.c_str()), list);
    }
    int Backup_SD() { return Backup_Shared_Drive(&t, mission, "admin", db); }
};

TEST_F(SharedDriveBackup, TheDriveKeepsItsUuidAndItsRootRowAcrossRunsAndAnUnchangedRunDownloadsNothing) {
    ASSERT_EQ(Backup_SD(), 0);
    auto map1 = Mapping();
    ASSERT_EQ(map1.count(sd), 1u);
    const std::string uuid = map1[sd];
    auto cat1 = SD_Catalog(uuid);
    ASSERT_EQ(cat1.count(sd), 1u) << "the drive's root row from the tree";
    // GAM's top row reads "SharedDrives/<name>"; the root and every item's path keep the drive's name.
    EXPECT_EQ(cat1[sd]["name"], names[sd]);
    for (auto& [id, r] : cat1)
        EXPECT_EQ(r["structure"].find("SharedDrives/"), std::string::npos) << id << " " << r["structure"];
    const std::string folder = qlm::Backup_Service_Dir("shared_drive") + "/" + task + "/" + uuid;
    int stored = 0;
    for (auto& [id, r] : cat1)
        if (!r["localid"].empty()) {
            ++stored;
            EXPECT_EQ(Read_File(folder + "/" + r["localid"]), Read_File(sim + "/shared/" + sd + "/blobs/" + id)) << id;
        }
    EXPECT_GT(stored, 0);
    EXPECT_NE(cat1.begin()->second["members"], "");

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        Clear_Calls();
        ASSERT_EQ(Backup_SD(), 0);
        EXPECT_TRUE(Downloads().empty());
        EXPECT_EQ(Mapping()[sd], uuid);
        auto cat = SD_Catalog(uuid);
        EXPECT_EQ(cat.size(), cat1.size()) << "rows only the tree carries are never pruned";
        EXPECT_EQ(cat.count(sd), 1u);
    }
}

TEST_F(SharedDriveBackup, AnEmptySharedDriveBacksUpAsEmptyWithoutFailingTheService) {
    Write_File(Drive_Json("shared/" + sd), "{\"root_id\": \"" + sd + "\", \"items\": []}");
    ASSERT_EQ(Backup_SD(), 0);
    auto map = Mapping();
    ASSERT_EQ(map.count(sd), 1u);
    auto cat = SD_Catalog(map[sd]);
    ASSERT_EQ(cat.size(), 1u);
    EXPECT_EQ(cat.count(sd), 1u) << "only the drive's root row";
    for (const LogRow& r : Rows()) EXPECT_NE(r.status, "FAIL") << r.text;
    int64_t n = -1;
    ASSERT_EQ(Count_Shared_Drive(&t, &n, "admin", db), 0);
    EXPECT_EQ(n, 1);
}

TEST_F(SharedDriveBackup, ALostConnectionKeepsTheNewUuidSoTheRetryReusesItsFolder) {
    Fault("--tool gam --match 'get drivefile' --action conn --skip 1 --times 1");
    EXPECT_EQ(Backup_SD(), -1);
    auto map1 = Mapping();
    ASSERT_EQ(map1.count(sd), 1u) << "a new uuid is saved as soon as it is assigned";
    ASSERT_EQ(Backup_SD(), 0);
    EXPECT_EQ(Mapping()[sd], map1[sd]);
    EXPECT_EQ(Store_Files(qlm::Backup_Service_Dir("shared_drive") + "/" + task).size(), 2u)
        << "one folder and the drive's lock file";
}

TEST_F(SharedDriveBackup, ADriveNotBackedUpThisRunKeepsItsMappingRow) {
    ASSERT_EQ(Backup_SD(), 0);
    const std::string uuid = Mapping()[sd];
    // Deselected: the run backs up no drive, yet the backup stays reachable.
    t.Set_Auto_Add_Shared_Drive_Enable(0);
    t.Set_Manual_Select_Shared_Drive("[\"0Anotselected\"]");
    ASSERT_EQ(Backup_SD(), 0);
    EXPECT_EQ(Mapping()[sd], uuid);
}

TEST_F(SharedDriveBackup, ChangesGiveExactlyTheirDownloadsAndOnlyNewOrChangedFilesTheirPermissionQueries) {
    const std::string where = "shared/" + sd;
    ASSERT_EQ(Backup_SD(), 0);
    const std::string uuid = Mapping()[sd];
    const std::string folder = qlm::Backup_Service_Dir("shared_drive") + "/" + task + "/" + uuid;
    auto files = Sim_Files(where);
    ASSERT_GE(files.size(), 2u);
    const std::string changed = files.begin()->first, deleted = std::next(files.begin())->first;
    const std::string deletedLocal = SD_Catalog(uuid)[deleted]["localid"];
    Change_Content(where, changed, "the shared file, changed\n");
    const std::string added = Add_File(where, "added to the team.txt", "new in the shared drive\n");
    Delete_Item(where, deleted);
    Clear_Calls();
    ASSERT_EQ(Backup_SD(), 0);

    EXPECT_EQ(Downloads().size(), 2u);
    EXPECT_EQ(Count_Downloads_Of(changed), 1);
    EXPECT_EQ(Count_Downloads_Of(added), 1);
    auto cat = SD_Catalog(uuid);
    EXPECT_EQ(cat.count(deleted), 0u);
    EXPECT_FALSE(fs::exists(folder + "/" + deletedLocal));
    EXPECT_EQ(Read_File(folder + "/" + cat[changed]["localid"]), "the shared file, changed\n");
    EXPECT_EQ(Read_File(folder + "/" + cat[added]["localid"]), "new in the shared drive\n");
    // Unchanged files keep their members without a query; folders are asked every run.
    std::set<std::string> queried;
    for (const std::string& c : Gam_Calls(" show drivefileacls "))
        if (c.find("adminaccess") == std::string::npos)
            for (auto& [id, r] : cat)
                if (c.find(" drivefileacls " + id + " ") != std::string::npos && !r["localid"].empty())
                    queried.insert(id);
    EXPECT_EQ(queried, (std::set<std::string>{changed, added}));
    EXPECT_NE(cat[added]["members"].find(kAlice), std::string::npos) << cat[added]["members"];
}

TEST_F(SharedDriveBackup, ADownloadFailingAsTheFirstMemberIsTriedAsTheNext) {
    Fault(std::string("--tool gam --match ") + kAdmin + " --match 'get drivefile' --action fail");
    ASSERT_EQ(Backup_SD(), 0);
    const std::string uuid = Mapping()[sd];
    const std::string folder = qlm::Backup_Service_Dir("shared_drive") + "/" + task + "/" + uuid;
    auto cat = SD_Catalog(uuid);
    const auto files = Sim_Files("shared/" + sd);
    ASSERT_FALSE(files.empty());
    for (auto& [id, ms] : files) {
        SCOPED_TRACE(id);
        ASSERT_TRUE(cat.count(id));
        EXPECT_EQ(Read_File(folder + "/" + cat[id]["localid"]), Read_File(Blob("shared/" + sd, id)));
        int asAdmin = 0, asAlice = 0;
        for (const std::string& d : Downloads()) {
            if (d.find(" id " + id + " ") == std::string::npos) continue;
            asAdmin += d.rfind(std::string("user ") + kAdmin + " ", 0) == 0;
            asAlice += d.rfind(std::string("user ") + kAlice + " ", 0) == 0;
        }
        EXPECT_EQ(asAdmin, 5);
        EXPECT_EQ(asAlice, 1);
    }
}

TEST_F(SharedDriveBackup, AListingRefusedToTheFirstMemberIsRunAsTheNextAndADriveWithoutMembersIsSkipped) {
    Fault(std::string("--tool gam --match 'user ") + kAdmin + " print' --match select --action fail");
    ASSERT_EQ(Backup_SD(), 0);
    const std::string uuid = Mapping()[sd];
    EXPECT_FALSE(Gam_Calls(std::string("user ") + kAlice + " print filetree select " + sd).empty());
    auto cat = SD_Catalog(uuid);
    for (auto& [id, ms] : Sim_Files("shared/" + sd)) EXPECT_EQ(cat.count(id), 1u) << id;

    // Nobody the administrator can see: nothing is listed, and the drive keeps its uuid.
    json_object* d = json_object_from_file((sim + "/domain.json").c_str());
    json_object* drives = nullptr;
    json_object_object_get_ex(d, "shared_drives", &drives);
    json_object_object_add(json_object_array_get_idx(drives, 0), "members", json_object_new_array());
    ASSERT_EQ(json_object_to_file_ext((sim + "/domain.json").c_str(), d, JSON_C_TO_STRING_PLAIN), 0);
    json_object_put(d);
    Clear_Calls();
    ASSERT_EQ(Backup_SD(), 0);
    EXPECT_TRUE(Gam_Calls(" print ").empty());
    EXPECT_EQ(Mapping()[sd], uuid);
    EXPECT_EQ(SD_Catalog(uuid).size(), cat.size());
}

TEST_F(SharedDriveBackup, ADriveNoMemberCanListIsSkippedWithEachMembersReasonAndTheServiceGoesOn) {
    ASSERT_EQ(Backup_SD(), 0);
    const std::string uuid = Mapping()[sd];
    const auto before = SD_Catalog(uuid);
    // GAM's "failed item" on every member's listing, on every run.
    Fault("--tool gam --match 'print filelist select " + sd + "' --action fail --exit 50");
    Sql_Log_Delete_Data(task.c_str());
    Clear_Calls();
    EXPECT_EQ(Backup_SD(), 0) << "a drive that cannot be listed fails that drive, not the service";
    EXPECT_EQ(SD_Catalog(uuid), before);
    const std::vector<LogRow> rows = Rows();
    std::string row;
    for (const LogRow& r : rows)
        if (r.status == "FAIL" && r.text.find(names[sd]) != std::string::npos) row = r.text;
    ASSERT_FALSE(row.empty());
    const size_t members = Gam_Calls("print filelist select " + sd).size();
    EXPECT_GE(members, 2u);
    size_t reasons = 0;
    for (size_t at = row.find("file listing failed"); at != std::string::npos; at = row.find("file listing failed", at + 1))
        ++reasons;
    EXPECT_EQ(reasons, members) << row;
    for (size_t i = 1; i < drives.size(); ++i) Expect_SD_Stored_Like_Google(drives[i]);
}

TEST_F(SharedDriveBackup, ABrokenPermissionReplyOrTreeSkipsTheDriveWithARowAndKeepsItsBackup) {
    ASSERT_EQ(Backup_SD(), 0);
    const std::string uuid = Mapping()[sd];
    const auto before = SD_Catalog(uuid);
    const std::string name = names[sd];
    struct Case {
        std::string match;
        const char* action;
        std::string row;
    } cases[] = {
        {"drivefileacls " + sd + " adminaccess", "truncate", "Shared Drive permission listing of " + name + " is incomplete: "},
        {"drivefileacls " + sd + " adminaccess", "garbage", "Shared Drive permission listing of " + name + " is unreadable: "},
        {"drivefileacls " + sd + " adminaccess", "empty", "Shared Drive permission listing of " + name + " is unreadable: "},
        {"print filetree select " + sd, "truncate", "Failed to retrieve Shared Drive item list for shared drive " + name},
        {"print filetree select " + sd, "garbage", "Failed to retrieve Shared Drive item list for shared drive " + name},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.match + " " + c.action);
        ASSERT_EQ(system((Gwssim() + " fault " + sim + " clear").c_str()), 0);
        Fault("--tool gam --match '" + c.match + "' --action " + c.action);
        Sql_Log_Delete_Data(task.c_str());
        ASSERT_EQ(Backup_SD(), 0);
        EXPECT_EQ(SD_Catalog(uuid), before);
        EXPECT_TRUE(Has_Row("FAIL", c.row));
        // Every stored file has its row and every row its file.
        std::set<std::string> files, named;
        for (const auto& e : fs::directory_iterator(SD_Store(uuid))) files.insert(e.path().filename().string());
        for (auto& [id, row] : before)
            if (!row.at("localid").empty() && fs::exists(SD_Store(uuid) + "/" + row.at("localid")))
                named.insert(row.at("localid"));
        EXPECT_EQ(files, named);
    }
    Expect_SD_Stored_Like_Google(sd);
}

TEST_F(SharedDriveBackup, AFailedPermissionQueryKeepsTheMembersTheItemHad) {
    const std::string where = "shared/" + sd;
    ASSERT_EQ(Backup_SD(), 0);
    const std::string uuid = Mapping()[sd];
    const std::string id = Sim_Files(where).begin()->first;
    const std::string members = SD_Catalog(uuid)[id]["members"];
    ASSERT_NE(members.find("@"), std::string::npos) << members;
    Change_Content(where, id, "changed, so its members are asked again\n");
    Fault("--tool gam --match 'drivefileacls " + id + " formatjson' --action fail");
    ASSERT_EQ(Backup_SD(), 0);
    auto cat = SD_Catalog(uuid);
    EXPECT_EQ(cat[id]["members"], members);
    EXPECT_EQ(cat[id]["md5Checksum"], Md5_Hex(Blob(where, id))) << "the item itself was backed up";
    EXPECT_TRUE(Has_Row("FAIL", "Failed to get Shared Drive file ACL info for file Name "));
}

TEST_F(SharedDriveBackup, AHostileDriveNameIsKeptInTheMappingAsItIs) {
    const std::string name = "Team's \"$(touch pwned)\", 100% %s/..";
    json_object* d = json_object_from_file((sim + "/domain.json").c_str());
    json_object* drives = nullptr;
    json_object_object_get_ex(d, "shared_drives", &drives);
    json_object_object_add(json_object_array_get_idx(drives, 0), "name", json_object_new_string(name.c_str()));
    ASSERT_EQ(json_object_to_file_ext((sim + "/domain.json").c_str(), d, JSON_C_TO_STRING_PLAIN), 0);
    json_object_put(d);
    ASSERT_EQ(Backup_SD(), 0);
    RAIIful_Json rows(Json_List_Init());
    ASSERT_EQ(Shared_Drive_Get_Mapping_UUID_DB_Data(rows.get(), task.c_str()), 0);
    ASSERT_EQ(Json_List_Size(rows.get()), 1);
    const char* stored = nullptr;
    ASSERT_EQ(Json_Dict_Find_Str(Json_List_Child(rows.get(), 0), "shared_drive_name", stored), 0);
    EXPECT_EQ(std::string(stored), name);
    EXPECT_FALSE(fs::exists("pwned"));
    EXPECT_FALSE(fs::exists(root + "/pwned"));
}

TEST_F(SharedDriveBackup, ADriveWhoseLockIsHeldIsSkippedWithARowAndKeepsItsMappingRow) {
    ASSERT_EQ(Backup_SD(), 0);
    const std::string uuid = Mapping()[sd];
    const auto cat = SD_Catalog(uuid);
    // A browse of the drive holds its lock.
    int fd = -1;
    ASSERT_EQ(Get_File_Lock((qlm::Backup_Service_Dir("shared_drive") + "/" + task + "/" + sd + ".shared_drive_lck").c_str(),
                            0, fd),
              0);
    Clear_Calls();
    const int rc = Backup_SD();
    Release_File_Lock(fd);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(Has_Row("FAIL", "Shared Drive backup is already in progress for shared drive "));
    EXPECT_TRUE(Gam_Calls(" print ").empty());
    EXPECT_EQ(Mapping()[sd], uuid);
    EXPECT_EQ(SD_Catalog(uuid).size(), cat.size());
}

TEST_F(SharedDriveBackup, APreCountCountsTheTreeAndADriveThatCannotBeCountedAsZero) {
    int64_t n = -1;
    ASSERT_EQ(Count_Shared_Drive(&t, &n, "admin", db), 0);
    EXPECT_GT(n, static_cast<int64_t>(Sim_Files("shared/" + sd).size()));
    Fault("--tool gam --match filetree --action fail");
    ASSERT_EQ(Count_Shared_Drive(&t, &n, "admin", db), 0);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(Has_Row("FAIL", "Failed to count Shared Drive items for "));
}

}  // namespace

namespace {

// Two shared drives, so a drive that is skipped can be seen not to stop the other.
class TwoSharedDrives : public SharedDriveBackup {
protected:
    TwoSharedDrives() { initArgs = "--users 2 --files 3 --shared-drives 2"; }
    void SetUp() override {
        SharedDriveBackup::SetUp();
        ASSERT_GE(drives.size(), 2u);
    }
    // A change in the second drive, whose download shows the service went on past the first.
    std::string Change_Second(const std::string& content) {
        const std::string id = Sim_Files("shared/" + drives[1]).begin()->first;
        Change_Content("shared/" + drives[1], id, content);
        return id;
    }
};

TEST_F(TwoSharedDrives, AFailingAdministratorPermissionQuerySkipsThatDriveWithARowAndTheOthersGoOn) {
    ASSERT_EQ(Backup_SD(), 0);
    const std::string uuid = Mapping()[sd];
    const auto cat = SD_Catalog(uuid);
    const std::string changed = Change_Second("the second drive, changed\n");
    Fault("--tool gam --match adminaccess --match " + sd + " --action fail");
    Clear_Calls();
    // Never a failed attempt: the retries would hold the run for a day and a half and end it
    // before Calendar, Contacts and Drive.
    EXPECT_EQ(Backup_SD(), 0);
    EXPECT_TRUE(Has_Row("FAIL", "Failed to get Shared Drive permission list for shared drive " + names[sd]));
    EXPECT_TRUE(Gam_Calls(" select " + sd + " ").empty()) << "the drive was skipped";
    EXPECT_EQ(Mapping()[sd], uuid);
    EXPECT_EQ(SD_Catalog(uuid).size(), cat.size());
    EXPECT_EQ(Count_Downloads_Of(changed), 1);
    Expect_SD_Stored_Like_Google(drives[1]);
}

TEST_F(TwoSharedDrives, AnUnreadableCatalogSkipsThatDriveWithARowAndTheOthersGoOn) {
    ASSERT_EQ(Backup_SD(), 0);
    const std::string uuid = Mapping()[sd];
    const std::string catalog = qlm::Backup_Service_Dir("shared_drive_db") + "/" + task + "/" + uuid + ".db";
    ASSERT_TRUE(fs::exists(catalog));
    Write_File(catalog, std::string(4096, 'x'));
    const auto stored = Store_Files(SD_Store(uuid));
    const std::string changed = Change_Second("the second drive, changed again\n");
    Clear_Calls();
    EXPECT_EQ(Backup_SD(), 0);
    EXPECT_TRUE(Has_Row("FAIL", "Failed to read Shared Drive catalog for shared drive " + names[sd]));
    EXPECT_EQ(Store_Files(SD_Store(uuid)), stored);
    EXPECT_EQ(Read_File(catalog), std::string(4096, 'x'));
    EXPECT_EQ(Count_Downloads_Of(changed), 1);
    Expect_SD_Stored_Like_Google(drives[1]);
}

TEST_F(TwoSharedDrives, WithAutoAddOffOnlyTheHandPickedDrivesAreBackedUpAndNobodyPickedMeansNone) {
    const PickCase cases[] = {
        {"no text stored", "", {}},
        {"an empty list", "[]", {}},
        {"the second picked", "[\"" + drives[1] + "\"]", {drives[1]}},
    };
    t.Set_Auto_Add_Shared_Drive_Enable(0);
    for (const PickCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(t.Set_Manual_Select_Shared_Drive(c.manual.c_str()), 0);
        Clear_Calls();
        ASSERT_EQ(Backup_SD(), 0);
        std::set<std::string> listed;
        for (const std::string& id : drives)
            if (!Gam_Calls(" print filelist select " + id + " ").empty()) listed.insert(id);
        EXPECT_EQ(listed, c.chosen);
        int64_t count = -1;
        ASSERT_EQ(Count_Shared_Drive(&t, &count, "admin", db), 0);
        EXPECT_EQ(count == 0, c.chosen.empty()) << count;
    }
}

TEST_F(TwoSharedDrives, ADriveWhoseLockOrFolderCannotBeMadeIsSkippedWithAFailRowAndTheOthersGoOn) {
    ASSERT_EQ(Backup_SD(), 0);
    // A file where the first drive's store folder belongs.
    const std::string uuid = Mapping()[sd];
    fs::remove_all(SD_Store(uuid));
    Write_File(SD_Store(uuid), "not a folder");
    // A shared drive whose id of 300 bytes makes its lock file's name too long.
    const std::string longID = "0A" + std::string(298, 'L');
    Edit_Domain([&](json_object* d) {
        json_object* list = nullptr;
        json_object_object_get_ex(d, "shared_drives", &list);
        json_object* e = json_object_new_object();
        json_object_object_add(e, "id", json_object_new_string(longID.c_str()));
        json_object_object_add(e, "name", json_object_new_string("Long Id Drive"));
        json_object_object_add(e, "members", json_object_new_array());
        json_object_array_add(list, e);
    });
    const std::string changed = Change_Second("the second drive, changed once more\n");
    Clear_Calls();
    EXPECT_EQ(Backup_SD(), 0);
    EXPECT_TRUE(Has_Row("FAIL", "Skipped Shared Drive backup for shared drive Long Id Drive: its lock file cannot be "
                                "made (File name too long)."));
    EXPECT_TRUE(Has_Row("FAIL", "Skipped Shared Drive backup for shared drive " + names[sd] +
                                    ": its store folder cannot be made (Not a directory)."));
    EXPECT_FALSE(Has_Row("FAIL", "Shared Drive backup is already in progress")) << "no lock was held";
    EXPECT_EQ(Count_Downloads_Of(changed), 1);
    Expect_SD_Stored_Like_Google(drives[1]);
}

}  // namespace
