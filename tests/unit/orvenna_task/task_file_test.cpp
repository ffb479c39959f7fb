// GWSTask against a private test root: the task file, the key moves around it, and the refusals
// of texts that would otherwise become paths.
#include "orvenna_task.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "appgenerallib/keystore.h"
#include "common/paths.h"
#include "plat_string.h"

namespace {

namespace fs = std::filesystem;
using plattest::Read_File;
using plattest::Write_File;

bool Exists(const std::string& p) { return fs::exists(fs::symlink_status(p)); }

// Makes file writes beyond a few bytes fail (EFBIG) for one scope: the only way, as root, to make
// a whole-file write fail after the key has moved.
class FileSizeLimit {
public:
    FileSizeLimit() {
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit small{16, old_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, oldHandler_);
    }

private:
    rlimit old_{};
    sighandler_t oldHandler_;
};

class TaskFile : public ::testing::Test {
protected:
    plattest::TempDir root;
    plattest::ScopedEnv rootEnv{"QLM_ROOT", root.path()};
    plattest::ScopedEnv clockEnv{"QLM_FIXED_TIME", "1700000000"};

    void SetUp() override {
        for (const std::string& d : {qlm::Db_Tmp_Dir(), qlm::Conf_Dir(), qlm::Sa_Dir()}) fs::create_directories(d);
    }

    // What a successful key upload leaves: the encrypted key and the user list of n users.
    std::string Upload(int users = 3) {
        std::string auth = smbbackup::Create_New_ID();
        Write_File(qlm::Pending_Key_Path(auth), "v1.token-of-" + auth);
        std::string list = "{\"user_list\":[";
        for (int i = 0; i < users; ++i) list += std::string(i ? "," : "") + "{\"iD\":\"" + std::to_string(i) + "\"}";
        Write_File(qlm::User_List_Path(auth), list + "],\"domain_list\":[\"example.com\"],\"customer_id\":\"C1\"}");
        return auth;
    }

    static void Fill(GWSTask& t, const std::string& auth, int autoUser = 1, int autoDrive = 1) {
        ASSERT_EQ(t.Create_And_Set_New_Task_ID(), 0);
        ASSERT_EQ(t.Set_Task_Status("Stand_by"), 0);
        ASSERT_EQ(t.Set_Auth_ID(auth.c_str()), 0);
        ASSERT_EQ(t.Set_Admin_Email("admin@example.com"), 0);
        t.Set_Backup_Drive_Enable(1);
        t.Set_Backup_Shared_Drive_Enable(1);
        t.Set_Backup_Contact_Enable(0);
        t.Set_Backup_Calendar_Enable(1);
        t.Set_Backup_Gmail_Enable(0);
        t.Set_Auto_Add_User_Enable(autoUser);
        t.Set_Auto_Add_Shared_Drive_Enable(autoDrive);
        ASSERT_EQ(t.Set_Manual_Select_Domain_User("[\"u1\",\"u2\"]"), 0);
        ASSERT_EQ(t.Set_Manual_Select_Shared_Drive("[\"d1\"]"), 0);
    }

    // A stored task; its id.
    std::string Create(const std::string& auth, int autoUser = 1, int autoDrive = 1) {
        GWSTask t;
        Fill(t, auth, autoUser, autoDrive);
        EXPECT_EQ(t.Create_A_New_Configure_File(), 0);
        return t.Get_Task_ID();
    }

    // Drops every line of the task file whose key is `key`.
    static void Drop_Key(const std::string& id, const std::string& key) {
        std::string text = Read_File(qlm::Task_Conf_Path(id)), out;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos + 1);
            if (line.rfind(key + " =", 0) != 0) out += line;
            pos = end == std::string::npos ? text.size() : end + 1;
        }
        Write_File(qlm::Task_Conf_Path(id), out);
    }
};

