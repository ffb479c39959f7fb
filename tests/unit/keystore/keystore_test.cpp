// The key store and GAM's per-process folder, under a private test root whose bin/ holds two small
// shell programs in place of scoutix and gam: they record how they were called and answer from
// files the test prepares, so every failure of the set-up can be produced at will.
#include "appgenerallib/keystore.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "common/atomicfile.h"
#include "common/paths.h"
#include "plat_conf.h"
#include "plat_string.h"

namespace {

namespace fs = std::filesystem;
using plattest::Read_File;
using plattest::Write_File;

bool Exists(const std::string& p) { return fs::exists(fs::symlink_status(p)); }

unsigned Mode(const std::string& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

// Names in folder that start with prefix or end with suffix.
std::vector<std::string> Entries(const std::string& folder, const std::string& prefix, const std::string& suffix) {
    std::vector<std::string> out;
    if (!fs::exists(folder)) return out;
    for (const auto& e : fs::directory_iterator(folder)) {
        std::string n = e.path().filename().string();
        bool pre = !prefix.empty() && n.rfind(prefix, 0) == 0;
        bool suf = !suffix.empty() && n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0;
        if (pre || suf) out.push_back(n);
    }
    return out;
}

// The call log of the scoutix stand-in: one block per call (argv items, the key file's mode).
constexpr const char kScoutix[] = R"sh(#!/bin/sh
f="$QLM_ROOT/fake"
{ echo "argc=$#"; printf '%s\n' "$@"; stat -c %a "$2"; echo --; } >> "$f/scoutix.log"
cp "$2" "$f/seen_key"
[ -f "$f/info_rc" ] && exit "$(cat "$f/info_rc")"
cat "$f/info.json"
)sh";

// gam run bare: creates the folder GAMCFGDIR names with a default gam.cfg, as GAM's first run does.
constexpr const char kGam[] = R"sh(#!/bin/sh
f="$QLM_ROOT/fake"
echo "$GAMCFGDIR" >> "$f/gam.log"
[ -f "$f/gam_fail" ] && exit 1
mkdir -p "$GAMCFGDIR" || exit 1
[ -f "$GAMCFGDIR/gam.cfg" ] || printf '[DEFAULT]\nno_browser = true\ndomain =\n\n[other]\nkeep = 1\n' > "$GAMCFGDIR/gam.cfg"
)sh";

constexpr const char kPlainKey[] =
    R"({"type":"service_account","private_key_id":"k1","client_email":"sa@p.iam","us_scopes":{"gmail":["https:\/\/mail.google.com\/"]}})";
constexpr const char kInfo[] =
    R"({"user_list":[{"iD":"1","Email":"a@example.com"}],"domain_list":["example.com","example.org"],"customer_id":"C0ab12"})";

class KeyStore : public ::testing::Test {
protected:
    plattest::TempDir root;
    plattest::ScopedEnv rootEnv{"QLM_ROOT", root.path()};
    std::string fake = root / "fake";
    std::string auth = smbbackup::Create_New_ID();

    void SetUp() override {
        fs::create_directories(fake);
        fs::create_directories(qlm::Bin_Dir());
        for (auto [name, text] : {std::pair{"scoutix", kScoutix}, std::pair{"gam", kGam}}) {
            Write_File(qlm::Tool_Path(name), text);
            fs::permissions(qlm::Tool_Path(name), fs::perms::owner_all);
        }
        Write_File(fake + "/info.json", kInfo);
    }
    void TearDown() override {
        Remove_Gam_Folder();
        unsetenv("GAMCFGDIR");
    }
    void Remove_Gam_Folder() {
        std::error_code ec;
        fs::remove_all(qlm::Gam_Dir() + "." + std::to_string(getpid()), ec);
    }

