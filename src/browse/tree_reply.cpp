#include "browse/tree_reply.h"

#include <cstdio>

#include "web/reply.h"

namespace qlm {

// The separators are json-c's spaced form: "[ a, b ]", and "[ ]" for no row.
Tree_Reply_Stream::Tree_Reply_Stream(const char* listKey) {
    Ensure_Reply_Header();
    printf("{ \"success\": true, \"%s\": [", listKey);
}

int Tree_Reply_Stream::Add(PT_JSON row) {
    const char* text = row ? Json_To_String(row) : nullptr;
    if (text == nullptr) return -22;
    fputs(m_rows == 0 ? " " : ", ", stdout);
    Put_Reply_Text(text);
    ++m_rows;
    return 0;
}

void Tree_Reply_Stream::Finish(long long total) {
    printf(" ], \"total\": %lld }\n", total);
    fflush(stdout);
}

}  // namespace qlm
