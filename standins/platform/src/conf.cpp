#include "plat_conf.h"

#include "whole_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::string_view kBlanks = " \t\r\f\v";

std::string_view Trim(std::string_view s) {
    size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

// One line of a configuration file as an INI reader sees it.
struct Conf_Line {
    enum Kind { Other, Header, Pair } kind = Other;
    std::string_view text;  // the line as it is, without its "\n"
    std::string_view name;  // section name or key
    std::string_view value;
};

Conf_Line Parse_Line(std::string_view text) {
    Conf_Line line;
    line.text = text;
    std::string_view s = Trim(text);
    if (s.empty() || s[0] == '#' || s[0] == ';') return line;
    // A key or value is handed out as a C text, which would end at a NUL byte: the reader would
    // take a text cut short (a key then names another pair), and a rewrite would change it.
    if (s.find('\0') != std::string_view::npos) return line;
    size_t close = s.rfind(']');
    if (s[0] == '[' && close != std::string_view::npos && close > 1) {
        line.kind = Conf_Line::Header;
        line.name = s.substr(1, close - 1);
        return line;
    }
    size_t delim = s.find_first_of("=:");
    if (delim == std::string_view::npos) return line;
    line.name = Trim(s.substr(0, delim));
    if (line.name.empty()) return line;
    line.kind = Conf_Line::Pair;
    line.value = Trim(s.substr(delim + 1));
    return line;
}

std::vector<Conf_Line> Parse_Lines(std::string_view text) {
    std::vector<Conf_Line> lines;
    // A UTF-8 byte order mark, as some editors write it, is not part of the first line.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    while (!text.empty()) {
        size_t nl = text.find('\n');
        lines.push_back(Parse_Line(text.substr(0, nl)));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    }
    return lines;
}

bool Has_Line_Break(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Values and keys that read back as written and cannot start or end a line of their own.
bool Value_Ok(const char* value) { return value && !Has_Line_Break(value); }

bool Key_Ok(const char* key) {
    if (!key || !*key || Has_Line_Break(key)) return false;
    std::string_view k(key);
    if (strchr("[#;", k[0]) || k.find_first_of("=:") != std::string_view::npos) return false;
    return Trim(k).size() == k.size();
}

bool Section_Name_Ok(const char* name) {
    return name && *name && !Has_Line_Break(name) && !strchr(name, ']');
}

_T_STR_PAIR_NODE_* Find_Pair(const _T_STR_SECT_NODE_* node, std::string_view key) {
    for (_T_STR_PAIR_NODE_* p = node ? node->pairs : nullptr; p; p = p->next)
        if (key == p->key) return p;
    return nullptr;
}

void Free_Pairs(_T_STR_PAIR_NODE_* p) {
    while (p) {
        _T_STR_PAIR_NODE_* next = p->next;
        free(p->key);
        free(p->value);
        free(p);
        p = next;
    }
}

// A malloc'd copy; an empty view may have no data pointer at all.
char* Dup(std::string_view s) { return s.empty() ? strdup("") : strndup(s.data(), s.size()); }

// Add or replace without checking the texts: for pairs that come from a file or another node.
int Put_Pair(_T_STR_SECT_NODE_* node, std::string_view key, std::string_view value) {
    char* v = Dup(value);
    if (!v) return -ENOMEM;
    if (_T_STR_PAIR_NODE_* p = Find_Pair(node, key)) {
        free(p->value);
        p->value = v;
        return 0;
    }
    auto* p = static_cast<_T_STR_PAIR_NODE_*>(calloc(1, sizeof(_T_STR_PAIR_NODE_)));
    char* k = p ? Dup(key) : nullptr;
    if (!k) {
        free(p);
        free(v);
        return -ENOMEM;
    }
    p->key = k;
    p->value = v;
    _T_STR_PAIR_NODE_** tail = &node->pairs;
    while (*tail) tail = &(*tail)->next;
    *tail = p;
    return 0;
}

int Set_Checked(_T_STR_SECT_NODE_* node, const char* key, const char* value) {
    if (!node || !Key_Ok(key) || !Value_Ok(value)) return -EINVAL;
    return Put_Pair(node, key, value);
}

std::string Pair_Line(std::string_view key, std::string_view value) {
    std::string line(key);
    line += value.empty() ? " =" : " = ";
    line += value;
    line += '\n';
    return line;
}

bool Pairs_Writable(const _T_STR_SECT_NODE_* node) {
    for (const _T_STR_PAIR_NODE_* p = node->pairs; p; p = p->next)
        if (!Key_Ok(p->key) || !Value_Ok(p->value)) return false;
    return true;
}

int Parse_Int64(const _T_STR_SECT_NODE_* node, const char* key, int64_t& out) {
    if (!node || !key) return -EINVAL;
    const _T_STR_PAIR_NODE_* p = Find_Pair(node, key);
    if (!p) return -ENOENT;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(p->value, &end, 10);
    if (end == p->value || *end != '\0' || errno != 0) return -EINVAL;
    out = v;
    return 0;
}

}  // namespace

