#include "common/csvreader.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <csv.h>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "common/guards.h"

namespace csvx {

namespace {

constexpr int kErrMissingFile = -2;
constexpr int kErrRead = -161;

int Read_Whole_File(const std::string& path, std::string& out) {
    FdGuard f{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return kErrMissingFile;
    char buf[64 * 1024];
    for (;;) {
        ssize_t n = read(f.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return kErrRead;
        if (n == 0) return 0;
        out.append(buf, static_cast<size_t>(n));
    }
}

// Drops every CR that stands right before an LF, in place (inside quoted cells too).
void Strip_Cr_Before_Lf(std::string& text) {
    size_t w = 0;
    for (size_t r = 0; r < text.size(); ++r) {
        if (text[r] == '\r' && r + 1 < text.size() && text[r + 1] == '\n') continue;
        text[w++] = text[r];
    }
    text.resize(w);
}

struct Records {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> current;
};

void On_Field(void* s, size_t len, void* data) {
    auto* rec = static_cast<Records*>(data);
    if (len == 0)
        rec->current.emplace_back();
    else
        rec->current.emplace_back(static_cast<const char*>(s), len);
}

void On_Row(int, void* data) {
    auto* rec = static_cast<Records*>(data);
    rec->rows.push_back(std::move(rec->current));
    rec->current.clear();
}

// Cells keep their blanks and tabs: libcsv would trim them around unquoted fields.
int No_Space(unsigned char) { return 0; }

struct Parser {
    csv_parser p;
    bool ready = false;
    ~Parser() {
        if (ready) csv_free(&p);
    }
};

int Parse(std::string_view text, Records& rec) {
    Parser parser;
    if (csv_init(&parser.p, CSV_APPEND_NULL) != 0) return kErrRead;
    parser.ready = true;
    csv_set_space_func(&parser.p, No_Space);
    if (csv_parse(&parser.p, text.data(), text.size(), On_Field, On_Row, &rec) != text.size()) return kErrRead;
    if (csv_fini(&parser.p, On_Field, On_Row, &rec) != 0) return kErrRead;
    return 0;
}

}  // namespace

namespace {

// "\\" -> "\", "\x" -> "x", in place.
void Unescape(std::string& cell) {
    size_t w = 0;
    for (size_t r = 0; r < cell.size(); ++r) {
        if (cell[r] == '\\' && r + 1 < cell.size()) ++r;
        cell[w++] = cell[r];
    }
    cell.resize(w);
}

}  // namespace

int Document::Load(const std::string& path, size_t skipLines, Backslash bs) {
    names_.clear();
    index_.clear();
    rows_.clear();

    std::string text;
    int rc = Read_Whole_File(path, text);
    if (rc != 0) return rc;
    Strip_Cr_Before_Lf(text);

    std::string_view body(text);
    for (size_t i = 0; i < skipLines && !body.empty(); ++i) {
        size_t nl = body.find('\n');
        body = nl == std::string_view::npos ? std::string_view() : body.substr(nl + 1);
    }
    if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);

    Records rec;
    rc = Parse(body, rec);
    if (rc != 0) return rc;
    if (rec.rows.empty()) return 0;
    if (bs == Backslash::Escape)
        for (auto& row : rec.rows)
            for (auto& cell : row) Unescape(cell);

    names_ = std::move(rec.rows.front());
    for (size_t i = 0; i < names_.size(); ++i) index_.emplace(names_[i], static_cast<int>(i));
    rows_.reserve(rec.rows.size() - 1);
    for (size_t r = 1; r < rec.rows.size(); ++r) {
        rec.rows[r].resize(names_.size());
        rows_.push_back(std::move(rec.rows[r]));
    }
    return 0;
}

int Document::ColumnIndex(const std::string& name) const {
    auto it = index_.find(name);
    return it == index_.end() ? -1 : it->second;
}

std::vector<std::string> Document::GetColumn(const std::string& name) const {
    int col = ColumnIndex(name);
    if (col < 0) {
        std::string line = "[Warning] Column not found: " + name + "\n";
        fwrite(line.data(), 1, line.size(), stderr);
        return {};
    }
    std::vector<std::string> cells;
    cells.reserve(rows_.size());
    for (const auto& row : rows_) cells.push_back(row[static_cast<size_t>(col)]);
    return cells;
}

bool Document::GetCell(const std::string& name, size_t row, std::string& out) const {
    return GetCell(ColumnIndex(name), row, out);
}

bool Document::GetCell(int colIndex, size_t row, std::string& out) const {
    if (colIndex < 0 || static_cast<size_t>(colIndex) >= names_.size() || row >= rows_.size()) return false;
    out = rows_[row][static_cast<size_t>(colIndex)];
    return true;
}

namespace {

template <typename T>
bool To_Number(const std::string& text, T& out) {
    T value{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return false;
    out = value;
    return true;
}

}  // namespace

bool ToInt64(const std::string& text, int64_t& out) { return To_Number(text, out); }
bool ToInt(const std::string& text, int& out) { return To_Number(text, out); }

}  // namespace csvx
