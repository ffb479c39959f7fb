// Small json-c helpers shared by the state code, the tool frame and the tools.
#pragma once

#include <json-c/json.h>

#include <memory>
#include <string>
#include <vector>

struct GwsJsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using GwsJson = std::unique_ptr<json_object, GwsJsonPut>;

// Parses text; nullptr when it is not JSON (trailing bytes other than white space included).
GwsJson Gwssim_Json_Parse(const std::string& text);
// Parses a file: 0, -2 missing, -1 unreadable or not JSON.
int Gwssim_Json_Load(const std::string& path, GwsJson& out);
// Compact text (pretty when asked), slashes not escaped, keys in insertion order.
std::string Gwssim_Json_Text(json_object* o, bool pretty = false);

// Members: the empty text, def or nullptr when absent or of another type.
std::string Gwssim_Json_Str(json_object* o, const char* key);
long long Gwssim_Json_Int(json_object* o, const char* key, long long def);
bool Gwssim_Json_Bool(json_object* o, const char* key, bool def);
json_object* Gwssim_Json_Array(json_object* o, const char* key);
std::vector<std::string> Gwssim_Json_Str_List(json_object* o, const char* key);

void Gwssim_Json_Put_Str(json_object* o, const char* key, const std::string& v);
void Gwssim_Json_Put_Int(json_object* o, const char* key, long long v);
void Gwssim_Json_Put_Bool(json_object* o, const char* key, bool v);
void Gwssim_Json_Put_Str_List(json_object* o, const char* key, const std::vector<std::string>& v);
