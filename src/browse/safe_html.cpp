#include "browse/safe_html.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <string_view>
#include <vector>

namespace qlm {

const char* const kTooDeepNote =
    "<div style=\"padding:6px 10px;border:1px solid #e0c97a;background:#fff8e1;color:#6b5a1e;font-size:12px\">"
    "Part of this mail is nested too deeply to be shown with its formatting; its text is shown without it.</div>";

const char* const kTooLargeNote =
    "<div style=\"padding:6px 10px;border:1px solid #e0c97a;background:#fff8e1;color:#6b5a1e;font-size:12px\">"
    "The rest of this mail is too large to be shown here; download the mail to read all of it.</div>";

namespace {

// The view reads the HTML once, start to end, writing what it keeps as it goes: no tree of the
// whole document, no step that looks back over more than a fixed number of open elements. A mail of
// millions of tags or nested a hundred thousand deep costs the same per byte as any other.

// How deep the kept elements nest at most; deeper start tags are left out (their text stays).
// Browsers stop nesting about here too.
constexpr size_t kMaxDepth = 256;

bool In(std::string_view name, std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Elements shown with their content; the others are either dropped with it or replaced by it. The
// position in this list is the element's number below.
constexpr std::array<std::string_view, 77> kKept = {
    "a",      "abbr",    "address", "article",  "aside",  "b",       "bdi",     "bdo",        "big",
    "blockquote", "br",  "caption", "center",   "cite",   "code",    "col",     "colgroup",   "dd",
    "del",    "details", "dfn",     "div",      "dl",     "dt",      "em",      "figcaption", "figure",
    "font",   "footer",  "h1",      "h2",       "h3",     "h4",      "h5",      "h6",         "header",
    "hr",     "i",       "img",     "ins",      "kbd",    "li",      "main",    "mark",       "nav",
    "ol",     "p",       "pre",     "q",        "rp",     "rt",      "ruby",    "s",          "samp",
    "section", "small",  "span",    "strike",   "strong", "sub",     "summary", "sup",        "table",
    "tbody",  "td",      "tfoot",   "th",       "thead",  "time",    "tr",      "tt",         "u",
    "ul",     "var",     "wbr",     "menu",     "dir"};

int Kept_Index(std::string_view name) {
    const auto it = std::find(kKept.begin(), kKept.end(), name);
    return it == kKept.end() ? -1 : static_cast<int>(it - kKept.begin());
}

// Elements whose content must go with them: active content, what loads resources, what holds a
// foreign language, forms.
bool Dropped_Element(std::string_view t) {
    return In(t, {"script", "style",    "iframe",   "frame",  "frameset", "noframes", "object", "embed",  "applet",
                  "param",  "form",     "input",    "button", "select",   "option",   "optgroup", "textarea",
                  "datalist", "output", "keygen",   "base",   "link",     "meta",     "title",  "svg",    "math",
                  "template", "noscript", "noembed", "audio", "video",    "source",   "track",  "canvas", "map",
                  "area",   "dialog",   "xmp",      "plaintext", "portal", "slot",    "picture", "image"});
}

// Of the dropped elements, those whose content is raw text: it ends only at their own end tag.
bool Raw_Text_Element(std::string_view t) {
    return In(t, {"script", "style", "iframe", "noframes", "noembed", "noscript", "textarea", "title", "xmp"});
}

// Of the dropped elements, those that have no content (or whose stray content is better shown than
// the rest of the mail lost to a missing end tag).
bool Dropped_Alone(std::string_view t) {
    return In(t, {"frame", "embed", "param", "input", "keygen", "base", "link", "meta", "source", "track", "area",
                  "image", "option", "optgroup"});
}

bool Void_Element(std::string_view t) { return In(t, {"br", "col", "hr", "img", "wbr"}); }

// Presentational attributes that load nothing and name nothing of the hosting page.
bool Plain_Attribute(std::string_view a) {
    return In(a, {"abbr",   "align",  "alt",     "bgcolor", "border", "cellpadding", "cellspacing", "clear",
                  "color",  "cols",   "colspan", "datetime", "dir",   "face",        "headers",     "height",
                  "hspace", "lang",   "nowrap",  "reversed", "rowspan", "scope",     "size",        "span",
                  "start",  "summary", "title",  "type",    "valign", "vspace",      "width"});
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A link target the browser opens only when clicked and never runs: http, https or mailto. The
// value is read as the browser's URL parser reads it: blanks and control characters around it
// ignored, tabs and line breaks inside it removed; any other blank or control character inside the
// scheme makes the address relative. An http or https address not followed by "//" is relative too
// when the page has the same scheme ("http:/webman/..." is the NAS itself), so both slashes are
// required ("\" counts as "/" there).
bool Safe_Link(std::string_view url) {
    std::string packed;
    for (char c : url)
        if (c != '\t' && c != '\n' && c != '\r') packed += c;
    const size_t first = std::find_if(packed.begin(), packed.end(), [](char c) {
                             return static_cast<unsigned char>(c) > 0x20;
                         }) - packed.begin();
    const size_t colon = packed.find(':', first);
    if (colon == std::string::npos) return false;  // relative: the NAS itself
    const std::string scheme = Lower(std::string_view(packed).substr(first, colon - first));
    if (scheme == "mailto") return true;
    if (scheme != "http" && scheme != "https") return false;
    const auto slash = [&](size_t at) { return at < packed.size() && (packed[at] == '/' || packed[at] == '\\'); };
    return slash(colon + 1) && slash(colon + 2);
}

// An image source that needs no request: an inline base64 image of a raster type.
bool Safe_Image_Source(std::string_view src) {
    const size_t comma = src.find(',');
    if (comma == std::string_view::npos) return false;
    const std::string head = Lower(src.substr(0, comma));
    if (!In(head, {"data:image/png;base64", "data:image/jpeg;base64", "data:image/jpg;base64", "data:image/gif;base64",
                   "data:image/webp;base64", "data:image/bmp;base64"}))
        return false;
    return Is_Base64_Text(std::string(src.substr(comma + 1)));
}

// What in a declaration could load a resource or run code.
bool Active_Css(const std::string& lowered) {
    for (const char* word : {"url(", "expression", "@import", "javascript:", "vbscript:", "behavior", "binding",
                             "image(", "image-set(", "element(", "src("})
        if (lowered.find(word) != std::string::npos) return true;
    return false;
}

// Properties that keep the mail inside its own box: colours, fonts, text, spacing inside the box,
// borders, sizes and table layout. Whatever moves, scales, lifts or paints outside the box
// (transform, translate, scale, rotate, position and its offsets, z-index, float, shadows) is not here.
bool Allowed_Property(std::string_view p) {
    return In(p, {"color", "background", "background-color", "background-position", "background-repeat",
                  "background-size", "font", "font-family", "font-size", "font-style", "font-weight", "font-variant",
                  "font-stretch", "text-align", "text-decoration", "text-decoration-line", "text-decoration-color",
                  "text-decoration-style", "text-indent", "text-transform", "text-overflow", "letter-spacing",
                  "word-spacing", "line-height", "padding", "padding-top", "padding-right", "padding-bottom",
                  "padding-left", "margin", "margin-top", "margin-right", "margin-bottom", "margin-left", "border",
                  "border-top", "border-right", "border-bottom", "border-left", "border-color", "border-style",
                  "border-width", "border-top-color", "border-right-color", "border-bottom-color", "border-left-color",
                  "border-top-style", "border-right-style", "border-bottom-style", "border-left-style",
                  "border-top-width", "border-right-width", "border-bottom-width", "border-left-width",
                  "border-radius", "border-collapse", "border-spacing", "width", "height", "max-width", "min-width",
                  "max-height", "min-height", "display", "vertical-align", "white-space", "word-wrap", "word-break",
                  "overflow-wrap", "overflow", "overflow-x", "overflow-y", "list-style", "list-style-type",
                  "list-style-position", "table-layout", "caption-side", "empty-cells", "direction", "clear",
                  "visibility", "opacity"});
}

// Properties whose negative or computed values pull the content out of its box (a margin of
// -400px lays the mail over the page's header): only plain non-negative values are kept.
bool Signed_Property(std::string_view p) {
    return p.rfind("margin", 0) == 0 || In(p, {"text-indent", "letter-spacing", "word-spacing"});
}

// The values of display and vertical-align that keep the element in the mail's flow.
bool Allowed_Value(std::string_view property, std::string value) {
    if (const size_t bang = value.find('!'); bang != std::string::npos) value.erase(bang);
    const size_t b = value.find_first_not_of(" \t\r\n\f"), e = value.find_last_not_of(" \t\r\n\f");
    value = b == std::string::npos ? "" : value.substr(b, e + 1 - b);
    if (Signed_Property(property)) return value.find_first_of("-(") == std::string::npos;
    if (property == "display")
        return In(value, {"none", "block", "inline", "inline-block", "list-item", "table", "inline-table",
                          "table-row", "table-cell", "table-row-group", "table-header-group", "table-footer-group",
                          "table-column", "table-column-group", "table-caption", "flex", "inline-flex"});
    if (property == "vertical-align")
        return In(value, {"baseline", "top", "middle", "bottom", "text-top", "text-bottom", "sub", "super"});
    return true;
}

// A declaration whose property is on the allow list with a value that loads and runs nothing.
bool Kept_Declaration(const std::string& lowered) {
    if (Active_Css(lowered)) return false;
    const size_t colon = lowered.find(':');
    const size_t first = lowered.find_first_not_of(" \t\r\n\f");
    if (colon == std::string::npos || first >= colon) return false;
    const size_t last = lowered.find_last_not_of(" \t\r\n\f", colon - 1);
    const std::string property = lowered.substr(first, last + 1 - first);
    return Allowed_Property(property) && Allowed_Value(property, lowered.substr(colon + 1));
}

// The inline style with only its allowed declarations; empty when nothing is left or the text
// holds a CSS escape or a character that has no place in a declaration list.
std::string Safe_Style(std::string_view style) {
    if (style.find_first_of("\\<>") != std::string_view::npos) return "";
    std::string text(style);
    std::string uncommented;
    for (size_t from = 0; from < text.size();) {
        const size_t open = text.find("/*", from);
        uncommented.append(text, from, open == std::string::npos ? std::string::npos : open - from);
        if (open == std::string::npos) break;
        const size_t close = text.find("*/", open + 2);
        from = close == std::string::npos ? text.size() : close + 2;
    }
    std::string out;
    size_t from = 0;
    while (from <= uncommented.size()) {
        size_t end = uncommented.find(';', from);
        if (end == std::string::npos) end = uncommented.size();
        const std::string_view decl = std::string_view(uncommented).substr(from, end - from);
        if (decl.find_first_not_of(" \t\r\n\f") != std::string::npos && Kept_Declaration(Lower(decl))) {
            if (!out.empty()) out += ';';
            out += decl;
        }
        from = end + 1;
    }
    return out;
}

void Append_Escaped(std::string& out, std::string_view text, bool inAttribute) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\0': break;
        case '"':
            if (inAttribute) {
                out += "&quot;";
                break;
            }
            [[fallthrough]];
        default: out += c;
        }
    }
}

void Append_Attribute(std::string& out, std::string_view name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    Append_Escaped(out, value, true);
    out += '"';
}

bool Is_Space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool Is_Alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool Is_Alnum(char c) { return Is_Alpha(c) || (c >= '0' && c <= '9'); }

void Append_Utf8(std::string& out, uint32_t cp) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// An attribute value as the browser reads it: numeric character references and the named ones a
// link or a style could be spelled with. Any other reference stays as text, and since the value is
// written again escaped, the browser then sees exactly the text checked here.
std::string Decoded_Attribute(std::string_view raw) {
    static const std::pair<std::string_view, uint32_t> kNamed[] = {
        {"amp", '&'},     {"lt", '<'},      {"gt", '>'},       {"quot", '"'},     {"apos", '\''},   {"nbsp", 0xA0},
        {"tab", '\t'},    {"newline", '\n'}, {"colon", ':'},   {"sol", '/'},      {"bsol", '\\'},   {"lpar", '('},
        {"rpar", ')'},    {"semi", ';'},    {"comma", ','},    {"period", '.'},   {"excl", '!'},    {"num", '#'},
        {"percnt", '%'},  {"equals", '='},  {"commat", '@'},   {"ast", '*'},      {"plus", '+'},    {"quest", '?'},
        {"lsqb", '['},    {"rsqb", ']'},    {"lcub", '{'},     {"rcub", '}'},     {"copy", 0xA9},   {"reg", 0xAE}};
    std::string out;
    for (size_t i = 0; i < raw.size();) {
        if (raw[i] != '&') {
            if (raw[i] != '\0') out += raw[i];
            ++i;
            continue;
        }
        size_t j = i + 1;
        if (j < raw.size() && raw[j] == '#') {
            const bool hex = j + 1 < raw.size() && (raw[j + 1] == 'x' || raw[j + 1] == 'X');
            size_t k = j + (hex ? 2 : 1);
            uint32_t cp = 0;
            const size_t digits = k;
            for (; k < raw.size() && (hex ? std::isxdigit(static_cast<unsigned char>(raw[k])) != 0
                                          : (raw[k] >= '0' && raw[k] <= '9'));
                 ++k) {
                const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(raw[k])));
                cp = std::min<uint32_t>(0x110000, cp * (hex ? 16 : 10) + (c <= '9' ? c - '0' : c - 'a' + 10));
            }
            if (k > digits) {
                Append_Utf8(out, cp);
                i = k < raw.size() && raw[k] == ';' ? k + 1 : k;
                continue;
            }
        } else {
            size_t k = j;
            while (k < raw.size() && Is_Alnum(raw[k]) && k - j < 16) ++k;
            if (k < raw.size() && raw[k] == ';') {
                const std::string name = Lower(raw.substr(j, k - j));
                const auto it = std::find_if(std::begin(kNamed), std::end(kNamed),
                                             [&](const auto& n) { return n.first == name; });
                if (it != std::end(kNamed)) {
                    Append_Utf8(out, it->second);
                    i = k + 1;
                    continue;
                }
            }
        }
        out += '&';
        ++i;
    }
    return out;
}