    // A key that passed its checks (tmp/<auth>_en); Stored() moves it where a task keeps it.
    void Pending() { ASSERT_EQ(qlm::Store_Pending_Service_Account_Key(kPlainKey, auth.c_str()), 0); }
    void Stored() {
        Pending();
        fs::create_directories(qlm::Sa_Dir());
        fs::rename(qlm::Pending_Key_Path(auth), qlm::Stored_Key_Path(auth));
    }
    int Scoutix_Calls() {
        std::string log = Read_File(fake + "/scoutix.log");
        int n = 0;
        for (size_t p = 0; (p = log.find("--\n", p)) != std::string::npos; p += 3) ++n;
        return n;
    }
    std::vector<std::string> Scoutix_Argv() {
        std::istringstream in(Read_File(fake + "/scoutix.log"));
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    void Expect_No_Plain_Leftovers() {
        EXPECT_TRUE(Entries(qlm::Db_Tmp_Dir(), "", "_de").empty()) << "a decrypted key stayed";
        EXPECT_TRUE(Entries(qlm::Tmp_Dir(), "tnq_", "").empty()) << "the listing stayed";
    }
    static std::string Pair(const std::string& cfg, const char* section, const char* key) {
        _T_STR_SECT_NODE_* raw = nullptr;
        if (Get_Conf_File_Section(cfg.c_str(), section, &raw) != 0 || raw == nullptr) return "<no section>";
        Sect_List_Ptr s(raw);
        std::string v;
        return Get_Pair_String_Buffer(s.get(), key, v) == 0 ? v : "<absent>";
    }
};

TEST_F(KeyStore, DecryptionGivesAPrivateFileOfItsOwnPerCall) {
    Pending();
    std::string token = Read_File(qlm::Pending_Key_Path(auth));
    EXPECT_EQ(token.find_first_of(" \t\r\n"), std::string::npos);
    EXPECT_EQ(Mode(qlm::Pending_Key_Path(auth)), 0600u);
    EXPECT_EQ(token.find("service_account"), std::string::npos);

    std::string a, b;
    ASSERT_EQ(TMP_Get_Encrypt_Service_Account_Key(a, auth.c_str()), 0);
    ASSERT_EQ(TMP_Get_Encrypt_Service_Account_Key(b, auth.c_str()), 0);
    EXPECT_NE(a, b) << "two users of one key would remove each other's file";
    for (const std::string& p : {a, b}) {
        EXPECT_EQ(fs::path(p).parent_path(), fs::path(qlm::Db_Tmp_Dir()));
        EXPECT_EQ(Read_File(p), kPlainKey);
        EXPECT_EQ(Mode(p), 0600u);
        fs::remove(p);
    }

    // Each function reads its own place: the upload's until a task takes the key, then the store's.
    std::string none = "untouched";
    EXPECT_LT(Get_Encrypt_Service_Account_Key(none, auth.c_str()), 0);
    fs::create_directories(qlm::Sa_Dir());
    fs::rename(qlm::Pending_Key_Path(auth), qlm::Stored_Key_Path(auth));
    EXPECT_LT(TMP_Get_Encrypt_Service_Account_Key(none, auth.c_str()), 0);
    EXPECT_EQ(none, "untouched");
    ASSERT_EQ(Get_Encrypt_Service_Account_Key(a, auth.c_str()), 0);
    EXPECT_EQ(Read_File(a), kPlainKey);
}

TEST_F(KeyStore, TheSweepRemovesThePlainKeysOfProcessesThatAreGoneAndNothingElse) {
    Pending();
    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // decrypts, then ends without removing its file, as a killed worker would
        std::string path;
        const int rc = TMP_Get_Encrypt_Service_Account_Key(path, auth.c_str());
        path += "\n";
        if (rc != 0 || write(pipeFd[1], path.data(), path.size()) != static_cast<ssize_t>(path.size())) _exit(1);
        _exit(0);
    }
    close(pipeFd[1]);
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    char buf[4096];
    const ssize_t n = read(pipeFd[0], buf, sizeof buf);
    close(pipeFd[0]);
    ASSERT_GT(n, 1);
    const std::string dead(buf, static_cast<size_t>(n - 1));
    ASSERT_TRUE(fs::exists(dead));

