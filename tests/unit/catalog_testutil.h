// Fixtures shared by the catalog and activity-log tests: a private root, the sqlite3 command-line
// tool's view of a stored file, JSON list helpers, and a way to make writes fail for real.
#pragma once

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/paths.h"
#include "platform_testdir.h"
#include "plat_json.h"

namespace cattest {

inline constexpr const char* kTask = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
inline constexpr const char* kUser = "o'brien+test@example.com";  // a quote and a plus are allowed

// A fresh root that every fixed path of the system lies under for the test's scope.
struct Root {
    plattest::TempDir dir;
    plattest::ScopedEnv env{"QLM_ROOT", dir.path()};
    std::string Backup(const std::string& rel) const { return qlm::Backup_Dir() + "/" + rel; }
    std::string Db_Dir() const { return qlm::Db_Dir(); }
};

// Every path below root (folders and files), relative, sorted.
inline std::set<std::string> Tree(const std::string& root) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        out.insert(std::filesystem::relative(e.path(), root).string());
    return out;
}

// Standard output of `sqlite3 -batch FILE SQL`: the stored file as the command-line tool sees it.
inline std::string Sqlite_Cli(const std::string& file, const std::string& sql) {
    int fds[2];
    if (pipe(fds) != 0) return "<pipe failed>";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execlp("sqlite3", "sqlite3", "-batch", file.c_str(), sql.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

// "name type notnull pk" per column, from PRAGMA table_info through the command-line tool.
inline std::vector<std::string> Cli_Columns(const std::string& file, const std::string& table) {
    const std::string out = Sqlite_Cli(file, "SELECT name||' '||type||' '||\"notnull\"||' '||pk FROM pragma_table_info('" +
                                                 table + "');");
    std::vector<std::string> cols;
    size_t start = 0, nl;
    while ((nl = out.find('\n', start)) != std::string::npos) {
        cols.push_back(out.substr(start, nl - start));
        start = nl + 1;
    }
    return cols;
}

// The columns a table must have: the id first, then name and type of each NOT NULL column.
inline std::vector<std::string> Expected_Columns(const char* idName,
                                                 const std::vector<std::pair<std::string, std::string>>& cols) {
    std::vector<std::string> out{std::string(idName) + " INTEGER 0 1"};
    for (const auto& [name, type] : cols) out.push_back(name + " " + type + " 1 0");
    return out;
}

// Runs SQL of the test's own on a stored file (fixtures, triggers), failing loudly.
inline void Exec_On(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) throw std::runtime_error("open " + file);
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    std::string msg = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("exec: " + msg);
}

// One integer from a stored file (a count, a max id).
inline long long Scalar(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    long long v = -1;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return v;
}

// A JSON list owned by the test.
struct List {
    RAIIful_Json json{Json_List_Init()};
    PT_JSON get() const { return json.get(); }
    int size() const { return Json_List_Size(json.get()); }
    PT_JSON at(int i) const { return Json_List_Child(json.get(), i); }
    // The text of key in every item, in list order ("<null>" for null or absent).
    std::vector<std::string> Strings(const char* key) const {
        std::vector<std::string> out;
        for (int i = 0; i < size(); ++i) {
            const char* v = nullptr;
            out.push_back(Json_Dict_Find_Str(at(i), key, v) == 0 ? v : "<null>");
        }
        return out;
    }
    std::set<std::string> Set(const char* key) const {
        const auto v = Strings(key);
        return {v.begin(), v.end()};
    }
};

// The keys of a JSON dictionary, sorted.
inline std::set<std::string> Keys(PT_JSON dict) {
    std::set<std::string> out;
    json_object_object_foreach(dict, key, val) {
        (void)val;
        out.insert(key);
    }
    return out;
}

inline json_type Type_Of(PT_JSON dict, const char* key) {
    json_object* v = nullptr;
    return json_object_object_get_ex(dict, key, &v) ? json_object_get_type(v) : json_type_null;
}

// Runs fn in a child process whose files cannot grow beyond maxBytes, so the write fails in
// SQLite for real (the limit holds for root too). Gives fn's result, or 9999 when the child died.
inline int Run_With_File_Limit(rlim_t maxBytes, const std::function<int()>& fn) {
    int fds[2];
    if (pipe(fds) != 0) return 9999;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {maxBytes, maxBytes};
        setrlimit(RLIMIT_FSIZE, &rl);
        const int rc = fn();
        (void)!write(fds[1], &rc, sizeof rc);
        _exit(0);
    }
    close(fds[1]);
    int rc = 9999;
    if (read(fds[0], &rc, sizeof rc) != static_cast<ssize_t>(sizeof rc)) rc = 9999;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return rc;
}

}  // namespace cattest