// Text as it stands, but with "<" and ">" escaped and "&" kept only where it starts a whole
// character reference: text joined across a dropped element cannot form a new one. False when
// the output passed the limit before the text was all written.
bool Append_Text(std::string& out, std::string_view text, size_t limit) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (out.size() > limit) return false;
        const char c = text[i];
        if (c != '&') {
            Append_Escaped(out, std::string_view(&text[i], 1), false);
            continue;
        }
        size_t k = i + 1;
        if (k < text.size() && text[k] == '#') {
            ++k;
            const bool hex = k < text.size() && (text[k] == 'x' || text[k] == 'X');
            if (hex) ++k;
            const size_t digits = k;
            while (k < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[k])) != 0
                                           : (text[k] >= '0' && text[k] <= '9')))
                ++k;
            if (k == digits) k = text.size();  // no digits: not a reference
        } else {
            const size_t name = k;
            while (k < text.size() && Is_Alnum(text[k])) ++k;
            if (k == name) k = text.size();
        }
        out += k < text.size() && text[k] == ';' ? "&" : "&amp;";
    }
    return true;
}

// The longest value kept of a style or link, and of any other attribute but an image's source.
constexpr size_t kMaxLongValue = 64u << 10;
constexpr size_t kMaxValue = 8u << 10;