    std::string mine;
    ASSERT_EQ(TMP_Get_Encrypt_Service_Account_Key(mine, auth.c_str()), 0);
    const std::string id = smbbackup::Create_New_ID(), dir = qlm::Db_Tmp_Dir();
    const std::string live = dir + "/" + auth + "_" + std::to_string(getppid()) + "_" + id + "_de";
    const std::vector<std::string> others = {
        dir + "/" + auth + "_" + std::to_string(child) + "_de",         // no id of its own
        dir + "/" + auth + "_" + std::to_string(child) + "_" + id,      // no "_de"
        dir + "/notanid_" + std::to_string(child) + "_" + id + "_de",  // no auth id
    };
    Write_File(live, "x");
    for (const std::string& o : others) Write_File(o, "x");
    // An upload being checked, a per-process GAM folder, and an upload of an earlier build that
    // bears no process at all; the task's own GAM folder is nobody's leftover.
    const std::string gone = std::to_string(child), alive = std::to_string(getppid());
    const std::vector<std::string> stale = {dir + "/" + auth + "_" + gone + "_up", qlm::Gam_Dir() + "." + gone,
                                            dir + "/" + auth};
    const std::vector<std::string> kept = {mine, live, dir + "/" + auth + "_" + alive + "_up",
                                           qlm::Gam_Dir() + "." + alive, qlm::Gam_Dir()};
    for (const std::string& f : {stale[0], stale[2], kept[2]}) Write_File(f, "x");
    for (const std::string& d : {stale[1], kept[3], kept[4]}) {
        fs::create_directories(d);
        Write_File(d + "/oauth2service.json", "x");
    }
    Remove_Stale_Plain_Keys();
    EXPECT_FALSE(fs::exists(dead)) << "a gone process's plain key stayed";
    for (const std::string& s : stale) EXPECT_FALSE(fs::exists(s)) << s;
    for (const std::string& k : kept) EXPECT_TRUE(fs::exists(k)) << k;
    for (const std::string& o : others) EXPECT_TRUE(fs::exists(o)) << o;
    for (const std::string& d : {kept[3], kept[4]}) fs::remove_all(d);
}

TEST_F(KeyStore, DecryptionFailuresLeaveNoFileAndThePathAlone) {
    Stored();
    std::string token = Read_File(qlm::Stored_Key_Path(auth));
    std::string tampered = token;
    tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == 'A' ? 'B' : 'A';
    struct Case {
        const char* name;
        const char* content;  // nullptr: no key file
        const char* id;       // nullptr: the test's auth id
        bool nullId;
    } cases[] = {
        {"missing key file", nullptr, nullptr, false},
        {"empty key file", "", nullptr, false},
        {"blank key file", " \n", nullptr, false},
        {"not a token", "v1.AAAA", nullptr, false},
        {"tampered token", tampered.c_str(), nullptr, false},
        {"null auth id", nullptr, nullptr, true},
        {"relative auth id", nullptr, "../sa/x", false},
        {"empty auth id", nullptr, "", false},
    };
    for (const Case& c : cases) {
        fs::remove(qlm::Stored_Key_Path(auth));
        if (c.content) Write_File(qlm::Stored_Key_Path(auth), c.content);
        std::string path = "untouched";
        const char* id = c.nullId ? nullptr : c.id ? c.id : auth.c_str();
        EXPECT_LT(Get_Encrypt_Service_Account_Key(path, id), 0) << c.name;
        EXPECT_EQ(path, "untouched") << c.name;
        EXPECT_TRUE(Entries(qlm::Db_Tmp_Dir(), "", "_de").empty()) << c.name;
    }
    // The first word counts: a line end after the token is no damage.
    Write_File(qlm::Stored_Key_Path(auth), token + "\n");
    std::string path;
    EXPECT_EQ(Get_Encrypt_Service_Account_Key(path, auth.c_str()), 0);
    fs::remove(path);

    EXPECT_EQ(qlm::Store_Pending_Service_Account_Key(nullptr, auth.c_str()), -22);
    EXPECT_EQ(qlm::Store_Pending_Service_Account_Key(kPlainKey, "../sa/x"), -22);
    EXPECT_FALSE(Exists(qlm::Db_Dir() + "/sa/x_en"));
}

TEST_F(KeyStore, TheKeyFolderIsPrivateWhicheverWriterMakesItFirst) {
    const struct {
        const char* name;
        std::function<void()> write;
    } writers[] = {
        {"a record written whole", [] {
             fs::create_directories(qlm::Mission_Dir());
             ASSERT_EQ(qlm::Write_File_Atomic(qlm::Mission_Dir() + "/" + smbbackup::Create_New_ID(), "{}"), 0);
         }},
        {"a key that passed its checks", [this] { Pending(); }},
        {"a decryption of a stored key", [this] {
             std::string path;
             ASSERT_EQ(Get_Encrypt_Service_Account_Key(path, auth.c_str()), 0);
             fs::remove(path);
         }},
    };
    Stored();
    for (const auto& w : writers) {
        SCOPED_TRACE(w.name);
        fs::remove_all(qlm::Db_Tmp_Dir());
        w.write();
        EXPECT_EQ(Mode(qlm::Db_Tmp_Dir()), 0700u);
    }
}

