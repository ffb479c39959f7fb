#include "plat_json.h"

#include "whole_file.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Tokener_Free {
    void operator()(json_tokener* tok) const { json_tokener_free(tok); }
};

bool Is_Json_Space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One JSON value and nothing after it but white space. json-c alone would stop at the end of the
// first value and ignore the rest, so "{} garbage" or a record with a second half would pass.
PT_JSON Parse_Whole(const char* text, size_t len) {
    if (len >= INT_MAX || memchr(text, '\0', len)) return nullptr;
    std::unique_ptr<json_tokener, Tokener_Free> tok(json_tokener_new());
    if (!tok) return nullptr;
    // Strict: no trailing commas or misspelt literals; the trailing text is judged below.
    json_tokener_set_flags(tok.get(), JSON_TOKENER_STRICT | JSON_TOKENER_ALLOW_TRAILING_CHARS);
    // The length includes the terminating NUL, so a bare number at the end is complete.
    RAIIful_Json obj(json_tokener_parse_ex(tok.get(), text, static_cast<int>(len) + 1));
    if (!obj || json_tokener_get_error(tok.get()) != json_tokener_success) return nullptr;
    for (size_t i = json_tokener_get_parse_end(tok.get()); i < len; ++i)
        if (!Is_Json_Space(text[i])) return nullptr;
    return obj.release();
}

bool Is_Dict(PT_JSON obj) { return obj && json_object_is_type(obj, json_type_object); }

// Adds value under key, handing value over in every case.
int Dict_Put(PT_JSON dict, const char* key, PT_JSON value) {
    RAIIful_Json owned(value);
    if (!Is_Dict(dict) || !key) return -EINVAL;
    if (json_object_object_add(dict, key, owned.get()) != 0) return -ENOMEM;
    owned.release();
    return 0;
}

// Adds a newly made value; a NULL from json-c's constructor means it ran out of memory.
int Dict_Put_New(PT_JSON dict, const char* key, PT_JSON value) {
    if (!value) return -ENOMEM;
    return Dict_Put(dict, key, value);
}

// The value under key when it is of the given kind.
int Find_Typed(PT_JSON dict, const char* key, json_type type, PT_JSON& out) {
    if (!Is_Dict(dict) || !key) return -EINVAL;
    PT_JSON value = nullptr;
    if (!json_object_object_get_ex(dict, key, &value) || !value) return -ENOENT;
    if (!json_object_is_type(value, type)) return -EINVAL;
    out = value;
    return 0;
}

// json-c keeps integers above INT64_MAX as unsigned; get_int64 would clamp them silently.
int Find_Int64_Checked(PT_JSON dict, const char* key, int64_t& out) {
    PT_JSON value = nullptr;
    if (int rc = Find_Typed(dict, key, json_type_int, value); rc != 0) return rc;
    int64_t v = json_object_get_int64(value);
    if (v == INT64_MAX && json_object_get_uint64(value) > static_cast<uint64_t>(INT64_MAX)) return -ERANGE;
    out = v;
    return 0;
}

}  // namespace

PT_JSON Json_Dict_Init() { return json_object_new_object(); }

PT_JSON Json_List_Init() { return json_object_new_array(); }

PT_JSON Json_From_File(const char* path) {
    if (!path) return nullptr;
    std::string text;
    if (plat::Read_Whole_File(path, text) != 0) return nullptr;
    return Parse_Whole(text.c_str(), text.size());
}

PT_JSON Json_From_String(const char* text) {
    if (!text) return nullptr;
    return Parse_Whole(text, strlen(text));
}

int Json_To_File(const char* path, PT_JSON obj) {
    if (!path || !obj) return -EINVAL;
    size_t len = 0;
    const char* text = json_object_to_json_string_length(obj, JSON_C_TO_STRING_PLAIN, &len);
    if (!text) return -ENOMEM;
    return plat::Write_Whole_File(path, text, len, 0600);
}

const char* Json_To_String(PT_JSON obj) {
    return json_object_to_json_string_ext(obj, JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_NOSLASHESCAPE);
}

const char* Json_To_Plain_String(PT_JSON obj) { return json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN); }

PT_JSON Json_Obj_Dup(PT_JSON obj) {
    if (!obj) return nullptr;
    PT_JSON copy = nullptr;
    if (json_object_deep_copy(obj, &copy, nullptr) != 0) return nullptr;
    return copy;
}

int Json_Dict_Add_Str(PT_JSON dict, const char* key, const char* value) {
    if (!value) return Dict_Put(dict, key, nullptr);
    return Dict_Put_New(dict, key, json_object_new_string(value));
}