struct Attribute {
    std::string name;      // lowered
    std::string_view raw;  // as written, before references are read
};

struct Tag {
    std::string name;  // lowered
    bool end = false;
    bool selfClosing = false;
    std::vector<Attribute> attributes;  // the first of each name, only those the view may keep
};

// The attributes the view may write: only these are collected from a tag, so a tag with a million
// attributes costs no memory.
bool Wanted_Attribute(std::string_view name) {
    return name == "style" || name == "href" || name == "src" || Plain_Attribute(name);
}

// Reads the tag that starts at html[at] ("<" then a letter, or "</" then a letter); returns the
// position after it, or npos when the input ends inside it (the browser drops such a tag).
size_t Read_Tag(std::string_view html, size_t at, Tag& tag) {
    tag.attributes.clear();
    tag.selfClosing = false;
    size_t i = at + 1;
    tag.end = html[i] == '/';
    if (tag.end) ++i;
    const size_t nameStart = i;
    while (i < html.size() && !Is_Space(html[i]) && html[i] != '/' && html[i] != '>') ++i;
    tag.name = Lower(html.substr(nameStart, i - nameStart));
    for (;;) {
        while (i < html.size() && (Is_Space(html[i]) || html[i] == '/')) {
            tag.selfClosing = html[i] == '/' && i + 1 < html.size() && html[i + 1] == '>';
            ++i;
        }
        if (i >= html.size()) return std::string_view::npos;
        if (html[i] == '>') return i + 1;
        tag.selfClosing = false;
        const size_t nameAt = i++;  // a first "=" belongs to the name
        while (i < html.size() && !Is_Space(html[i]) && html[i] != '/' && html[i] != '>' && html[i] != '=') ++i;
        const std::string_view name = html.substr(nameAt, i - nameAt);
        while (i < html.size() && Is_Space(html[i])) ++i;
        std::string_view value;
        if (i < html.size() && html[i] == '=') {
            ++i;
            while (i < html.size() && Is_Space(html[i])) ++i;
            if (i >= html.size()) return std::string_view::npos;
            if (html[i] == '"' || html[i] == '\'') {
                const size_t close = html.find(html[i], i + 1);
                if (close == std::string_view::npos) return std::string_view::npos;
                value = html.substr(i + 1, close - i - 1);
                i = close + 1;
            } else {
                const size_t from = i;
                while (i < html.size() && !Is_Space(html[i]) && html[i] != '>') ++i;
                value = html.substr(from, i - from);
            }
        }
        if (tag.end || name.size() > 16) continue;
        const std::string lowered = Lower(name);
        if (!Wanted_Attribute(lowered)) continue;
        // Only an image's data is long; a longer value of another attribute is dropped, so that
        // one tag cannot multiply into megabytes of references.
        if (lowered != "src" && value.size() > (lowered == "style" || lowered == "href" ? kMaxLongValue : kMaxValue))
            continue;
        if (std::none_of(tag.attributes.begin(), tag.attributes.end(),
                         [&](const Attribute& a) { return a.name == lowered; }))
            tag.attributes.push_back({lowered, value});
    }
}

