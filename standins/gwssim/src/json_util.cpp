#include <gwssim/json_util.h>

#include <gwssim/state.h>

GwsJson Gwssim_Json_Parse(const std::string& text) {
    json_tokener* tok = json_tokener_new();
    if (!tok) return nullptr;
    json_object* o = json_tokener_parse_ex(tok, text.c_str(), (int)text.size() + 1);
    bool ok = json_tokener_get_error(tok) == json_tokener_success;
    size_t used = json_tokener_get_parse_end(tok);
    json_tokener_free(tok);
    GwsJson res(o);
    if (!ok || !o) return nullptr;
    // Only white space (and the terminating NUL we handed over) may follow the value.
    for (size_t i = used; i < text.size(); ++i) {
        char c = text[i];
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return nullptr;
    }
    return res;
}

int Gwssim_Json_Load(const std::string& path, GwsJson& out) {
    std::string bytes;
    int rc = Gwssim_Read_File(path, bytes);
    if (rc != 0) return rc;
    out = Gwssim_Json_Parse(bytes);
    return out ? 0 : -1;
}

std::string Gwssim_Json_Text(json_object* o, bool pretty) {
    int flags = JSON_C_TO_STRING_NOSLASHESCAPE | (pretty ? JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_SPACED
                                                         : JSON_C_TO_STRING_PLAIN);
    size_t len = 0;
    const char* s = json_object_to_json_string_length(o, flags, &len);
    return std::string(s ? s : "null", s ? len : 4);
}

std::string Gwssim_Json_Str(json_object* o, const char* key) {
    json_object* v = nullptr;
    if (!o || !json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_string)) return "";
    return std::string(json_object_get_string(v), (size_t)json_object_get_string_len(v));
}

long long Gwssim_Json_Int(json_object* o, const char* key, long long def) {
    json_object* v = nullptr;
    if (!o || !json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_int)) return def;
    return (long long)json_object_get_int64(v);
}

bool Gwssim_Json_Bool(json_object* o, const char* key, bool def) {
    json_object* v = nullptr;
    if (!o || !json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_boolean)) return def;
    return json_object_get_boolean(v);
}

json_object* Gwssim_Json_Array(json_object* o, const char* key) {
    json_object* v = nullptr;
    if (!o || !json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_array)) return nullptr;
    return v;
}

std::vector<std::string> Gwssim_Json_Str_List(json_object* o, const char* key) {
    std::vector<std::string> res;
    json_object* a = Gwssim_Json_Array(o, key);
    size_t n = a ? json_object_array_length(a) : 0;
    for (size_t i = 0; i < n; ++i) {
        json_object* v = json_object_array_get_idx(a, i);
        if (json_object_is_type(v, json_type_string))
            res.emplace_back(json_object_get_string(v), (size_t)json_object_get_string_len(v));
    }
    return res;
}

void Gwssim_Json_Put_Str(json_object* o, const char* key, const std::string& v) {
    json_object_object_add(o, key, json_object_new_string_len(v.data(), (int)v.size()));
}

void Gwssim_Json_Put_Int(json_object* o, const char* key, long long v) {
    json_object_object_add(o, key, json_object_new_int64(v));
}

void Gwssim_Json_Put_Bool(json_object* o, const char* key, bool v) {
    json_object_object_add(o, key, json_object_new_boolean(v));
}

void Gwssim_Json_Put_Str_List(json_object* o, const char* key, const std::vector<std::string>& v) {
    json_object* a = json_object_new_array_ext((int)v.size());
    for (const auto& s : v) json_object_array_add(a, json_object_new_string_len(s.data(), (int)s.size()));
    json_object_object_add(o, key, a);
}
