// The JSON readers of records and tool output: the input is a record file read as an object, and
// the same text through the platform wrapper, whose readers then walk what was found.
#include <cstdlib>
#include <cstring>

#include "common/atomicfile.h"
#include "fuzz_input.h"
#include "plat_json.h"

namespace {

void Walk(PT_JSON obj, int depth) {
    if (depth > 16 || obj == nullptr) return;
    (void)Json_Get_Int(obj);
    (void)Json_Get_String(obj);
    for (int i = 0, n = Json_List_Size(obj); i < n && i < 64; ++i) Walk(Json_List_Child(obj, i), depth + 1);
    if (!json_object_is_type(obj, json_type_object)) return;
    json_object_object_foreach(obj, key, val) {
        const char* s = nullptr;
        int i = 0;
        int64_t l = 0;
        bool b = false;
        PT_JSON child = nullptr;
        (void)Json_Dict_Find_Str(obj, key, s);
        (void)Json_Dict_Find_Int(obj, key, i);
        (void)Json_Dict_Find_Int64(obj, key, l);
        (void)Json_Dict_Find_Bool(obj, key, b);
        (void)Json_Dict_Find_List(obj, key, child);
        (void)Json_Dict_Find_Dict(obj, key, child);
        Walk(val, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzz::Write_File("record.json", data, size);
    RAIIful_Json record(qlm::Json_Read_Object_File(path));
    if (record && !json_object_is_type(record.get(), json_type_object)) abort();

    std::string text(reinterpret_cast<const char*>(data), size);
    RAIIful_Json value(Json_From_String(text.c_str()));
    if (!value) return 0;
    Walk(value.get(), 0);
    // What is written reads back.
    RAIIful_Json copy(Json_Obj_Dup(value.get()));
    const char* written = Json_To_Plain_String(copy.get());
    RAIIful_Json back(Json_From_String(written));
    if (!back) abort();
    return 0;
}