void Append_Start_Tag(std::string& out, const Tag& tag) {
    out += '<';
    out += tag.name;
    bool link = false;
    for (const Attribute& attr : tag.attributes) {
        const std::string value = Decoded_Attribute(attr.raw);
        if (attr.name == "style") {
            const std::string style = Safe_Style(value);
            if (!style.empty()) Append_Attribute(out, attr.name, style);
        } else if (attr.name == "href") {
            if (tag.name == "a" && (link = Safe_Link(value))) Append_Attribute(out, attr.name, value);
        } else if (attr.name == "src") {
            if (tag.name == "img" && Safe_Image_Source(value)) Append_Attribute(out, attr.name, value);
        } else {
            Append_Attribute(out, attr.name, value);
        }
    }
    // A link leaves the admin page alone, and the page it opens gets no handle on it.
    if (link) {
        Append_Attribute(out, "target", "_blank");
        Append_Attribute(out, "rel", "noopener noreferrer");
    }
    out += '>';
}

// The elements open in the output, innermost last, each with the innermost open element of the
// kinds whose start or end tags close others, so that no tag looks further down the stack than one
// step: the view's work per tag stays the same however deep the mail nests.
class Open_Elements {
public:
    explicit Open_Elements(std::string& out) : out_(out) {}

    size_t Depth() const { return stack_.size(); }