int Get_Conf_File_Section(const char* file, const char* section, _T_STR_SECT_NODE_** out) {
    if (!file || !section || !out) return -EINVAL;
    std::string text;
    if (int rc = plat::Read_Whole_File(file, text); rc != 0) return rc;
    Sect_List_Ptr node;
    bool inside = false;
    for (const Conf_Line& line : Parse_Lines(text)) {
        if (line.kind == Conf_Line::Header) {
            inside = line.name == section;
            if (inside && !node) {
                node.reset(Create_Sect_Node(section));
                if (!node) return -ENOMEM;
            }
        } else if (line.kind == Conf_Line::Pair && inside) {
            if (int rc = Put_Pair(node.get(), line.name, line.value); rc != 0) return rc;
        }
    }
    *out = node.release();
    return 0;
}

int Set_Conf_File_Section(const char* file, const char* section, const _T_STR_SECT_NODE_* node) {
    if (!file || !Section_Name_Ok(section) || !node || !Pairs_Writable(node)) return -EINVAL;
    std::string text;
    mode_t mode = 0600;
    int rc = plat::Read_Whole_File(file, text, &mode);
    if (rc != 0 && rc != -ENOENT) return rc;

    std::vector<Conf_Line> lines = Parse_Lines(text);
    std::string out;
    std::set<std::string_view> written;
    bool found = false;
    for (size_t i = 0; i < lines.size();) {
        if (lines[i].kind != Conf_Line::Header || lines[i].name != section) {
            out.append(lines[i].text).push_back('\n');
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < lines.size() && lines[end].kind != Conf_Line::Header) ++end;
        if (found) {  // a repeated section: its pairs were read into the node, so it goes
            i = end;
            continue;
        }
        found = true;
        out.append(lines[i].text).push_back('\n');
        // Keys that stay keep their line's place, keys that went are dropped, comments stay.
        std::vector<std::string> body;
        size_t after_last_pair = 0;
        for (size_t k = i + 1; k < end; ++k) {
            const Conf_Line& line = lines[k];
            if (line.kind != Conf_Line::Pair) {
                body.emplace_back(std::string(line.text) + '\n');
                continue;
            }
            const _T_STR_PAIR_NODE_* p = Find_Pair(node, line.name);
            if (!p || !written.insert(p->key).second) continue;
            body.push_back(Pair_Line(p->key, p->value));
            after_last_pair = body.size();
        }
        std::string added;
        for (const _T_STR_PAIR_NODE_* p = node->pairs; p; p = p->next)
            if (written.insert(p->key).second) added += Pair_Line(p->key, p->value);
        body.insert(body.begin() + static_cast<std::ptrdiff_t>(after_last_pair), added);
        for (const std::string& b : body) out += b;
        i = end;
    }
    if (!found) {
        if (!out.empty() && !Trim(lines.back().text).empty()) out += '\n';
        out.append("[").append(section).append("]\n");
        for (const _T_STR_PAIR_NODE_* p = node->pairs; p; p = p->next) out += Pair_Line(p->key, p->value);
    }
    return plat::Write_Whole_File(file, out.data(), out.size(), mode);
}

_T_STR_SECT_NODE_* Create_Sect_Node(const char* name) {
    if (!Section_Name_Ok(name)) return nullptr;
    auto* node = static_cast<_T_STR_SECT_NODE_*>(calloc(1, sizeof(_T_STR_SECT_NODE_)));
    if (!node) return nullptr;
    node->name = strdup(name);
    if (!node->name) {
        free(node);
        return nullptr;
    }
    return node;
}

