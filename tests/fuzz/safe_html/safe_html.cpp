// The mail-view HTML sanitizer: the input is a mail's HTML. No script element survives, also
// when the cleaned text is cleaned again.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "browse/safe_html.h"

namespace {

bool Holds_Script(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text.find("<script") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string html(reinterpret_cast<const char*>(data), size);
    std::string safe = qlm::Safe_Mail_Html(html);
    std::string twice = qlm::Safe_Mail_Html(safe);
    if (Holds_Script(twice)) abort();
    (void)qlm::Is_Base64_Text(html);
    return 0;
}