    void Push(int id) {
        Frame f = stack_.empty() ? Frame{} : stack_.back();
        f.id = id;
        const int at = static_cast<int>(stack_.size());
        const std::string_view name = kKept[id];
        if (In(name, {"table", "td", "th", "caption"})) f.scope = at;
        if (name == "table") f.table = at, f.row = f.cell = f.section = -1;
        if (In(name, {"tbody", "thead", "tfoot"})) f.section = at;
        if (name == "tr") f.row = at;
        if (In(name, {"td", "th"})) f.cell = at;
        if (In(name, {"ul", "ol", "dl", "menu", "dir", "table", "td", "th", "caption"})) f.list = at;
        if (In(name, {"li", "dd", "dt"})) f.item = at;
        if (name == "p") f.p = at;
        stack_.push_back(f);
        where_[id].push_back(at);
    }

    // Closes the element at this depth and all opened after it ("none" closes nothing).
    void Pop_To(int at) {
        if (at < 0) return;
        while (static_cast<int>(stack_.size()) > at) {
            const int id = stack_.back().id;
            out_ += "</";
            out_ += kKept[id];
            out_ += '>';
            where_[id].pop_back();
            stack_.pop_back();
        }
    }

    // The depth of the innermost open element of this kind that its end tag may close (none past a
    // table or a cell, no list item past a list); -1 when there is none.
    int Innermost(int id) const {
        if (where_[id].empty()) return -1;
        const Frame& f = stack_.back();
        const int at = where_[id].back();
        const std::string_view name = kKept[id];
        if (In(name, {"table", "tbody", "thead", "tfoot", "tr", "td", "th", "caption"})) return at;
        if (In(name, {"li", "dd", "dt"}) && at < f.list) return -1;
        return at > f.scope ? at : -1;
    }

