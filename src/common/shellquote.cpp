#include "common/shellquote.h"

namespace qlm {

std::string ShellQuote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    for (char c : text) {
        // Nothing is special inside single quotes except the quote itself, which cannot be
        // escaped there: close the quotes, add an escaped quote, open them again.
        if (c == '\'')
            out.append("'\\''");
        else
            out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

}  // namespace qlm
