// The download name rules: whatever Google or a tool names a file, the result is one safe path
// component, and the list and number readers never read past their text.
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/dlnames.h"

namespace {

bool One_Component(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::string clean = qlm::CleanDownloadFileName(text);
    if (!One_Component(clean) || clean.size() > 240) abort();
    for (unsigned char c : clean)
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') abort();
    if (qlm::CleanDownloadFileName(clean) != clean) abort();  // cleaning a clean name changes nothing

    const std::string component = qlm::Drive_Name_Component(text);
    if (!One_Component(component) || component.size() > 240) abort();

    const auto items = qlm::parseCommaSeparatedStrings(text);
    for (const std::string& item : items)
        if (item.empty() || item.find(',') != std::string::npos || !qlm::containsString(items, item)) abort();

    const std::string quoted = qlm::extract_filename_from_line(text);
    if (quoted.size() > text.size() || quoted.find('"') != std::string::npos) abort();

    long long value = 0;
    if (qlm::Parse_Whole_Int(text, value) && std::to_string(value) != text && text != "-0" &&
        !(text.size() > 1 && (text[0] == '0' || (text[0] == '-' && text[1] == '0'))))
        abort();
    return 0;
}
