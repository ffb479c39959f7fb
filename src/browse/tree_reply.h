// The reply { "success": true, "tree": [ rows ], "total": n } written row by row: the same bytes
// Reply_Json prints for the whole object, without holding every row in memory at once (a search
// over a catalog of a million rows would otherwise build about a gigabyte of JSON objects). The
// activity log's pages have the same form with the list named "log".
#pragma once

#include "plat_json.h"

namespace qlm {

class Tree_Reply_Stream {
public:
    // Prints the content-type header (when not printed yet) and the reply's head, with the list
    // under listKey.
    explicit Tree_Reply_Stream(const char* listKey = "tree");
    Tree_Reply_Stream(const Tree_Reply_Stream&) = delete;
    Tree_Reply_Stream& operator=(const Tree_Reply_Stream&) = delete;

    // Prints one row. 0, or -22 when the row has no text form (it is then left out).
    int Add(PT_JSON row);
    // Rows printed so far.
    long long Rows() const { return m_rows; }
    // Closes the list and prints "total" and the end of the line.
    void Finish(long long total);

private:
    long long m_rows = 0;
};

}  // namespace qlm
