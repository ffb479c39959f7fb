// The SQLite index beside a whole-state JSON file (see index.h).
#include "index.h"

#include <gwssim/state.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Rows tools add are numbered from here on, after any base a later rebuild may read.
constexpr long long kAddedSeq = 1LL << 40;

struct Db {
    sqlite3* db = nullptr;
    Db() = default;
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;
    ~Db() { if (db) sqlite3_close(db); }
};

struct Stmt {
    sqlite3_stmt* st = nullptr;
    Stmt(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) st = nullptr;
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    ~Stmt() { sqlite3_finalize(st); }
    void Text(int i, const std::string& s) { sqlite3_bind_text(st, i, s.data(), (int)s.size(), SQLITE_TRANSIENT); }
    std::string Col(int i) const {
        const unsigned char* p = sqlite3_column_text(st, i);
        return p ? std::string((const char*)p, (size_t)sqlite3_column_bytes(st, i)) : std::string();
    }
};

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : -1; }

// Rolled back unless committed.
struct Txn {
    sqlite3* db = nullptr;
    bool open = false;
    int Begin(const char* how) {
        open = Exec(db, how) == 0;
        return open ? 0 : -1;
    }
    int Commit() {
        open = false;
        return Exec(db, "COMMIT");
    }
    void Rollback() {
        if (open) Exec(db, "ROLLBACK");
        open = false;
    }
    ~Txn() { Rollback(); }
};

// "drive.json" -> "drive.idx"
std::string Index_Path(const std::string& base) {
    size_t dot = base.rfind('.');
    size_t slash = base.rfind('/');
    bool ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (ext ? base.substr(0, dot) : base) + ".idx";
}

