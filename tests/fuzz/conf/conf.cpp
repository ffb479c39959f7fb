// The configuration-section reader: the input is the file. Its first section (and a fixed name) is
// read, every pair through each typed reader, then written back and read again.
#include <cstdlib>
#include <cstring>

#include "fuzz_input.h"
#include "plat_conf.h"

namespace {

void Read_Pairs(const _T_STR_SECT_NODE_* node) {
    for (const _T_STR_PAIR_NODE_* p = node->pairs; p; p = p->next) {
        char small[8];
        std::string text;
        int i = 0, b = 0;
        int64_t l = 0;
        (void)Get_Pair_String_Buffer(node, p->key, small, sizeof small);
        if (Get_Pair_String_Buffer(node, p->key, text) != 0) abort();
        (void)Get_Pair_Integer_Value(node, p->key, i);
        (void)Get_Pair_Int64_Value(node, p->key, l);
        (void)Get_Pair_Boolean_Value(node, p->key, b);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzz::Write_File("app.conf", data, size);
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string first = "task";
    size_t open = text.find('[');
    size_t close = text.find(']', open == std::string::npos ? 0 : open);
    if (open != std::string::npos && close != std::string::npos) first = text.substr(open + 1, close - open - 1);

    for (const std::string& section : {first, std::string("task")}) {
        _T_STR_SECT_NODE_* raw = nullptr;
        if (Get_Conf_File_Section(path.c_str(), section.c_str(), &raw) != 0 || raw == nullptr) continue;
        Sect_List_Ptr node(raw);
        Read_Pairs(node.get());
        // What was read is written back unchanged, and reads the same again.
        if (Set_Conf_File_Section(path.c_str(), section.c_str(), node.get()) != 0) continue;
        _T_STR_SECT_NODE_* again = nullptr;
        if (Get_Conf_File_Section(path.c_str(), section.c_str(), &again) != 0 || again == nullptr) abort();
        Sect_List_Ptr reread(again);
        for (const _T_STR_PAIR_NODE_* p = node->pairs; p; p = p->next) {
            std::string value;
            if (Get_Pair_String_Buffer(reread.get(), p->key, value) != 0) abort();
            std::string want;
            (void)Get_Pair_String_Buffer(node.get(), p->key, want);
            if (value != want) abort();
        }
    }
    return 0;
}