TEST_F(KeyStore, ARepeatedDecryptionFollowsWhatTheKeyFileHoldsNow) {
    // The process remembers the token it decrypted last: a file that changed since must not be
    // answered with the remembered key, nor a file that went bad.
    Stored();
    const std::string first = Read_File(qlm::Stored_Key_Path(auth));
    const std::string other = R"({"type":"service_account","private_key_id":"k2"})";
    ASSERT_EQ(qlm::Store_Pending_Service_Account_Key(other.c_str(), auth.c_str()), 0);
    const std::string second = Read_File(qlm::Pending_Key_Path(auth));
    std::string tampered = second;
    tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == 'A' ? 'B' : 'A';
    struct Step {
        const std::string* token;
        const char* plain;  // nullptr: decryption fails
    } steps[] = {{&first, kPlainKey}, {&first, kPlainKey}, {&second, other.c_str()}, {&tampered, nullptr},
                 {&first, kPlainKey}, {nullptr, nullptr}};
    for (const Step& st : steps) {
        fs::remove(qlm::Stored_Key_Path(auth));
        if (st.token) Write_File(qlm::Stored_Key_Path(auth), *st.token);
        std::string path = "untouched";
        const int rc = Get_Encrypt_Service_Account_Key(path, auth.c_str());
        if (st.plain == nullptr) {
            EXPECT_LT(rc, 0);
            EXPECT_EQ(path, "untouched");
            continue;
        }
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(Read_File(path), st.plain);
        EXPECT_EQ(Mode(path), 0600u);
        fs::remove(path);
    }
}

TEST_F(KeyStore, SetUpBuildsThisProcesssFolderForTheKeysFirstDomain) {
    Stored();
    std::string dir = qlm::Gam_Dir() + "." + std::to_string(getpid());
    fs::create_directories(dir);
    Write_File(dir + "/stale_other_domain.json", "{}");

    ASSERT_EQ(Initial_GAM_Conf(auth.c_str(), "admin@example.com"), 0);

    EXPECT_EQ(qlm::Gam_Process_Dir(), dir);
    ASSERT_NE(getenv("GAMCFGDIR"), nullptr);
    EXPECT_EQ(std::string(getenv("GAMCFGDIR")), dir);
    EXPECT_EQ(Read_File(fake + "/gam.log"), dir + "\n" + dir + "\n") << "gam ran bare twice, on this folder";
    EXPECT_FALSE(Exists(dir + "/stale_other_domain.json"));
    EXPECT_EQ(Mode(dir), 0700u);

    std::string cfg = dir + "/gam.cfg";
    EXPECT_EQ(Pair(cfg, "DEFAULT", "admin_email"), "admin@example.com");
    EXPECT_EQ(Pair(cfg, "DEFAULT", "domain"), "example.com");
    EXPECT_EQ(Pair(cfg, "DEFAULT", "customer_id"), "C0ab12");
    EXPECT_EQ(Pair(cfg, "DEFAULT", "enable_dasa"), "true");
    EXPECT_EQ(Pair(cfg, "DEFAULT", "no_browser"), "true") << "GAM's own keys stay";
    EXPECT_EQ(Pair(cfg, "other", "keep"), "1");

    EXPECT_EQ(qlm::Gam_Process_Key_Path(), dir + "/oauth2service.json");
    EXPECT_EQ(Read_File(dir + "/oauth2service.json"), kPlainKey);
    EXPECT_EQ(Mode(dir + "/oauth2service.json"), 0600u);

    // scoutix read the plain key from a private file, which is gone now with the listing.
    EXPECT_EQ(Read_File(fake + "/seen_key"), kPlainKey);
    std::vector<std::string> argv = Scoutix_Argv();
    ASSERT_GE(argv.size(), 5u);
    EXPECT_EQ(argv[0], "argc=3");
    EXPECT_EQ(argv[1], "-info");
    EXPECT_EQ(argv[4], "600");
    Expect_No_Plain_Leftovers();

    // The guard takes the folder, and the plain key copy with it.
    { DirGuard g = qlm::Guard_Gam_Process_Dir(); }
    EXPECT_FALSE(Exists(dir));
}

