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

// A tool writes a quote only around a cell or doubled inside one, so a text with an odd number of
// quotes ends inside a quoted cell (libcsv closes such a cell silently).
bool Ends_In_Quoted_Cell(std::string_view text) {
    size_t quotes = 0;
    for (char c : text) quotes += c == '"' ? 1 : 0;
    return quotes % 2 != 0;
}

bool Is_Blank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// What keeps the parsed text from being a whole listing; empty when nothing does.
std::string Listing_Problem(std::string_view body, const Records& rec, std::initializer_list<const char*> required) {
    // Garbage is told by its header first: a listing cut short keeps its header whole.
    for (const char* column : required) {
        bool found = false;
        for (const std::string& name : rec.rows.front()) found = found || name == column;
        if (!found) return std::string("is unreadable: its header has no column ") + column;
    }
    if (body.back() != '\n' || Ends_In_Quoted_Cell(body)) return "is incomplete: the last row is cut short";
    const size_t width = rec.rows.front().size();
    for (size_t r = 1; r < rec.rows.size(); ++r) {
        const size_t n = rec.rows[r].size();
        if (n == width) continue;
        return std::string(n < width ? "is incomplete: " : "is unreadable: ") + "row " + std::to_string(r) + " has " +
               std::to_string(n) + " cells for the header's " + std::to_string(width) + " columns";
    }
    return std::string();
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
    return Load_Impl(path, skipLines, bs, nullptr, {});
}

int Document::LoadListing(const std::string& path, size_t skipLines, Backslash bs,
                          std::initializer_list<const char*> required, std::string& problem) {
    problem.clear();
    const int rc = Load_Impl(path, skipLines, bs, &problem, required);
    if (rc == kErrMissingFile) problem = "is unreadable: the output is missing";
    if (rc == -2 || (rc == 0 && problem.empty())) return rc;
    if (problem.empty()) problem = "is unreadable: the output is not CSV";
    names_.clear();
    index_.clear();
    rows_.clear();
    return kErrRead;
}

int Document::Load_Impl(const std::string& path, size_t skipLines, Backslash bs, std::string* problem,
                        std::initializer_list<const char*> required) {
    names_.clear();
    index_.clear();
    rows_.clear();

    std::string text;
    int rc = Read_Whole_File(path, text);
    if (rc != 0) return rc;
    Strip_Cr_Before_Lf(text);
    if (problem != nullptr && Is_Blank(text)) {
        *problem = "is unreadable: the output is empty";
        return kErrRead;
    }

    std::string_view body(text);
    for (size_t i = 0; i < skipLines && !body.empty(); ++i) {
        size_t nl = body.find('\n');
        body = nl == std::string_view::npos ? std::string_view() : body.substr(nl + 1);
    }
    if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
    if (problem != nullptr && Is_Blank(body)) {
        *problem = "is incomplete: it ends before its header";
        return kErrRead;
    }

    Records rec;
    rc = Parse(body, rec);
    if (rc != 0) return rc;
    if (problem != nullptr && !rec.rows.empty()) {
        *problem = Listing_Problem(body, rec, required);
        if (!problem->empty()) return kErrRead;
    }
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
