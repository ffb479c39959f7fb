#include "browse/safe_html.h"

#include <gumbo.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>
#include <vector>

namespace qlm {

namespace {

enum class Fate { Keep, Unwrap, Drop };

bool In(std::string_view name, std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Elements shown with their content; the others are either dropped with it or replaced by it.
bool Kept_Element(std::string_view t) {
    return In(t, {"a",      "abbr",   "address", "article", "aside",  "b",       "bdi",     "bdo",    "big",
                  "blockquote", "br", "caption", "center",  "cite",   "code",    "col",     "colgroup", "dd",
                  "del",    "details", "dfn",    "div",     "dl",     "dt",      "em",      "figcaption", "figure",
                  "font",   "footer", "h1",      "h2",      "h3",     "h4",      "h5",      "h6",     "header",
                  "hr",     "i",      "img",     "ins",     "kbd",    "li",      "main",    "mark",   "nav",
                  "ol",     "p",      "pre",     "q",       "rp",     "rt",      "ruby",    "s",      "samp",
                  "section", "small", "span",    "strike",  "strong", "sub",     "summary", "sup",    "table",
                  "tbody",  "td",     "tfoot",   "th",      "thead",  "time",    "tr",      "tt",     "u",
                  "ul",     "var",    "wbr"});
}

// Elements whose content must go with them: active content, what loads resources, what holds
// raw text or a foreign language, forms, and the document head.
bool Dropped_Element(std::string_view t) {
    return In(t, {"script", "style",  "iframe",  "frame",   "frameset", "noframes", "object",   "embed",
                  "applet", "param",  "form",    "input",   "button",   "select",   "option",   "optgroup",
                  "textarea", "datalist", "output", "keygen", "base",   "link",     "meta",     "title",
                  "head",   "svg",    "math",    "template", "noscript", "noembed", "audio",    "video",
                  "source", "track",  "canvas",  "map",     "area",     "dialog",   "xmp",      "plaintext",
                  "portal", "slot",   "picture", "image"});
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

// A link target the browser opens only when clicked and never runs: http, https or mailto.
// Browsers ignore blanks and control characters inside the scheme, so they are ignored here too.
bool Safe_Link(std::string_view url) {
    std::string packed;
    for (char c : url)
        if (static_cast<unsigned char>(c) > 0x20) packed += c;
    const size_t colon = packed.find(':');
    if (colon == std::string::npos || packed.find_first_of("/?#") < colon) return false;  // relative: the NAS itself
    const std::string scheme = Lower(std::string_view(packed).substr(0, colon));
    return scheme == "http" || scheme == "https" || scheme == "mailto";
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

// A declaration that takes the element out of the flow or stacks it above others: a mail could lay
// a page-sized link over the admin page that shows it.
bool Layering_Css(const std::string& lowered) {
    const size_t colon = lowered.find(':');
    const size_t first = lowered.find_first_not_of(" \t\r\n");
    if (colon == std::string::npos || first >= colon) return false;
    const size_t last = lowered.find_last_not_of(" \t\r\n", colon - 1);
    const std::string property = lowered.substr(first, last + 1 - first);
    return property == "position" || property == "z-index";
}

// The inline style without its active or layering declarations; empty when nothing is left or the
// text holds a CSS escape or a character that has no place in a declaration list.
std::string Safe_Style(std::string_view style) {
    if (style.find_first_of("\\<>") != std::string_view::npos) return "";
    std::string text(style);
    for (size_t open; (open = text.find("/*")) != std::string::npos;) {
        const size_t close = text.find("*/", open + 2);
        text.erase(open, close == std::string::npos ? std::string::npos : close + 2 - open);
    }
    std::string out;
    size_t from = 0;
    while (from <= text.size()) {
        size_t end = text.find(';', from);
        if (end == std::string::npos) end = text.size();
        const std::string decl = text.substr(from, end - from);
        const std::string lowered = Lower(decl);
        if (decl.find_first_not_of(" \t\r\n") != std::string::npos && !Active_Css(lowered) && !Layering_Css(lowered)) {
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

std::string Tag_Name(const GumboElement& el) {
    if (el.tag != GUMBO_TAG_UNKNOWN) return gumbo_normalized_tagname(el.tag);
    GumboStringPiece piece = el.original_tag;
    gumbo_tag_from_original_text(&piece);
    return Lower(std::string_view(piece.data, piece.length));
}

Fate Fate_Of(const GumboNode* node, std::string& name) {
    if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE) return Fate::Keep;
    if (node->type == GUMBO_NODE_TEMPLATE || node->type == GUMBO_NODE_CDATA || node->type == GUMBO_NODE_COMMENT)
        return Fate::Drop;
    if (node->type != GUMBO_NODE_ELEMENT) return Fate::Unwrap;
    const GumboElement& el = node->v.element;
    if (el.tag_namespace != GUMBO_NAMESPACE_HTML) return Fate::Drop;
    name = Tag_Name(el);
    if (Dropped_Element(name)) return Fate::Drop;
    return Kept_Element(name) ? Fate::Keep : Fate::Unwrap;
}

void Append_Start_Tag(std::string& out, const std::string& name, const GumboElement& el) {
    out += '<';
    out += name;
    bool link = false;
    for (unsigned i = 0; i < el.attributes.length; ++i) {
        const auto* attr = static_cast<const GumboAttribute*>(el.attributes.data[i]);
        if (attr->attr_namespace != GUMBO_ATTR_NAMESPACE_NONE) continue;
        const std::string attrName = Lower(attr->name);
        const std::string_view value = attr->value;
        if (attrName == "style") {
            const std::string style = Safe_Style(value);
            if (!style.empty()) Append_Attribute(out, attrName, style);
        } else if (name == "a" && attrName == "href") {
            if ((link = Safe_Link(value))) Append_Attribute(out, attrName, value);
        } else if (name == "img" && attrName == "src") {
            if (Safe_Image_Source(value)) Append_Attribute(out, attrName, value);
        } else if (Plain_Attribute(attrName)) {
            Append_Attribute(out, attrName, value);
        }
    }
    // A link leaves the admin page alone, and the page it opens gets no handle on it.
    if (link) {
        Append_Attribute(out, "target", "_blank");
        Append_Attribute(out, "rel", "noopener noreferrer");
    }
    out += '>';
}

// The children of a node: an element's, or the document's.
const GumboVector* Children_Of(const GumboNode* node) {
    if (node->type == GUMBO_NODE_DOCUMENT) return &node->v.document.children;
    if (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE) return &node->v.element.children;
    return nullptr;
}

struct Output_Deleter {
    void operator()(GumboOutput* out) const { gumbo_destroy_output(&kGumboDefaultOptions, out); }
};

}  // namespace

bool Is_Base64_Text(const std::string& text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
               c == '=';
    });
}

std::string Safe_Mail_Html(const std::string& html) {
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    std::unique_ptr<GumboOutput, Output_Deleter> parsed(gumbo_parse_with_options(&options, html.data(), html.size()));
    if (!parsed) return "";
    std::string out;
    // Walked with a stack of its own: a mail nested a hundred thousand levels deep must not
    // exhaust the process's stack.
    struct Frame {
        const GumboNode* node;
        unsigned next;
        std::string closeTag;  // written when the frame is left; empty for an unwrapped node
    };
    std::vector<Frame> stack;
    stack.push_back({parsed->document, 0, ""});
    while (!stack.empty()) {
        Frame& top = stack.back();
        const GumboVector* children = Children_Of(top.node);
        if (children == nullptr || top.next >= children->length) {
            out += top.closeTag;
            stack.pop_back();
            continue;
        }
        const auto* child = static_cast<const GumboNode*>(children->data[top.next++]);
        std::string name;
        switch (Fate_Of(child, name)) {
        case Fate::Drop: break;
        case Fate::Unwrap: stack.push_back({child, 0, ""}); break;
        case Fate::Keep:
            if (child->type != GUMBO_NODE_ELEMENT) {
                Append_Escaped(out, child->v.text.text, false);
                break;
            }
            Append_Start_Tag(out, name, child->v.element);
            if (!Void_Element(name)) stack.push_back({child, 0, "</" + name + ">"});
            break;
        }
    }
    return out;
}

}  // namespace qlm