    // What a start tag closes first, as the browser does: an open paragraph before a block, the
    // open item before the next, the open row or cell before the next; and the table parts the
    // browser would add around a row or cell set straight into a table.
    void Before_Start(std::string_view name) {
        if (stack_.empty()) return;
        const Frame f = stack_.back();
        if (name == "li" && f.item > f.list && kKept[stack_[f.item].id] == "li") Pop_To(f.item);
        if ((name == "dd" || name == "dt") && f.item > f.list && kKept[stack_[f.item].id] != "li") Pop_To(f.item);
        // The item just closed may have held the open paragraph (or been all that was open): what
        // is open now decides, not the frame read before.
        if (!stack_.empty() && stack_.back().p > stack_.back().scope && Closes_P(name)) Pop_To(stack_.back().p);
        const bool inTable = f.table >= 0 && (f.scope == f.table || (f.scope == f.cell && f.cell > f.table));
        if (!inTable) return;
        if (In(name, {"tbody", "thead", "tfoot"})) Pop_To(f.table + 1);
        if (name == "tr") {
            if (f.row > f.table) Pop_To(f.row);
            if (stack_.back().section < f.table) Insert(Kept_Index("tbody"));
        }
        if (name == "td" || name == "th") {
            if (f.cell > f.table) Pop_To(f.cell);
            if (stack_.back().row < f.table) {
                if (stack_.back().section < f.table) Insert(Kept_Index("tbody"));
                Insert(Kept_Index("tr"));
            }
        }
    }

private:
    struct Frame {
        int id = -1;
        int scope = -1, table = -1, section = -1, row = -1, cell = -1, list = -1, item = -1, p = -1;
    };

    static bool Closes_P(std::string_view name) {
        return In(name, {"address", "article", "aside", "blockquote", "center", "details", "dir", "div", "dl",
                         "figcaption", "figure", "footer", "header", "main", "menu", "nav", "ol", "p", "section",
                         "summary", "ul", "h1", "h2", "h3", "h4", "h5", "h6", "pre", "hr", "li", "dd", "dt"});
    }

    void Insert(int id) {
        out_ += '<';
        out_ += kKept[id];
        out_ += '>';
        Push(id);
    }

    std::string& out_;
    std::vector<Frame> stack_;
    std::array<std::vector<int>, kKept.size()> where_;  // the depths of each kind's open elements
};

size_t Find_Ci(std::string_view html, std::string_view lowered, size_t from) {
    for (size_t at = html.find("</", from); at != std::string_view::npos; at = html.find("</", at + 2)) {
        const size_t after = at + 2 + lowered.size();
        if (after > html.size()) return std::string_view::npos;
        if (Lower(html.substr(at + 2, lowered.size())) == lowered &&
            (after == html.size() || Is_Space(html[after]) || html[after] == '/' || html[after] == '>'))
            return at;
    }
    return std::string_view::npos;
}

// The position after a comment or other markup declaration that starts at html[at] ("<!", "<?" or
// "</" not followed by a letter).
size_t Skip_Declaration(std::string_view html, size_t at) {
    if (html.compare(at, 4, "<!--") == 0) {
        size_t i = at + 4;
        if (i < html.size() && html[i] == '>') return i + 1;
        if (html.compare(i, 2, "->") == 0) return i + 2;
        for (; i < html.size(); ++i) {
            if (html.compare(i, 3, "-->") == 0) return i + 3;
            if (html.compare(i, 4, "--!>") == 0) return i + 4;
        }
        return html.size();
    }
    const size_t close = html.find('>', at + 2);
    return close == std::string_view::npos ? html.size() : close + 1;
}

}  // namespace