TEST_F(TaskFile, CreateStoresEveryFieldMovesTheKeyAndUsesTheUserList) {
    std::string auth = Upload(3);
    std::string id = Create(auth, 0, 0);

    EXPECT_FALSE(Exists(qlm::Pending_Key_Path(auth)));
    EXPECT_EQ(Read_File(qlm::Stored_Key_Path(auth)), "v1.token-of-" + auth);
    EXPECT_FALSE(Exists(qlm::User_List_Path(auth)));
    struct stat st {};
    ASSERT_EQ(stat(qlm::Task_Conf_Path(id).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string text = Read_File(qlm::Task_Conf_Path(id));
    EXPECT_NE(text.find("\nschedule_frequence =\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("schedule_year"), std::string::npos) << "unset schedule numbers are not written";
    EXPECT_EQ(text.find("schedule_backup_enable"), std::string::npos);

    GWSTask t(id.c_str());
    EXPECT_STREQ(t.Get_Task_ID(), id.c_str());
    EXPECT_STREQ(t.Get_Task_Status(), "Stand_by");
    EXPECT_STREQ(t.Get_Auth_ID(), auth.c_str());
    EXPECT_STREQ(t.Get_Admin_Email(), "admin@example.com");
    EXPECT_EQ(t.Get_Create_Time(), 1700000000);
    EXPECT_EQ(t.Get_Conf_Version(), 0);
    EXPECT_EQ(t.Get_Total_User_Num(), 3);
    EXPECT_EQ(t.Get_Backup_Drive_Enable(), 1);
    EXPECT_EQ(t.Get_Backup_Shared_Drive_Enable(), 1);
    EXPECT_EQ(t.Get_Backup_Contact_Enable(), 0);
    EXPECT_EQ(t.Get_Backup_Calendar_Enable(), 1);
    EXPECT_EQ(t.Get_Backup_Gmail_Enable(), 0);
    EXPECT_EQ(t.Get_Auto_Add_User_Enable(), 0);
    EXPECT_EQ(t.Get_Auto_Add_Shared_Drive_Enable(), 0);
    EXPECT_STREQ(t.Get_Manual_Select_Domain_User(), "[\"u1\",\"u2\"]");
    EXPECT_STREQ(t.Get_Manual_Select_Shared_Drive(), "[\"d1\"]");
    EXPECT_EQ(t.Get_Schedule_Year(), -1);
    EXPECT_STREQ(t.Get_Schedule_Backup_Frequence(), "");
}

TEST_F(TaskFile, LoadRefusesWhatNamesNoTask) {
    // A file planted outside the task folder must not load through a relative id.
    fs::create_directories(qlm::Db_Dir() + "/elsewhere");
    std::string id = Create(Upload());
    fs::copy_file(qlm::Task_Conf_Path(id), qlm::Db_Dir() + "/elsewhere/" + id);
    struct Case {
        const char* name;
        std::string text;
        bool null;
        int rc;
    } cases[] = {
        {"null", "", true, -161},
        {"no file", smbbackup::Create_New_ID(), false, -2},
        {"relative path", "../elsewhere/" + id, false, -2},
        {"not an id", "task", false, -2},
    };
    for (const Case& c : cases) {
        GWSTask t;
        EXPECT_EQ(t.Load_Task_Data(c.null ? nullptr : c.text.c_str()), c.rc) << c.name;
        EXPECT_STREQ(t.Get_Task_ID(), "") << c.name << ": the id member stays unset";
    }
}

TEST_F(TaskFile, EveryRequiredKeyIsRequired) {
    for (const char* key : {"task_status", "configure_version", "create_time", "auth_id", "admin_email",
                            "drive_enable", "shared_drive_enable", "calendar_enable", "gmail_enable",
                            "contact_enable", "auto_add_user_enable", "auto_add_shared_drive_enable",
                            "total_user_number"}) {
        std::string id = Create(Upload());
        Drop_Key(id, key);
        GWSTask t;
        EXPECT_EQ(t.Load_Task_Data(id.c_str()), -161) << key;
    }
}

TEST_F(TaskFile, HandPickedListsAreRequiredOnlyWhileTheirServicesAreOn) {
    struct Case {
        const char* name;
        int autoUser, userServices, autoDrive, sharedDrive;
        const char* dropped;
        int rc;
    } cases[] = {
        {"users auto-added", 1, 1, 1, 1, "manual_domain_user", 0},
        {"users picked", 0, 1, 1, 1, "manual_domain_user", -161},
        {"users picked, no user service", 0, 0, 1, 1, "manual_domain_user", 0},
        {"drives auto-added", 1, 1, 1, 1, "manual_shared_drive", 0},
        {"drives picked", 1, 1, 0, 1, "manual_shared_drive", -161},
        {"drives picked, shared drives off", 1, 1, 0, 0, "manual_shared_drive", 0},
    };
    for (const Case& c : cases) {
        GWSTask w;
        Fill(w, Upload(), c.autoUser, c.autoDrive);
        for (auto set : {&GWSTask::Set_Backup_Drive_Enable, &GWSTask::Set_Backup_Contact_Enable,
                         &GWSTask::Set_Backup_Calendar_Enable, &GWSTask::Set_Backup_Gmail_Enable})
            (w.*set)(c.userServices);
        w.Set_Backup_Shared_Drive_Enable(c.sharedDrive);
        ASSERT_EQ(w.Create_A_New_Configure_File(), 0) << c.name;
        Drop_Key(w.Get_Task_ID(), c.dropped);
        GWSTask t;
        EXPECT_EQ(t.Load_Task_Data(w.Get_Task_ID()), c.rc) << c.name;
    }
}

TEST_F(TaskFile, TextMembersReadEmptyWhenUnsetAndKeepTheirValueOnAFailedSet) {
    using Get = const char* (GWSTask::*)() const;
    using Set = int (GWSTask::*)(const char*);
    const std::pair<Get, Set> texts[] = {
        {&GWSTask::Get_Task_Status, &GWSTask::Set_Task_Status},
        {&GWSTask::Get_Task_ID, &GWSTask::Set_Task_ID},
        {&GWSTask::Get_Auth_ID, &GWSTask::Set_Auth_ID},
        {&GWSTask::Get_Admin_Email, &GWSTask::Set_Admin_Email},
        {&GWSTask::Get_Schedule_Backup_Frequence, &GWSTask::Set_Schedule_Backup_Frequence},
        {&GWSTask::Get_Schedule_Day, &GWSTask::Set_Schedule_Day},
        {&GWSTask::Get_Schedule_Week, &GWSTask::Set_Schedule_Week},
        {&GWSTask::Get_Manual_Select_Domain_User, &GWSTask::Set_Manual_Select_Domain_User},
        {&GWSTask::Get_Manual_Select_Shared_Drive, &GWSTask::Set_Manual_Select_Shared_Drive},
    };
    GWSTask t;
    for (const auto& [get, set] : texts) {
        ASSERT_NE((t.*get)(), nullptr);
        EXPECT_STREQ((t.*get)(), "");
        EXPECT_EQ((t.*set)("first"), 0);
        EXPECT_EQ((t.*set)(nullptr), -61);
        EXPECT_STREQ((t.*get)(), "first");
    }
    t.Free_All_Varible();
    EXPECT_STREQ(t.Get_Task_ID(), "");
    EXPECT_EQ(t.Get_Total_User_Num(), -1);
}

TEST_F(TaskFile, TheThirtyThirdTaskIsRefusedAndTheUploadStays) {
    for (int i = 0; i < kMaxGwsTasks; ++i) Write_File(qlm::Task_Conf_Path(smbbackup::Create_New_ID()), "");
    std::string auth = Upload();
    GWSTask t;
    Fill(t, auth);
    EXPECT_EQ(t.Create_A_New_Configure_File(), -194);
    EXPECT_FALSE(Exists(qlm::Task_Conf_Path(t.Get_Task_ID())));
    EXPECT_TRUE(Exists(qlm::Pending_Key_Path(auth)));
    EXPECT_TRUE(Exists(qlm::User_List_Path(auth)));
    EXPECT_EQ(Get_All_GWS_Task_ID_In_Vector().size(), static_cast<size_t>(kMaxGwsTasks));
}

TEST_F(TaskFile, AFailedCreateLeavesTheUploadUsable) {
    {
        SCOPED_TRACE("no user list");
        std::string auth = Upload();
        fs::remove(qlm::User_List_Path(auth));
        GWSTask t;
        Fill(t, auth);
        EXPECT_EQ(t.Create_A_New_Configure_File(), -161);
        EXPECT_TRUE(Exists(qlm::Pending_Key_Path(auth)));
        EXPECT_FALSE(Exists(qlm::Stored_Key_Path(auth)));
        EXPECT_FALSE(Exists(qlm::Task_Conf_Path(t.Get_Task_ID())));
    }
    {
        SCOPED_TRACE("task file not written");
        std::string auth = Upload();
        GWSTask t;
        Fill(t, auth);
        int rc;
        {
            FileSizeLimit limit;
            rc = t.Create_A_New_Configure_File();
        }
        EXPECT_LT(rc, 0);
        EXPECT_TRUE(Exists(qlm::Pending_Key_Path(auth)));
        EXPECT_TRUE(Exists(qlm::User_List_Path(auth)));
        EXPECT_FALSE(Exists(qlm::Stored_Key_Path(auth)));
        EXPECT_FALSE(Exists(qlm::Task_Conf_Path(t.Get_Task_ID())));
        EXPECT_EQ(t.Create_A_New_Configure_File(), 0) << "the same upload still makes the task";
    }
}

TEST_F(TaskFile, UpdateKeepsCreationKeysAndBlanksListsItDidNotLoad) {
    std::string auth = Upload(5);
    std::string id = Create(auth, 1, 1);  // auto-add: the lists are written but never loaded
    GWSTask t(id.c_str());
    ASSERT_STREQ(t.Get_Manual_Select_Domain_User(), "");
    t.Set_Backup_Gmail_Enable(1);
    ASSERT_EQ(t.Update_Change_To_Configure(), 0);

    EXPECT_EQ(Read_File(qlm::Stored_Key_Path(auth)), "v1.token-of-" + auth) << "same key, nothing moved";
    std::string text = Read_File(qlm::Task_Conf_Path(id));
    EXPECT_NE(text.find("\nmanual_domain_user =\n"), std::string::npos) << text;
    GWSTask back(id.c_str());
    EXPECT_EQ(back.Get_Backup_Gmail_Enable(), 1);
    EXPECT_EQ(back.Get_Create_Time(), 1700000000);
    EXPECT_EQ(back.Get_Total_User_Num(), 5);
    EXPECT_EQ(back.Get_Conf_Version(), 0);
}

TEST_F(TaskFile, AKeyChangeInstallsTheNewKeyBeforeTheOldOneGoes) {
    std::string oldAuth = Upload();
    std::string id = Create(oldAuth);
    std::string cache = qlm::Task_Listing_Cache_Dir(id);
    auto makeCache = [&] {
        fs::create_directories(cache);
        Write_File(cache + "/domain_user", "{}");
        Write_File(cache + "/shared_drive", "{}");
    };
    auto storedAuth = [&] { return std::string(GWSTask(id.c_str()).Get_Auth_ID()); };

    {
        SCOPED_TRACE("new key never uploaded");
        makeCache();
        GWSTask t(id.c_str());
        std::string missing = smbbackup::Create_New_ID();
        t.Set_Auth_ID(missing.c_str());
        EXPECT_EQ(t.Update_Change_To_Configure(), -2);
        EXPECT_TRUE(Exists(qlm::Stored_Key_Path(oldAuth)));
        EXPECT_EQ(storedAuth(), oldAuth);
        EXPECT_TRUE(Exists(cache + "/domain_user"));
    }
    {
        SCOPED_TRACE("task file not rewritten");
        std::string newAuth = Upload();
        GWSTask t(id.c_str());
        t.Set_Auth_ID(newAuth.c_str());
        int rc;
        {
            FileSizeLimit limit;
            rc = t.Update_Change_To_Configure();
        }
        EXPECT_LT(rc, 0);
        EXPECT_TRUE(Exists(qlm::Stored_Key_Path(oldAuth)));
        EXPECT_TRUE(Exists(qlm::Pending_Key_Path(newAuth))) << "the new key is put back for a retry";
        EXPECT_FALSE(Exists(qlm::Stored_Key_Path(newAuth)));
        EXPECT_EQ(storedAuth(), oldAuth);
    }
    {
        SCOPED_TRACE("success");
        std::string newAuth = Upload();
        GWSTask t(id.c_str());
        t.Set_Auth_ID(newAuth.c_str());
        ASSERT_EQ(t.Update_Change_To_Configure(), 0);
        EXPECT_FALSE(Exists(qlm::Stored_Key_Path(oldAuth)));
        EXPECT_EQ(Read_File(qlm::Stored_Key_Path(newAuth)), "v1.token-of-" + newAuth);
        EXPECT_FALSE(Exists(qlm::Pending_Key_Path(newAuth)));
        EXPECT_EQ(storedAuth(), newAuth);
        EXPECT_FALSE(Exists(cache + "/domain_user")) << "the cached listing was of the old key";
        EXPECT_FALSE(Exists(cache + "/shared_drive"));
    }
    {
        SCOPED_TRACE("admin e-mail changed");
        makeCache();
        GWSTask t(id.c_str());
        t.Set_Admin_Email("other@example.org");
        ASSERT_EQ(t.Update_Change_To_Configure(), 0);
        EXPECT_FALSE(Exists(cache + "/domain_user"));
    }
}

TEST_F(TaskFile, UpdateOfAVanishedTaskFails) {
    std::string id = Create(Upload());
    GWSTask t(id.c_str());
    fs::remove(qlm::Task_Conf_Path(id));
    EXPECT_EQ(t.Update_Change_To_Configure(), -231);
    EXPECT_FALSE(Exists(qlm::Task_Conf_Path(id)));
}

TEST_F(TaskFile, KeyMovesRefuseIdsThatAreNotIds) {
    // Files a relative id would reach: tmp/../sa/victim_en and sa/../conf/<task>.
    std::string id = Create(Upload());
    Write_File(qlm::Sa_Dir() + "/victim_en", "x");
    GWSTask t;
    t.Set_Auth_ID("../sa/victim");
    EXPECT_EQ(t.Move_Temporary_SA_Key_To_Official_Storage(nullptr), -22);
    EXPECT_TRUE(Exists(qlm::Sa_Dir() + "/victim_en"));

    std::string auth = Upload();
    t.Set_Auth_ID(auth.c_str());
    std::string traversal = "../conf/" + id;
    EXPECT_EQ(t.Move_Temporary_SA_Key_To_Official_Storage(traversal.c_str()), 0);
    EXPECT_TRUE(Exists(qlm::Task_Conf_Path(id))) << "the old-key argument reached a task file";
    EXPECT_TRUE(Exists(qlm::Stored_Key_Path(auth)));

    // The same id as the old one is the key just installed: it stays.
    std::string again = Upload();
    t.Set_Auth_ID(again.c_str());
    EXPECT_EQ(t.Move_Temporary_SA_Key_To_Official_Storage(again.c_str()), 0);
    EXPECT_TRUE(Exists(qlm::Stored_Key_Path(again)));
}

TEST_F(TaskFile, DeleteRemovesTheTaskItsKeyAndItsDriveBackupsOnly) {
    std::string auth = Upload(), otherAuth = Upload();
    std::string id = Create(auth), other = Create(otherAuth);
    const char* removed[] = {"drive", "drive_db"};
    const char* kept[] = {"gmail", "gmail_db", "shared_drive", "calendar_db", "contact_db"};
    for (const char* s : removed) {
        fs::create_directories(qlm::Backup_Service_Dir(s) + "/" + id + "/u");
        Write_File(qlm::Backup_Service_Dir(s) + "/" + id + "/u/f", "x");
    }
    for (const char* s : kept) fs::create_directories(qlm::Backup_Service_Dir(s) + "/" + id);
    fs::create_directories(qlm::Backup_Service_Dir("drive") + "/" + other);

    GWSTask t(id.c_str());
    EXPECT_EQ(t.Delete_Task(), 0);
    EXPECT_FALSE(Exists(qlm::Task_Conf_Path(id)));
    EXPECT_FALSE(Exists(qlm::Stored_Key_Path(auth)));
    for (const char* s : removed) EXPECT_FALSE(Exists(qlm::Backup_Service_Dir(s) + "/" + id)) << s;
    for (const char* s : kept) EXPECT_TRUE(Exists(qlm::Backup_Service_Dir(s) + "/" + id)) << s;
    EXPECT_TRUE(Exists(qlm::Task_Conf_Path(other)));
    EXPECT_TRUE(Exists(qlm::Stored_Key_Path(otherAuth)));
    EXPECT_TRUE(Exists(qlm::Backup_Service_Dir("drive") + "/" + other));

    // Members that are not ids (a task that never loaded) reach nothing.
    GWSTask bad;
    bad.Set_Task_ID("..");
    bad.Set_Auth_ID(("../conf/" + other).c_str());
    EXPECT_EQ(bad.Delete_Task(), 0);
    EXPECT_TRUE(Exists(qlm::Backup_Service_Dir("drive")));
    EXPECT_TRUE(Exists(qlm::Task_Conf_Path(other)));
}

TEST_F(TaskFile, TaskIdsAreTheIdNamedEntriesOfTheTaskFolder) {
    std::string id = smbbackup::Create_New_ID();
    Write_File(qlm::Task_Conf_Path(id), "");
    Write_File(qlm::Task_Conf_Path(id + ".tmp"), "");
    Write_File(qlm::Task_Conf_Path("." + id + ".Ab12Cd"), "");
    Write_File(qlm::Task_Conf_Path("notes"), "");
    fs::create_directories(qlm::Mission_Dir());
    EXPECT_EQ(Get_All_GWS_Task_ID_In_Vector(), std::vector<std::string>{id});

    fs::remove_all(qlm::Conf_Dir());
    EXPECT_TRUE(Get_All_GWS_Task_ID_In_Vector().empty());
}

}  // namespace
