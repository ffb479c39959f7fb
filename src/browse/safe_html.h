// The mail view's HTML made safe to show inside the NAS's admin page: a mail from any sender must
// not run anything there nor make the browser fetch anything.
#pragma once

#include <string>

namespace qlm {

// The body of the HTML as an HTML5 parser reads it, written again from an allowlist: kept
// elements with their allowed attributes; script, style, frames, objects, forms, SVG, MathML,
// head content and the like dropped with what they hold; any other element replaced by its
// content; comments dropped. Links keep only http, https and mailto targets and open apart from
// the page; an image keeps its source only when it is an inline base64 image (others show their
// alt text); inline style loses every declaration that could load or run anything (url(),
// expression(), @import, bindings; any CSS escape drops the whole attribute) and every position or
// z-index declaration, so nothing of the mail can cover the page around it.
std::string Safe_Mail_Html(const std::string& html);

// True for a non-empty text made only of base64's characters A-Z, a-z, 0-9, "+", "/" and "=".
bool Is_Base64_Text(const std::string& text);

}  // namespace qlm
