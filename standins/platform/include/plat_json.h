// JSON wrapper of the platform library over json-c.
//
// Ownership: Json_Dict_Init, Json_List_Init, Json_From_*, Json_Obj_Dup give a new object that the
// caller owns (hold it in RAIIful_Json). Everything a Find, Child or Get function hands out is
// borrowed from its container and lives as long as the container. Adding a list or dictionary to
// a container hands it over, also when the add fails, so a caller never frees what it added.
//
// Results: 0 success; -22 for a NULL or non-container argument or a value that cannot be stored;
// -2 when a key is absent (a key holding JSON null counts as absent); -12 out of memory. A Find
// function changes its out value only when it returns 0.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <memory>

typedef json_object* PT_JSON;

PT_JSON Json_Dict_Init();
PT_JSON Json_List_Init();

// Parse a whole file or text: NULL when the file is missing or unreadable, or when the text is not
// one JSON value followed by nothing but white space. Any JSON value is accepted; callers that
// need an object check the type.
PT_JSON Json_From_File(const char* path);
PT_JSON Json_From_String(const char* text);

// Writes the plain text of obj to path as a whole: a temporary file ".<name>.XXXXXX" in the NAS's
// shared temporary folder (beside the target only when that folder is on another file system),
// flushed to disk, then renamed over path, so a reader sees the old or the new file, never a part,
// and a killed writer leaves nothing in the target's folder. The file gets mode 0600. 0 or -errno.
int Json_To_File(const char* path, PT_JSON obj);

// Texts owned by obj, valid until obj changes, is freed or is printed again (both forms share one
// buffer per object).
// Replies: one line in json-c's spaced form, `{ "success": true, "path": "/a/b" }`.
const char* Json_To_String(PT_JSON obj);
// Files and catalog columns: compact form, `{"success":true,"path":"\/a\/b"}`. The "/" stays
// escaped as "\/": stored contact memberships are searched for group names escaped that way.
const char* Json_To_Plain_String(PT_JSON obj);

PT_JSON Json_Obj_Dup(PT_JSON obj);  // deep copy, NULL for NULL

// Add or replace a key. A NULL text is stored as JSON null. A double that is not finite is
// refused (-22): json-c would write NaN or Infinity, which no JSON reader takes back.
int Json_Dict_Add_Str(PT_JSON dict, const char* key, const char* value);
int Json_Dict_Add_Int(PT_JSON dict, const char* key, int value);
int Json_Dict_Add_Int64(PT_JSON dict, const char* key, int64_t value);
int Json_Dict_Add_Bool(PT_JSON dict, const char* key, bool value);
int Json_Dict_Add_Double(PT_JSON dict, const char* key, double value);
int Json_Dict_Add_List(PT_JSON dict, const char* key, PT_JSON list);   // takes list over
int Json_Dict_Add_Dict(PT_JSON dict, const char* key, PT_JSON child);  // takes child over

// 0 only when the key holds a value of exactly that kind (an integer for Int and Int64, a boolean
// for Bool, ...); -2 when the key is absent or null, -22 for another kind, -34 (ERANGE) when an
// integer does not fit the out type.
int Json_Dict_Find_Str(PT_JSON dict, const char* key, const char*& out);
int Json_Dict_Find_Int(PT_JSON dict, const char* key, int& out);
int Json_Dict_Find_Int64(PT_JSON dict, const char* key, int64_t& out);
int Json_Dict_Find_Bool(PT_JSON dict, const char* key, bool& out);
int Json_Dict_Find_List(PT_JSON dict, const char* key, PT_JSON& out);
int Json_Dict_Find_Dict(PT_JSON dict, const char* key, PT_JSON& out);

int Json_Dict_Remove(PT_JSON dict, const char* key);  // 0 removed, -2 was not there

int Json_List_Add_Str(PT_JSON list, const char* value);  // NULL is appended as JSON null
int Json_List_Add_Dict(PT_JSON list, PT_JSON item);      // takes item over (any JSON value)
int Json_List_Size(PT_JSON list);                        // 0 for anything that is not a list
PT_JSON Json_List_Child(PT_JSON list, int index);        // borrowed; NULL when out of range
bool Json_Is_List(PT_JSON obj);
const char* Json_Get_String(PT_JSON obj);  // borrowed; NULL when obj is not a string
// The value as an int: numbers are truncated and clamped, a text is read as its leading decimal
// number ("12" and "12x" give 12), true is 1; 0 for anything else.
int Json_Get_Int(PT_JSON obj);

// Owns one JSON object and puts it when the scope ends.
class RAIIful_Json {
public:
    RAIIful_Json() = default;
    explicit RAIIful_Json(PT_JSON obj) : m_obj(obj) {}

    PT_JSON get() const { return m_obj.get(); }
    PT_JSON release() { return m_obj.release(); }
    void reset(PT_JSON obj = nullptr) { m_obj.reset(obj); }
    explicit operator bool() const { return m_obj != nullptr; }

private:
    struct Put {
        void operator()(PT_JSON obj) const { json_object_put(obj); }
    };
    std::unique_ptr<json_object, Put> m_obj;
};

namespace smbbackup {

// Adds a catalog column's decimal text as a JSON integer. NULL, an empty text, a text that is not
// wholly a decimal number or one beyond 64 bits is stored as JSON null (never a made-up 0).
int Json_Dict_Add_Integer_String(PT_JSON dict, const char* key, const char* text);

}  // namespace smbbackup
