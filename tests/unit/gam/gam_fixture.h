// A small simulated domain, a configured gam folder, and a runner for the built gam program:
// the tests call gam exactly as the system's command lines do (one argv item per value).
#pragma once

#include <gwssim/state.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace gamtest {

struct Result {
    int status = -1;
    std::string out, err;
};

// A parsed CSV listing: header and rows by column name (gam writes one row per line).
struct Table {
    std::vector<std::string> header;
    std::vector<std::map<std::string, std::string>> rows;
    bool Has(const std::string& col) const {
        for (const auto& h : header)
            if (h == col) return true;
        return false;
    }
};

// The records of a CSV text: a line break inside quotes belongs to the cell.
inline std::vector<std::vector<std::string>> Csv_Records(const std::string& text) {
    std::vector<std::vector<std::string>> recs;
    std::vector<std::string> cells(1);
    bool q = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (q && c == '"' && i + 1 < text.size() && text[i + 1] == '"') cells.back() += '"', ++i;
        else if (c == '"') q = !q;
        else if (c == ',' && !q) cells.emplace_back();
        else if (c == '\n' && !q) recs.push_back(std::move(cells)), cells.assign(1, "");
        else cells.back() += c;
    }
    EXPECT_FALSE(q) << "unterminated quote";
    if (cells.size() > 1 || !cells[0].empty()) recs.push_back(std::move(cells));
    return recs;
}

// skip: lines before the header (the tree listing's first line).
inline Table Parse_Csv(const std::string& text, int skip = 0) {
    Table t;
    size_t start = 0;
    while (skip-- > 0 && start != std::string::npos) {
        start = text.find('\n', start);
        if (start != std::string::npos) ++start;
    }
    if (start == std::string::npos) return t;
    auto recs = Csv_Records(text.substr(start));
    if (recs.empty()) return t;
    t.header = recs[0];
    for (size_t r = 1; r < recs.size(); ++r) {
        EXPECT_EQ(recs[r].size(), t.header.size()) << "row " << r << " has a different cell count";
        std::map<std::string, std::string> row;
        for (size_t i = 0; i < t.header.size() && i < recs[r].size(); ++i) row[t.header[i]] = recs[r][i];
        t.rows.push_back(std::move(row));
    }
    return t;
}

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline void Put(const std::string& path, const std::string& bytes) {
    ASSERT_EQ(Gwssim_Write_File(path, bytes), 0) << path;
}

constexpr const char kKeyFull[] = "1111111111111111111111111111111111111111";
constexpr const char kKeyNoMail[] = "2222222222222222222222222222222222222222";
constexpr const char kKeyOff[] = "3333333333333333333333333333333333333333";
constexpr const char kKeyOther[] = "4444444444444444444444444444444444444444";

// The real tool's exit statuses.
constexpr int kUsage = 2, kSocket = 3, kNetwork = 5, kFileError = 6, kHttp = 9, kApiDenied = 12, kConfig = 13,
              kKeyInvalid = 16, kFailed = 50, kNotPerformed = 51, kNoEntities = 60;

constexpr const char kAliceRoot[] = "0AaliceRootUk9PVA";
constexpr const char kTeam[] = "0ATeamDriveUk9PVA";
constexpr const char kHidden[] = "0AHiddenDriveUk9PVA";
constexpr const char kEmptyDrive[] = "0AEmptyDriveUk9PVA";
constexpr const char kHostileName[] = "Q3 report's \"final\" $(touch /tmp/pwned) 100%.txt";

inline GwsDriveItem Item(const char* id, const char* name, const char* mime, const char* parent,
                         const char* owner = "alice@example.com") {
    GwsDriveItem it;
    it.id = id;
    it.name = name;
    it.mime_type = mime;
    it.parent = parent;
    it.owner = owner;
    it.created_time = "2024-01-02T03:04:05.678Z";
    it.modified_time = "2024-03-10T08:30:15.123Z";
    return it;
}

constexpr const char kFolder[] = "application/vnd.google-apps.folder";
constexpr long long kNotesStorage = 4096;

