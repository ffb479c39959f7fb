#include "backup/gmail_count.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "common/csvreader.h"
#include "common/paths.h"
#include "common/procinfo.h"
#include "common/reqcheck.h"
#include "common/shellquote.h"
#include "plat_file.h"
#include "plat_proc.h"
#include "plat_string.h"

namespace qlm::gmailbk {

std::string Gmail_Count_Line(const std::string& user) {
    return ShellQuote(Tool_Path("gam")) + " user " + ShellQuote(user) + " print messages includespamtrash countsonly";
}

std::string Count_Work_Root(const std::string& authID, const std::string& id) {
    return Tmp_Dir() + "/qlm_" + authID + "_" + id;
}

std::string Backup_Count_ID() { return smbbackup::Create_New_ID() + "_" + std::to_string(getpid()); }

void Remove_Stale_Backup_Counts() {
    // "qlm_<auth id>_<id>_<pid>"
    Remove_Files_Of_Gone_Processes(
        Tmp_Dir(),
        [](const std::string& name) -> pid_t {
            const size_t idLen = 36, head = 4 + idLen + 1 + idLen + 1;
            if (name.size() <= head || name.compare(0, 4, "qlm_") != 0 || name[4 + idLen] != '_' ||
                name[head - 1] != '_' || !Is_Id_Form(name.substr(4, idLen).c_str()) ||
                !Is_Id_Form(name.substr(4 + idLen + 1, idLen).c_str()))
                return 0;
            const std::string digits = name.substr(head);
            if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
            return static_cast<pid_t>(std::stol(digits));
        },
        [](const std::string& path) { Remove_Folder_Tree(path.c_str(), 0, nullptr); });
}

std::string Count_Work_Folder(const std::string& authID, const std::string& id) {
    return Count_Work_Root(authID, id) + "/Gmail_count/";
}

namespace {

// The child: one count, then _exit, so nothing of the parent's state runs twice.
[[noreturn]] void Count_One(const std::string& user, const std::string& workDir) {
    const std::string line = Gmail_Count_Line(user) + " >" + ShellQuote(workDir + user + ".out") + " 2>" +
                             ShellQuote(workDir + user + ".err");
    int status = -1;
    const int ret = Execute_Command_Line(status, "%s", line.c_str());
    _exit(ret != 0 || status != 0 ? 1 : 0);
}

}  // namespace

void Run_Count_Workers(const std::vector<std::string>& users, const std::string& workDir,
                       const std::function<void()>& beforeStart) {
    std::set<pid_t> running;
    size_t next = 0;
    for (;;) {
        if (beforeStart) beforeStart();
        while (running.size() < static_cast<size_t>(kMaxCountWorkers) && next < users.size()) {
            const std::string& user = users[next++];
            if (!Is_Single_Path_Component(user)) continue;
            fflush(stdout);
            fflush(stderr);
            const pid_t pid = fork();
            if (pid == 0) Count_One(user, workDir);
            if (pid > 0) running.insert(pid);
        }
        if (running.empty()) return;
        int st = 0;
        pid_t done = -1;
        do {
            done = waitpid(-1, &st, 0);
        } while (done < 0 && errno == EINTR);
        if (done < 0) return;
        running.erase(done);
    }
}

bool Read_Count_Row(const std::string& path, std::string& user, int64_t& count) {
    csvx::Document doc;
    // A count cut short could read as a smaller one: only a whole listing counts.
    std::string problem;
    if (doc.LoadListing(path, 0, csvx::Backslash::Plain, {}, problem) != 0 || doc.RowCount() == 0 ||
        doc.ColumnNames().size() < 2)
        return false;
    auto column = [&doc](const char* a, const char* b, int dflt) {
        int i = doc.ColumnIndex(a);
        if (i < 0) i = doc.ColumnIndex(b);
        return i < 0 ? dflt : i;
    };
    std::string u, n;
    if (!doc.GetCell(column("User", "user", 0), 0, u) || !doc.GetCell(column("messages", "Messages", 1), 0, n))
        return false;
    int64_t v = 0;
    if (u.empty() || !csvx::ToInt64(n, v)) return false;
    user = u;
    count = v;
    return true;
}

}  // namespace qlm::gmailbk