int Json_Dict_Add_Int(PT_JSON dict, const char* key, int value) {
    return Dict_Put_New(dict, key, json_object_new_int(value));
}

int Json_Dict_Add_Int64(PT_JSON dict, const char* key, int64_t value) {
    return Dict_Put_New(dict, key, json_object_new_int64(value));
}

int Json_Dict_Add_Bool(PT_JSON dict, const char* key, bool value) {
    return Dict_Put_New(dict, key, json_object_new_boolean(value));
}

int Json_Dict_Add_Double(PT_JSON dict, const char* key, double value) {
    if (!std::isfinite(value)) return -EINVAL;
    return Dict_Put_New(dict, key, json_object_new_double(value));
}

int Json_Dict_Add_List(PT_JSON dict, const char* key, PT_JSON list) {
    if (!list || !json_object_is_type(list, json_type_array)) {
        json_object_put(list);
        return -EINVAL;
    }
    return Dict_Put(dict, key, list);
}

int Json_Dict_Add_Dict(PT_JSON dict, const char* key, PT_JSON child) {
    if (!Is_Dict(child) || child == dict) {
        if (child != dict) json_object_put(child);
        return -EINVAL;
    }
    return Dict_Put(dict, key, child);
}

int Json_Dict_Find_Str(PT_JSON dict, const char* key, const char*& out) {
    PT_JSON value = nullptr;
    if (int rc = Find_Typed(dict, key, json_type_string, value); rc != 0) return rc;
    out = json_object_get_string(value);
    return 0;
}

int Json_Dict_Find_Int(PT_JSON dict, const char* key, int& out) {
    int64_t v = 0;
    if (int rc = Find_Int64_Checked(dict, key, v); rc != 0) return rc;
    if (v < INT_MIN || v > INT_MAX) return -ERANGE;
    out = static_cast<int>(v);
    return 0;
}

int Json_Dict_Find_Int64(PT_JSON dict, const char* key, int64_t& out) { return Find_Int64_Checked(dict, key, out); }

int Json_Dict_Find_Bool(PT_JSON dict, const char* key, bool& out) {
    PT_JSON value = nullptr;
    if (int rc = Find_Typed(dict, key, json_type_boolean, value); rc != 0) return rc;
    out = json_object_get_boolean(value) != 0;
    return 0;
}

int Json_Dict_Find_List(PT_JSON dict, const char* key, PT_JSON& out) {
    return Find_Typed(dict, key, json_type_array, out);
}

int Json_Dict_Find_Dict(PT_JSON dict, const char* key, PT_JSON& out) {
    return Find_Typed(dict, key, json_type_object, out);
}

int Json_Dict_Remove(PT_JSON dict, const char* key) {
    if (!Is_Dict(dict) || !key) return -EINVAL;
    if (!json_object_object_get_ex(dict, key, nullptr)) return -ENOENT;
    json_object_object_del(dict, key);
    return 0;
}

int Json_List_Add_Str(PT_JSON list, const char* value) {
    if (!value) return Json_List_Add_Dict(list, nullptr);
    PT_JSON item = json_object_new_string(value);
    if (!item) return -ENOMEM;
    return Json_List_Add_Dict(list, item);
}

int Json_List_Add_Dict(PT_JSON list, PT_JSON item) {
    RAIIful_Json owned(item);
    if (!Json_Is_List(list) || item == list) {
        if (item == list) owned.release();
        return -EINVAL;
    }
    if (json_object_array_add(list, owned.get()) != 0) return -ENOMEM;
    owned.release();
    return 0;
}

int Json_List_Size(PT_JSON list) {
    if (!Json_Is_List(list)) return 0;
    size_t n = json_object_array_length(list);
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

PT_JSON Json_List_Child(PT_JSON list, int index) {
    if (index < 0 || index >= Json_List_Size(list)) return nullptr;
    return json_object_array_get_idx(list, static_cast<size_t>(index));
}

bool Json_Is_List(PT_JSON obj) { return obj && json_object_is_type(obj, json_type_array); }

const char* Json_Get_String(PT_JSON obj) {
    if (!obj || !json_object_is_type(obj, json_type_string)) return nullptr;
    return json_object_get_string(obj);
}

int Json_Get_Int(PT_JSON obj) {
    if (!obj) return 0;
    return json_object_get_int(obj);
}

namespace smbbackup {

int Json_Dict_Add_Integer_String(PT_JSON dict, const char* key, const char* text) {
    if (!text || !*text) return Dict_Put(dict, key, nullptr);
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0') return Dict_Put(dict, key, nullptr);
    return Dict_Put_New(dict, key, json_object_new_int64(v));
}

}  // namespace smbbackup