TEST_F(KeyStore, TheAdminEMailReachesScoutixAsOneUnchangedArgument) {
    Pending();
    std::string admin = "o'brien \"x\" $(touch " + root.path() + "/PWNED) `id`;%s@example.com";
    ASSERT_EQ(TMP_Initial_GAM_Conf(auth.c_str(), admin.c_str()), 0);
    std::vector<std::string> argv = Scoutix_Argv();
    ASSERT_GE(argv.size(), 4u);
    EXPECT_EQ(argv[0], "argc=3");
    EXPECT_EQ(argv[3], admin);
    EXPECT_FALSE(Exists(root / "PWNED"));
    EXPECT_EQ(Pair(qlm::Gam_Process_Dir() + "/gam.cfg", "DEFAULT", "admin_email"), admin);

    // A line break would add keys to gam.cfg: refused before anything runs.
    EXPECT_EQ(TMP_Initial_GAM_Conf(auth.c_str(), "a@example.com\ndomain = evil.com"), -161);
    EXPECT_EQ(TMP_Initial_GAM_Conf(auth.c_str(), nullptr), -161);
    EXPECT_EQ(Scoutix_Calls(), 1);
}

TEST_F(KeyStore, AnIncompleteListingFailsBeforeTheFolderIsTouched) {
    Stored();
    std::string dir = qlm::Gam_Process_Dir();
    struct Case {
        const char* name;
        const char* info;
        const char* rc;  // scoutix's exit status, nullptr for 0
    } cases[] = {
        {"scoutix failed", kInfo, "1"},
        {"not JSON", "user_list: none", nullptr},
        {"not an object", "[\"example.com\"]", nullptr},
        {"no domain_list", R"({"user_list":[],"customer_id":"C1"})", nullptr},
        {"empty domain_list", R"({"domain_list":[],"customer_id":"C1"})", nullptr},
        {"empty first domain", R"({"domain_list":[""],"customer_id":"C1"})", nullptr},
        {"first domain not a text", R"({"domain_list":[7],"customer_id":"C1"})", nullptr},
        {"no customer_id", R"({"domain_list":["example.com"]})", nullptr},
    };
    for (const Case& c : cases) {
        fs::create_directories(dir);
        Write_File(dir + "/gam.cfg", "[DEFAULT]\ndomain = earlier.example\n");
        Write_File(fake + "/info.json", c.info);
        if (c.rc) Write_File(fake + "/info_rc", c.rc);
        EXPECT_EQ(Initial_GAM_Conf(auth.c_str(), "admin@example.com"), -161) << c.name;
        EXPECT_EQ(Read_File(dir + "/gam.cfg"), "[DEFAULT]\ndomain = earlier.example\n") << c.name;
        EXPECT_FALSE(Exists(fake + "/gam.log")) << c.name << ": gam ran";
        Expect_No_Plain_Leftovers();
        fs::remove(fake + "/info_rc");
    }
}

TEST_F(KeyStore, AFailureAfterTheFolderWasRemovedLeavesNoFolder) {
    Stored();
    std::string dir = qlm::Gam_Process_Dir();
    fs::create_directories(dir);
    Write_File(dir + "/oauth2service.json", "an older plain key");
    Write_File(fake + "/gam_fail", "");
    EXPECT_EQ(Initial_GAM_Conf(auth.c_str(), "admin@example.com"), -161);
    EXPECT_FALSE(Exists(dir));
    Expect_No_Plain_Leftovers();

    // A key that does not decrypt stops before any tool runs.
    fs::remove(fake + "/gam_fail");
    Write_File(qlm::Stored_Key_Path(auth), "v1.AAAA");
    EXPECT_LT(Initial_GAM_Conf(auth.c_str(), "admin@example.com"), 0);
    EXPECT_EQ(Scoutix_Calls(), 1);
    EXPECT_LT(TMP_Initial_GAM_Conf(smbbackup::Create_New_ID().c_str(), "admin@example.com"), 0);
    EXPECT_EQ(Scoutix_Calls(), 1);
}

TEST_F(KeyStore, ASetUpRemovesTheFoldersOfProcessesThatAreGone) {
    Stored();
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::string base = qlm::Gam_Dir();
    const std::string dead = base + "." + std::to_string(gone), live = base + "." + std::to_string(getppid());
    const std::string other = base + ".backup", gam = base;
    for (const std::string& d : {dead, live, other, gam}) {
        fs::create_directories(d);
        Write_File(d + "/oauth2service.json", "plain");
    }
    ASSERT_EQ(Initial_GAM_Conf(auth.c_str(), "admin@example.com"), 0);
    EXPECT_FALSE(Exists(dead)) << "a killed worker's key copy stays for good";
    for (const std::string& d : {live, other, gam}) EXPECT_TRUE(Exists(d + "/oauth2service.json")) << d;
}

}  // namespace