int Clone_Pair_List(_T_STR_SECT_NODE_* dst, const _T_STR_SECT_NODE_* src) {
    if (!dst || !src) return -EINVAL;
    if (dst == src) return 0;
    for (const _T_STR_PAIR_NODE_* p = src->pairs; p; p = p->next)
        if (int rc = Put_Pair(dst, p->key, p->value); rc != 0) return rc;
    return 0;
}

int Write_Sect_Node(FILE* fp, const _T_STR_SECT_NODE_* node) {
    if (!fp || !node || !Section_Name_Ok(node->name) || !Pairs_Writable(node)) return -EINVAL;
    std::string text = std::string("[") + node->name + "]\n";
    for (const _T_STR_PAIR_NODE_* p = node->pairs; p; p = p->next) text += Pair_Line(p->key, p->value);
    text += '\n';
    if (fwrite(text.data(), 1, text.size(), fp) != text.size()) return errno ? -errno : -EIO;
    return text.size() > INT_MAX ? INT_MAX : static_cast<int>(text.size());
}

void Release_Sect_List(_T_STR_SECT_NODE_* list) {
    while (list) {
        _T_STR_SECT_NODE_* next = list->next;
        Free_Pairs(list->pairs);
        free(list->name);
        free(list);
        list = next;
    }
}

int Set_Pair_Format(int format) { return format == 0 ? 0 : -EINVAL; }

int Set_Pair_String_Value(_T_STR_SECT_NODE_* node, const char* key, const char* value) {
    return Set_Checked(node, key, value);
}

int Set_Pair_Integer_Value(_T_STR_SECT_NODE_* node, const char* key, int64_t value) {
    return Set_Checked(node, key, std::to_string(value).c_str());
}

int Set_Pair_Boolean_Value(_T_STR_SECT_NODE_* node, const char* key, int value) {
    return Set_Checked(node, key, value ? "true" : "false");
}

int Get_Pair_String_Buffer(const _T_STR_SECT_NODE_* node, const char* key, char* buf, size_t size) {
    if (!node || !key || !buf) return -EINVAL;
    const _T_STR_PAIR_NODE_* p = Find_Pair(node, key);
    if (!p) return -ENOENT;
    size_t len = strlen(p->value);
    if (len >= size) return -ENOSPC;
    memcpy(buf, p->value, len + 1);
    return 0;
}

int Get_Pair_String_Buffer(const _T_STR_SECT_NODE_* node, const char* key, std::string& out) {
    if (!node || !key) return -EINVAL;
    const _T_STR_PAIR_NODE_* p = Find_Pair(node, key);
    if (!p) return -ENOENT;
    out = p->value;
    return 0;
}

int Get_Pair_Integer_Value(const _T_STR_SECT_NODE_* node, const char* key, int& out) {
    int64_t v = 0;
    if (int rc = Parse_Int64(node, key, v); rc != 0) return rc;
    if (v < INT_MIN || v > INT_MAX) return -EINVAL;
    out = static_cast<int>(v);
    return 0;
}

int Get_Pair_Int64_Value(const _T_STR_SECT_NODE_* node, const char* key, int64_t& out) {
    return Parse_Int64(node, key, out);
}

int Get_Pair_Boolean_Value(const _T_STR_SECT_NODE_* node, const char* key, int& out) {
    if (!node || !key) return -EINVAL;
    const _T_STR_PAIR_NODE_* p = Find_Pair(node, key);
    if (!p) return -ENOENT;
    static const char* const kTrue[] = {"true", "yes", "on", "1"};
    static const char* const kFalse[] = {"false", "no", "off", "0"};
    for (int i = 0; i < 4; ++i) {
        if (strcasecmp(p->value, kTrue[i]) == 0) return out = 1, 0;
        if (strcasecmp(p->value, kFalse[i]) == 0) return out = 0, 0;
    }
    return -EINVAL;
}

int Check_Conf_DIR(const char* folder) {
    if (!folder || !*folder) return -EINVAL;
    struct stat st;
    if (stat(folder, &st) != 0) return -errno;
    if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
    if (access(folder, W_OK | X_OK) != 0) return -errno;
    return 0;
}
