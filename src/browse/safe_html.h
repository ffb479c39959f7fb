// The mail view's HTML made safe to show inside the NAS's admin page: a mail from any sender must
// not run anything there nor make the browser fetch anything.
#pragma once

#include <string>

namespace qlm {

// The HTML read once from start to end, in time and memory linear in its size, and written again
// from an allowlist as well-formed markup: kept elements with their allowed attributes; script,
// style, frames, objects, forms, SVG, MathML, head content and the like dropped with what they
// hold; any other element replaced by its content; comments dropped. Paragraphs, list items, rows
// and cells close as a browser closes them. Links keep only http, https and mailto targets and
// open apart from the page; an image keeps its source only when it is an inline base64 image
// (others show their alt text). Inline style keeps only declarations of an allow list of
// properties that cannot move, scale or lift the mail out of its box (no transform, no position,
// offsets or z-index, no float or shadow, no negative or computed margin), and none that could
// load or run anything (url(), expression(), @import, bindings; any CSS escape drops the whole
// attribute). Kept elements nest at most 256 deep (deeper tags are left out, their text kept) and
// the output stops at twice the input plus 1 MiB; each such limit reached adds its note to the page.
std::string Safe_Mail_Html(const std::string& html);

// The notes the view adds: at the top when tags nested too deeply were left out, at the end when
// the rest of the mail was too large to show.
extern const char* const kTooDeepNote;
extern const char* const kTooLargeNote;

// True for a non-empty text made only of base64's characters A-Z, a-z, 0-9, "+", "/" and "=".
bool Is_Base64_Text(const std::string& text);

}  // namespace qlm