class GamTest : public ::testing::Test {
protected:
    std::string dir, sim, cfg;

    void SetUp() override {
        char tmpl[] = "/tmp/gamtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        sim = dir + "/sim";
        cfg = dir + "/gam";
        ASSERT_EQ(mkdir(sim.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(cfg.c_str(), 0700), 0);
        setenv("GWSSIM_ROOT", sim.c_str(), 1);
        setenv("GAMCFGDIR", cfg.c_str(), 1);
        unsetenv("QLM_ROOT");
        Make_Domain();
        Write_Cfg("example.com", "admin@example.com", "C01sim123", "True");
        Use_Key(kKeyFull);
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void Write_Cfg(const std::string& domain, const std::string& admin, const std::string& customer,
                   const std::string& dasa) {
        Put(cfg + "/gam.cfg", "[DEFAULT]\nadmin_email = " + admin + "\ncustomer_id = " + customer +
                                  "\ndomain = " + domain + "\nenable_dasa = " + dasa +
                                  "\n\n[other]\nkeep = 1\n");
    }
    void Use_Key(const char* id) {
        Put(cfg + "/oauth2service.json", std::string("{\"type\": \"service_account\", \"private_key_id\": \"") + id +
                                             "\", \"client_email\": \"backup@sim.iam.gserviceaccount.com\"}");
    }

    void Make_Domain() {
        GwsDomain d;
        d.domains = {"example.com", "example.org"};
        d.customer_id = "C01sim123";
        int n = 1;
        for (const char* e : {"admin@example.com", "alice@example.com", "bob@example.com", "o'brien@example.com",
                              "carol@example.com"}) {
            GwsUser u;
            u.id = "10000000000000000000" + std::to_string(n++);
            u.email = e;
            u.name = std::string(e).substr(0, std::string(e).find('@'));
            u.admin = u.email == "admin@example.com";
            d.users.push_back(u);
        }
        d.shared_drives.push_back({kTeam, "Team Drive",
                                   {{"admin@example.com", "Admin", "organizer", "user"},
                                    {"alice@example.com", "Alice", "writer", "user"},
                                    {"bob@example.com", "Bob", "reader", "user"},
                                    {"team@example.com", "Team", "reader", "group"}}});
        d.shared_drives.push_back({kHidden, "Hidden Drive", {}});
        d.shared_drives.push_back({kEmptyDrive, "Empty Drive", {{"alice@example.com", "Alice", "organizer", "user"}}});
        ASSERT_EQ(Gwssim_Save_Domain(sim, d), 0);

        GwsKey k;
        k.client_email = "backup@sim.iam.gserviceaccount.com";
        k.domain = "example.com";
        k.key_id = kKeyFull;
        k.grants = {"drive", "gmail", "calendar", "contacts"};
        ASSERT_EQ(Gwssim_Save_Key(sim, k), 0);
        k.key_id = kKeyNoMail;
        k.grants = {"drive", "calendar", "contacts"};
        ASSERT_EQ(Gwssim_Save_Key(sim, k), 0);
        k.key_id = kKeyOff;
        k.grants = {"drive", "gmail", "calendar", "contacts"};
        k.enabled = false;
        ASSERT_EQ(Gwssim_Save_Key(sim, k), 0);
        k.key_id = kKeyOther;
        k.domain = "elsewhere.net";
        k.enabled = true;
        ASSERT_EQ(Gwssim_Save_Key(sim, k), 0);

        // alice: Projects/2024/{plan.txt, budget.csv}, Projects/notes (a document), a shortcut, a
        // form, a drawing, a script, empty.bin, a hostile name, a trashed file, a trashed folder with
        // a live child, and orphans: a folder and a file whose parent she cannot see.
        GwsDrive drive{kAliceRoot, {}};
        drive.items.push_back(Item("fProjects", "Projects", kFolder, kAliceRoot));
        drive.items.push_back(Item("f2024", "2024", kFolder, "fProjects"));
        Add_File(drive, Item("iPlan", "plan.txt", "text/plain", "f2024"), "plan for 2024\n");
        Add_File(drive, Item("iBudget", "budget.csv", "text/csv", "f2024"), "a,b\n1,2\n");
        GwsDriveItem notes = Item("iNotes", "notes", "application/vnd.google-apps.document", "fProjects");
        notes.has_blob = true;
        notes.size = kNotesStorage;
        drive.items.push_back(notes);
        Put(Gwssim_Drive_Blob_Path(sim, "alice@example.com", "iNotes"), "exported notes");
        drive.items.push_back(Item("iShortcut", "Shortcut to plan", "application/vnd.google-apps.shortcut", kAliceRoot));
        drive.items.back().shortcut_target = "iPlan";
        drive.items.push_back(Item("iForm", "A form", "application/vnd.google-apps.form", kAliceRoot));
        drive.items.push_back(Item("iDrawing", "Floor plan", "application/vnd.google-apps.drawing", kAliceRoot));
        drive.items.push_back(Item("iScript", "Mail merge", "application/vnd.google-apps.script", kAliceRoot));
        drive.items.push_back(Item("fLost", "Lost and found", kFolder, "fUnseen"));
        Add_File(drive, Item("iFound", "found.txt", "text/plain", "fLost"), "found\n");
        Add_File(drive, Item("iOrphan", "orphan.txt", "text/plain", "fUnseen"), "orphan\n");
        Add_File(drive, Item("iEmpty", "empty.bin", "application/octet-stream", kAliceRoot), "");
        Add_File(drive, Item("iHostile", kHostileName, "text/plain", kAliceRoot), "hostile\n");
        GwsDriveItem gone = Item("iTrashed", "old.txt", "text/plain", kAliceRoot);
        gone.trashed = true;
        Add_File(drive, gone, "old");
        GwsDriveItem bin = Item("fBin", "Bin", kFolder, kAliceRoot);
        bin.trashed = true;
        drive.items.push_back(bin);
        Add_File(drive, Item("iInBin", "inside.txt", "text/plain", "fBin"), "inside");
        ASSERT_EQ(Gwssim_Save_Drive(sim, "alice@example.com", drive), 0);

        GwsDrive team{kTeam, {}};
        team.items.push_back(Item("fDesigns", "Designs", kFolder, kTeam, ""));
        GwsDriveItem design = Item("iDesign", "design.txt", "text/plain", "fDesigns", "");
        design.permissions.push_back({"carol@example.com", "Carol", "commenter", "user"});
        Add_File(team, design, "team design", kTeam);
        ASSERT_EQ(Gwssim_Save_Shared_Drive(sim, kTeam, team), 0);
    }

    // Stores the content (before the Drive file that names it) and its MD5 and size.
    void Add_File(GwsDrive& d, GwsDriveItem it, const std::string& content, const char* shared = nullptr) {
        it.has_blob = true;
        it.md5 = Gwssim_Md5_Hex(content);
        it.size = (long long)content.size();
        Put(shared ? Gwssim_Shared_Blob_Path(sim, shared, it.id) : Gwssim_Drive_Blob_Path(sim, it.owner, it.id), content);
        d.items.push_back(it);
    }

    Result Gam(const std::vector<std::string>& args) {
        Result r;
        std::string out = dir + "/stdout", err = dir + "/stderr";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv{const_cast<char*>(GAM_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid;
        int rc = posix_spawn(&pid, GAM_PATH, &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        EXPECT_EQ(rc, 0);
        if (rc != 0) return r;
        int st = 0;
        waitpid(pid, &st, 0);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }

    // A refused call: its exit status (by default: the action failed), an ERROR text, and nothing
    // at all on standard output.
    static void Expect_Refused(const Result& r, const char* what = "", int status = kFailed) {
        EXPECT_EQ(r.status, status) << what << "\n" << r.err;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_NE(r.err.find("ERROR"), std::string::npos) << what << "\n" << r.err;
    }

    GwsDrive Drive_Of(const std::string& email) {
        GwsDrive d;
        EXPECT_EQ(Gwssim_Load_Drive(sim, email, d), 0);
        return d;
    }
};

}  // namespace gamtest
