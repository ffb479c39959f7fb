#include "common/dlnames.h"

#include <charconv>
#include <cstring>
#include <strings.h>
#include <sstream>
#include <unordered_set>

namespace qlm {

namespace {

constexpr size_t kMaxNameBytes = 240;
constexpr size_t kMaxKeptExtBytes = 16;

bool Kept_Ascii(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || strchr(" ()-.[]_", c) != nullptr;
}

bool Only_Blanks_And_Dots(const std::string& s) { return s.find_first_not_of(" .") == std::string::npos; }

std::string Strip_Blanks_And_Dots(const std::string& s) {
    const size_t first = s.find_first_not_of(" .");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" .") - first + 1);
}

bool Is_Reserved_Device(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

// The text cut to at most max bytes, never inside a UTF-8 character. A character has at most
// four bytes: bytes that are no UTF-8 (a run of continuation bytes) are cut where they stand.
std::string Cut_On_Character(const std::string& s, size_t max) {
    if (s.size() <= max) return s;
    size_t cut = max;
    while (cut > 0 && max - cut < 3 && (static_cast<unsigned char>(s[cut]) & 0xc0) == 0x80) --cut;
    if ((static_cast<unsigned char>(s[cut]) & 0xc0) == 0x80) cut = max;
    return s.substr(0, cut);
}

}  // namespace

std::string CleanDownloadFileName(std::string name) {
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) continue;
        if (c >= 0x80 || Kept_Ascii(c)) {
            out += static_cast<char>(c);
        } else if (out.empty() || out.back() != '_') {
            out += '_';
        }
    }
    out = Only_Blanks_And_Dots(out) ? kUntitledName : Strip_Blanks_And_Dots(out);
    if (out.empty() || out == "." || out == "..") out = kUntitledName;
    if (out.size() > kMaxNameBytes) {
        out = Cut_On_Character(out, kMaxNameBytes);
        out = Only_Blanks_And_Dots(out) ? kUntitledName : Strip_Blanks_And_Dots(out);
    }
    // After the cut, which may leave a device name ("PRN" and blanks, cut); the "_" keeps the name
    // from starting with a blank or dot, so only its end may need cutting again.
    if (Is_Reserved_Device(out)) {
        out.insert(0, "_");
        if (out.size() > kMaxNameBytes) {
            out = Cut_On_Character(out, kMaxNameBytes);
            out.erase(out.find_last_not_of(" .") + 1);
        }
    }
    return out;
}

std::vector<std::string> parseCommaSeparatedStrings(const std::string& text) {
    std::vector<std::string> items;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) items.push_back(item);
    return items;
}

bool containsString(const std::vector<std::string>& list, const std::string& text) {
    for (const std::string& item : list)
        if (item == text) return true;
    return false;
}

std::vector<std::string> Distinct_Items(const std::vector<std::string>& items, bool byNumber) {
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    for (const std::string& item : items) {
        long long value = 0;
        // A leading NUL keeps a number's key apart from every text item (none holds a NUL).
        const std::string key =
            byNumber && Parse_Whole_Int(item, value) ? std::string(1, '\0') + std::to_string(value) : item;
        if (seen.insert(key).second) out.push_back(item);
    }
    return out;
}

std::string extract_filename_from_line(const std::string& line) {
    // A hand scan rather than a regular expression: the tool's line may be long, and the
    // library's matcher recurses per byte.
    for (size_t open = line.find('"'); open != std::string::npos;) {
        const size_t close = line.find('"', open + 1);
        if (close == std::string::npos) break;
        if (close > open + 1) return line.substr(open + 1, close - open - 1);
        open = close;
    }
    return "";
}

std::string Drive_Name_Component(std::string name) {
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    if (name.empty() || name == "." || name == "..") return kUntitledName;
    if (name.size() <= kMaxNameBytes) return name;
    // Longer than a file system takes (with room for a "(n)"): the start of the name is cut, and a
    // short extension kept, so the file still opens with its program.
    const size_t dot = name.rfind('.');
    const std::string ext = dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxKeptExtBytes
                                ? name.substr(dot)
                                : std::string();
    return Cut_On_Character(name.substr(0, name.size() - ext.size()), kMaxNameBytes - ext.size()) + ext;
}

const EditorExport* Editor_Export(const std::string& mime) {
    static const EditorExport kEditors[] = {
        {"application/vnd.google-apps.document", "application/vnd.oasis.opendocument.text", ".odt"},
        {"application/vnd.google-apps.spreadsheet", "application/vnd.oasis.opendocument.spreadsheet", ".ods"},
        {"application/vnd.google-apps.presentation", "application/vnd.oasis.opendocument.presentation", ".odp"},
    };
    for (const auto& e : kEditors)
        if (mime == e.google) return &e;
    return nullptr;
}

std::string Drive_File_Name(const std::string& name, const std::string& mime) {
    std::string out = Drive_Name_Component(name);
    if (const EditorExport* e = Editor_Export(mime)) {
        const size_t n = strlen(e->ext);
        if (out.size() < n || strcasecmp(out.c_str() + out.size() - n, e->ext) != 0) out += e->ext;
    }
    return out;
}

bool Parse_Whole_Int(const std::string& text, long long& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

}  // namespace qlm
