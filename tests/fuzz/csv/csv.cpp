// The CSV reader of the tools' listings: the whole input is the file; its first byte also picks
// how many lines before the header are dropped.
#include <cstdlib>

#include "common/csvreader.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzz::Write_File("listing.csv", data, size);
    csvx::Document doc;
    if (doc.Load(path, size ? data[0] % 3 : 0) != 0) return 0;
    for (const std::string& name : doc.ColumnNames()) {
        std::vector<std::string> column = doc.GetColumn(name);
        // Every column has one cell per row.
        if (column.size() != doc.RowCount()) abort();
        for (const std::string& cell : column) {
            int64_t n = 0;
            (void)csvx::ToInt64(cell, n);
        }
    }
    std::string cell;
    (void)doc.GetCell(static_cast<int>(doc.ColumnNames().size()), 0, cell);
    (void)doc.GetCell(-1, 0, cell);
    return 0;
}