int Open(const std::string& base, Db& d) {
    std::string path = Index_Path(base);
    if (sqlite3_open_v2(path.c_str(), &d.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        return -1;
    sqlite3_busy_timeout(d.db, 60000);
    // The simulated domain needs no durability against a power cut, only atomic transactions.
    Exec(d.db, "PRAGMA synchronous=OFF");
    Stmt s(d.db, "SELECT count(*) FROM sqlite_master WHERE name='rows'");
    if (s.st && sqlite3_step(s.st) == SQLITE_ROW && sqlite3_column_int(s.st, 0) == 1) return 0;
    return Exec(d.db,
                "CREATE TABLE IF NOT EXISTS meta(k TEXT PRIMARY KEY, v TEXT NOT NULL);"
                "CREATE TABLE IF NOT EXISTS rows(list TEXT NOT NULL, seq INTEGER NOT NULL, id TEXT,"
                " json TEXT NOT NULL, added INTEGER NOT NULL, PRIMARY KEY(list, seq));"
                "CREATE INDEX IF NOT EXISTS rows_id ON rows(list, id);");
}

std::string Meta(sqlite3* db, const char* k) {
    Stmt s(db, "SELECT v FROM meta WHERE k=?");
    if (!s.st) return std::string();
    sqlite3_bind_text(s.st, 1, k, -1, SQLITE_STATIC);
    return sqlite3_step(s.st) == SQLITE_ROW ? s.Col(0) : std::string();
}

int Set_Meta(sqlite3* db, const char* k, const std::string& v) {
    Stmt s(db, "INSERT OR REPLACE INTO meta(k, v) VALUES(?, ?)");
    if (!s.st) return -1;
    sqlite3_bind_text(s.st, 1, k, -1, SQLITE_STATIC);
    s.Text(2, v);
    return sqlite3_step(s.st) == SQLITE_DONE ? 0 : -1;
}

// What tells one version of the base from another without reading it; "none" when it is absent.
int Base_Stamp(const std::string& base, std::string& stamp, time_t& mtime) {
    struct stat st;
    if (stat(base.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) return -1;
        stamp = "none";
        mtime = 0;
        return 0;
    }
    char buf[160];
    snprintf(buf, sizeof buf, "%llu:%llu:%lld:%lld.%09ld:%lld.%09ld", (unsigned long long)st.st_dev,
             (unsigned long long)st.st_ino, (long long)st.st_size, (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
             (long long)st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    stamp = buf;
    mtime = st.st_mtim.tv_sec;
    return 0;
}

// A file's times are coarse: an edit within a second of the last look could leave the same stamp.
// Until the base is older than that, its content is compared too.
bool Settled(time_t mtime) { return mtime < time(nullptr) - 1; }

// 1: the index matches the base; 0: it must be rebuilt; -1: error. settle: it matches, and may now
// be trusted on its stamp alone.
int Check(sqlite3* db, const std::string& base, bool& settle) {
    settle = false;
    std::string stamp;
    time_t mtime;
    if (Base_Stamp(base, stamp, mtime) != 0) return -1;
    if (Meta(db, "stamp") != stamp) return 0;
    if (stamp == "none" || Meta(db, "settled") == "1") return 1;
    std::string bytes;
    if (Gwssim_Read_File(base, bytes) != 0) return 0;
    if (Gwssim_Md5_Hex(bytes) != Meta(db, "md5")) return 0;
    settle = Settled(mtime);
    return 1;
}

// Reads the base's rows again; added rows the new base holds too give way to it.
int Rebuild(sqlite3* db, const std::string& base) {
    std::string stamp;
    time_t mtime;
    if (Base_Stamp(base, stamp, mtime) != 0) return -1;
    std::string bytes;
    GwsJson o;
    if (stamp != "none") {
        if (Gwssim_Read_File(base, bytes) != 0) return -1;
        o = Gwssim_Json_Parse(bytes);
        if (!o || !json_object_is_type(o.get(), json_type_object)) return -1;
    }
    if (Exec(db, "DELETE FROM rows WHERE added=0") != 0) return -1;
    GwsJson head(json_object_new_object());
    if (o) {
        Stmt ins(db, "INSERT INTO rows(list, seq, id, json, added) VALUES(?, ?, ?, ?, 0)");
        if (!ins.st) return -1;
        json_object_object_foreach(o.get(), key, val) {
            if (!json_object_is_type(val, json_type_array)) {
                json_object_object_add(head.get(), key, json_object_get(val));
                continue;
            }
            size_t n = json_object_array_length(val);
            for (size_t i = 0; i < n; ++i) {
                json_object* e = json_object_array_get_idx(val, i);
                sqlite3_reset(ins.st);
                sqlite3_bind_text(ins.st, 1, key, -1, SQLITE_STATIC);
                sqlite3_bind_int64(ins.st, 2, (long long)i);
                json_object* id = nullptr;
                if (json_object_object_get_ex(e, "id", &id) && json_object_is_type(id, json_type_string))
                    sqlite3_bind_text(ins.st, 3, json_object_get_string(id), json_object_get_string_len(id),
                                      SQLITE_TRANSIENT);
                else
                    sqlite3_bind_null(ins.st, 3);
                ins.Text(4, Gwssim_Json_Text(e));
                if (sqlite3_step(ins.st) != SQLITE_DONE) return -1;
            }
        }
    }
    if (Exec(db, "DELETE FROM rows WHERE added=1 AND id IN (SELECT b.id FROM rows b WHERE b.added=0"
                 " AND b.list=rows.list)") != 0)
        return -1;
    if (Set_Meta(db, "stamp", stamp) || Set_Meta(db, "md5", Gwssim_Md5_Hex(bytes)) ||
        Set_Meta(db, "settled", Settled(mtime) ? "1" : "0") || Set_Meta(db, "head", Gwssim_Json_Text(head.get())))
        return -1;
    return 0;
}

// Opens the index with a transaction in which it matches the base: a read transaction while it
// does, else a write transaction that brings it up to date, committed before a reader reads (so
// that the next call finds it done). write: always a write transaction, left open. A reader looks
// again after bringing it up to date, since a whole save may come in between.
int Open_Fresh(const std::string& base, Db& d, Txn& t, bool write) {
    if (Open(base, d) != 0) return -1;
    t.db = d.db;
    for (int attempt = 0; attempt < 5; ++attempt) {
        bool settle = false;
        if (!write) {
            if (t.Begin("BEGIN") != 0) return -1;
            int c = Check(d.db, base, settle);
            if (c < 0) return -1;
            if (c == 1 && !settle) return 0;
            t.Rollback();
        }
        if (t.Begin("BEGIN IMMEDIATE") != 0) return -1;
        int c = Check(d.db, base, settle);
        if (c < 0) return -1;
        if (c == 0 ? Rebuild(d.db, base) : settle ? Set_Meta(d.db, "settled", "1") : 0) return -1;
        if (write) return 0;
        if (t.Commit() != 0) return -1;
    }
    return -1;
}

GwsJson Head_Of(sqlite3* db) {
    GwsJson h = Gwssim_Json_Parse(Meta(db, "head"));
    if (!h || !json_object_is_type(h.get(), json_type_object)) h.reset(json_object_new_object());
    return h;
}

// The whole state straight from the base, for when the index cannot be used.
int Load_Base(const std::string& base, GwsJson& out) {
    int rc = Gwssim_Json_Load(base, out);
    if (rc != 0) return rc;
    return json_object_is_type(out.get(), json_type_object) ? 0 : -1;
}

}  // namespace

int Gwssim_Index_Load(const std::string& base, GwsJson& out) {
    out.reset();
    Db d;
    Txn t;
    if (Open_Fresh(base, d, t, false) != 0) return Load_Base(base, out);
    bool have_base = Meta(d.db, "stamp") != "none";
    GwsJson o = Head_Of(d.db);
    Stmt s(d.db, "SELECT list, json FROM rows ORDER BY list, seq");
    if (!s.st) return -1;
    size_t rows = 0;
    int rc;
    while ((rc = sqlite3_step(s.st)) == SQLITE_ROW) {
        std::string list = s.Col(0);
        GwsJson e = Gwssim_Json_Parse(s.Col(1));
        if (!e) return -1;
        json_object* a = nullptr;
        if (!json_object_object_get_ex(o.get(), list.c_str(), &a)) {
            a = json_object_new_array();
            json_object_object_add(o.get(), list.c_str(), a);
        }
        json_object_array_add(a, e.release());
        ++rows;
    }
    if (rc != SQLITE_DONE) return -1;
    if (!have_base && rows == 0 && Meta(d.db, "head") == "{}") return -2;
    out = std::move(o);
    return 0;
}

int Gwssim_Index_Save(const std::string& base, json_object* o) {
    GwsJson guard(o);
    Db d;
    Txn t;
    // Exclusive: no reader sees the new base beside the old rows.
    bool have = Open(base, d) == 0;
    t.db = d.db;
    if (have && t.Begin("BEGIN EXCLUSIVE") != 0) have = false;
    if (Gwssim_Write_File(base, Gwssim_Json_Text(o) + "\n") != 0) return -1;
    if (have && Exec(d.db, "DELETE FROM rows") == 0 && Exec(d.db, "DELETE FROM meta") == 0 && t.Commit() == 0)
        return 0;
    // No index that could outlive this save.
    t.Rollback();
    unlink(Index_Path(base).c_str());
    return 0;
}

int Gwssim_Index_Find(const std::string& base, const char* list, const std::string& id, GwsJson& row,
                      GwsJson* head) {
    row.reset();
    Db d;
    Txn t;
    if (Open_Fresh(base, d, t, false) != 0) {
        GwsJson o;
        if (int rc = Load_Base(base, o)) return rc;
        if (head) {
            head->reset(json_object_new_object());
            json_object_object_foreach(o.get(), key, val) if (!json_object_is_type(val, json_type_array))
                json_object_object_add(head->get(), key, json_object_get(val));
        }
        json_object* a = Gwssim_Json_Array(o.get(), list);
        size_t n = a ? json_object_array_length(a) : 0;
        for (size_t i = 0; i < n; ++i) {
            json_object* e = json_object_array_get_idx(a, i);
            if (Gwssim_Json_Str(e, "id") == id) {
                row.reset(json_object_get(e));
                return 0;
            }
        }
        return -2;
    }
    if (head) *head = Head_Of(d.db);
    Stmt s(d.db, "SELECT json FROM rows WHERE list=? AND id=? ORDER BY seq LIMIT 1");
    if (!s.st) return -1;
    sqlite3_bind_text(s.st, 1, list, -1, SQLITE_STATIC);
    s.Text(2, id);
    int rc = sqlite3_step(s.st);
    if (rc == SQLITE_DONE) return -2;
    if (rc != SQLITE_ROW) return -1;
    row = Gwssim_Json_Parse(s.Col(0));
    return row ? 0 : -1;
}

int Gwssim_Index_List(const std::string& base, const char* list, std::vector<GwsJson>& rows) {
    rows.clear();
    Db d;
    Txn t;
    if (Open_Fresh(base, d, t, false) != 0) {
        GwsJson o;
        int rc = Load_Base(base, o);
        if (rc != 0) return rc;
        json_object* a = Gwssim_Json_Array(o.get(), list);
        size_t n = a ? json_object_array_length(a) : 0;
        for (size_t i = 0; i < n; ++i) rows.emplace_back(json_object_get(json_object_array_get_idx(a, i)));
        return 0;
    }
    Stmt s(d.db, "SELECT json FROM rows WHERE list=? ORDER BY seq");
    if (!s.st) return -1;
    sqlite3_bind_text(s.st, 1, list, -1, SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(s.st)) == SQLITE_ROW) {
        rows.push_back(Gwssim_Json_Parse(s.Col(0)));
        if (!rows.back()) return -1;
    }
    return rc == SQLITE_DONE ? 0 : -1;
}

int Gwssim_Index_Head(const std::string& base, GwsJson& head) {
    GwsJson row;
    int rc = Gwssim_Index_Find(base, "", "", row, &head);
    if (!head) head.reset(json_object_new_object());
    return rc == -2 ? 0 : rc;
}

int Gwssim_Index_Add(const std::string& base, std::vector<std::pair<std::string, json_object*>> rows,
                     const std::vector<std::pair<std::string, std::string>>& head_set) {
    std::vector<GwsJson> own;
    for (auto& [list, o] : rows) own.emplace_back(o);
    Db d;
    Txn t;
    if (Open_Fresh(base, d, t, true) != 0) {
        // Without an index: the whole state, rewritten.
        GwsJson o;
        int rc = Load_Base(base, o);
        if (rc == -2) o.reset(json_object_new_object());
        else if (rc != 0) return rc;
        for (const auto& [k, v] : head_set) Gwssim_Json_Put_Str(o.get(), k.c_str(), v);
        for (size_t i = 0; i < rows.size(); ++i) {
            json_object* a = nullptr;
            if (!json_object_object_get_ex(o.get(), rows[i].first.c_str(), &a)) {
                a = json_object_new_array();
                json_object_object_add(o.get(), rows[i].first.c_str(), a);
            }
            json_object_array_add(a, own[i].release());
        }
        return Gwssim_Index_Save(base, o.release());
    }
    if (!head_set.empty()) {
        GwsJson h = Head_Of(d.db);
        for (const auto& [k, v] : head_set) Gwssim_Json_Put_Str(h.get(), k.c_str(), v);
        if (Set_Meta(d.db, "head", Gwssim_Json_Text(h.get())) != 0) return -1;
    }
    Stmt next(d.db, "SELECT max(coalesce(max(seq) + 1, 0), ?) FROM rows WHERE list=?");
    Stmt ins(d.db, "INSERT INTO rows(list, seq, id, json, added) VALUES(?, ?, ?, ?, 1)");
    if (!next.st || !ins.st) return -1;
    for (size_t i = 0; i < rows.size(); ++i) {
        sqlite3_reset(next.st);
        sqlite3_bind_int64(next.st, 1, kAddedSeq);
        next.Text(2, rows[i].first);
        if (sqlite3_step(next.st) != SQLITE_ROW) return -1;
        long long seq = sqlite3_column_int64(next.st, 0);
        sqlite3_reset(ins.st);
        ins.Text(1, rows[i].first);
        sqlite3_bind_int64(ins.st, 2, seq);
        ins.Text(3, Gwssim_Json_Str(own[i].get(), "id"));
        ins.Text(4, Gwssim_Json_Text(own[i].get()));
        if (sqlite3_step(ins.st) != SQLITE_DONE) return -1;
    }
    return t.Commit();
}
