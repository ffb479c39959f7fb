// Reader of the CSV listings the tools write, over libcsv.
// First row = column names, "," separator, RFC 4180 quoting ("" inside quotes is one quote; quoted
// commas and line breaks stay in the cell), CRLF read as LF, cells never trimmed, a UTF-8 BOM before
// the first name dropped, blank lines skipped. Short rows are padded with empty cells to the
// header's width and extra cells are dropped, so row i of every column is the same record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

namespace csvx {

// How a listing's writer treats a backslash. GAM writes its Drive, event and contact listings
// with backslash as escape character ("\\" for one "\"); its contact-group listing, and the other
// tools, write a backslash as it stands.
enum class Backslash { Plain, Escape };

class Document {
public:
    // Reads the whole file; skipLines lines before the header are dropped (GAM's file tree prints
    // one line before its CSV). With Backslash::Escape a backslash in a cell gives the character
    // after it as it stands (a backslash at the very end of a cell stays). 0; -2 when the file
    // cannot be opened; -161 when it cannot be read or parsed. An empty file has no columns and no
    // rows. The document is emptied first.
    int Load(const std::string& path, size_t skipLines = 0, Backslash bs = Backslash::Plain);

    // Loads a tool's listing as Load does, and checks first that it is whole, since a tool may exit 0
    // with its output cut short or garbled: the output is not empty and has its header, every row has
    // exactly the header's columns, the file ends with a complete line (a final line break outside any
    // quoted cell), and the header names every one of `required`. 0; -2 when the file cannot be
    // opened (problem says so too); -161 with problem set to what is wrong, worded to follow "<listing> of <account> ",
    // e.g. "is incomplete: the last row is cut short". The document is empty unless 0.
    int LoadListing(const std::string& path, size_t skipLines, Backslash bs,
                    std::initializer_list<const char*> required, std::string& problem);

    const std::vector<std::string>& ColumnNames() const { return names_; }
    // Index of the first column of exactly that name (case-sensitive); -1 when there is none.
    int ColumnIndex(const std::string& name) const;
    bool HasColumn(const std::string& name) const { return ColumnIndex(name) >= 0; }
    size_t RowCount() const { return rows_.size(); }

    // Every cell of the column, one per row. A missing column reads empty after the line
    // "[Warning] Column not found: <name>" on stderr; optional columns rely on that.
    std::vector<std::string> GetColumn(const std::string& name) const;
    // One cell; false (out untouched) when the column is missing or the row is out of range.
    bool GetCell(const std::string& name, size_t row, std::string& out) const;
    bool GetCell(int colIndex, size_t row, std::string& out) const;

private:
    // With problem given, the listing checks of LoadListing.
    int Load_Impl(const std::string& path, size_t skipLines, Backslash bs, std::string* problem,
                  std::initializer_list<const char*> required);

    std::vector<std::string> names_;
    std::unordered_map<std::string, int> index_;
    std::vector<std::vector<std::string>> rows_;
};

// Whole-text decimal numbers (an optional "-", digits, nothing else, within range). false leaves
// out untouched, so a record keeps its default for a non-numeric cell.
bool ToInt64(const std::string& text, int64_t& out);
bool ToInt(const std::string& text, int& out);

}  // namespace csvx