bool Is_Base64_Text(const std::string& text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
               c == '=';
    });
}

std::string Safe_Mail_Html(const std::string& input) {
    const std::string_view html = input;
    // The output grows past the input only by quotes written as references and by the attributes
    // added to links; a mail built to multiply it stops with a note.
    const size_t limit = 2 * html.size() + (1u << 20);
    std::string out;
    Open_Elements open(out);
    size_t skippedDeep[kKept.size()] = {};
    bool tooDeep = false, tooLarge = false;
    Tag tag;
    size_t i = 0;
    while (i < html.size()) {
        if (out.size() > limit) {
            tooLarge = true;
            break;
        }
        const size_t lt = html.find('<', i);
        const size_t textEnd = lt == std::string_view::npos ? html.size() : lt;
        if (textEnd > i && !Append_Text(out, html.substr(i, textEnd - i), limit)) {
            tooLarge = true;
            break;
        }
        if (lt == std::string_view::npos) break;
        i = lt;
        const char next = lt + 1 < html.size() ? html[lt + 1] : '\0';
        const bool endTag = next == '/' && lt + 2 < html.size() && Is_Alpha(html[lt + 2]);
        if (!Is_Alpha(next) && !endTag) {
            if (next == '!' || next == '?' || next == '/') {
                i = Skip_Declaration(html, lt);
            } else {
                out += "&lt;";
                ++i;
            }
            continue;
        }
        const size_t after = Read_Tag(html, lt, tag);
        if (after == std::string_view::npos) break;
        i = after;
        if (tag.end) {
            const int id = Kept_Index(tag.name);
            if (tag.name == "br") {
                out += "<br>";
            } else if (id >= 0 && skippedDeep[id] > 0) {
                --skippedDeep[id];
            } else if (id >= 0) {
                const int at = open.Innermost(id);
                if (at >= 0) open.Pop_To(at);
            }
            continue;
        }
        if (tag.name == "plaintext") break;
        if (Dropped_Element(tag.name)) {
            if (tag.selfClosing || Dropped_Alone(tag.name)) continue;
            if (Raw_Text_Element(tag.name)) {
                const size_t end = Find_Ci(html, tag.name, i);
                if (end == std::string_view::npos) break;
                i = end;  // the end tag itself is read next, and ignored
                continue;
            }
            // Dropped with everything up to its own end tag, nested ones counted.
            size_t depth = 1;
            Tag inner;
            while (depth > 0 && i < html.size()) {
                const size_t at = html.find('<', i);
                if (at == std::string_view::npos) {
                    i = html.size();
                    break;
                }
                const char c = at + 1 < html.size() ? html[at + 1] : '\0';
                if (!Is_Alpha(c) && !(c == '/' && at + 2 < html.size() && Is_Alpha(html[at + 2]))) {
                    i = c == '!' || c == '?' || c == '/' ? Skip_Declaration(html, at) : at + 1;
                    continue;
                }
                const size_t past = Read_Tag(html, at, inner);
                if (past == std::string_view::npos) {
                    i = html.size();
                    break;
                }
                i = past;
                if (inner.name == tag.name && !inner.selfClosing) depth += inner.end ? -1 : 1;
                else if (!inner.end && Raw_Text_Element(inner.name) && !inner.selfClosing) {
                    const size_t end = Find_Ci(html, inner.name, i);
                    i = end == std::string_view::npos ? html.size() : end;
                }
            }
            continue;
        }
        const int id = Kept_Index(tag.name);
        if (id < 0) continue;  // shown by its content alone
        if (Void_Element(tag.name)) {
            open.Before_Start(tag.name);
            Append_Start_Tag(out, tag);
            continue;
        }
        open.Before_Start(tag.name);
        if (open.Depth() >= kMaxDepth) {
            tooDeep = true;
            ++skippedDeep[id];
            continue;
        }
        Append_Start_Tag(out, tag);
        open.Push(id);
    }
    open.Pop_To(0);
    if (tooLarge) out += kTooLargeNote;
    if (tooDeep) out.insert(0, kTooDeepNote);
    return out;
}

}  // namespace qlm
