// emlsift run as its callers run it: argv items, standard input from /dev/null, the JSON and the
// extracted files read back the way the backup and the mail browser read them.
#include <fcntl.h>
#include <glib.h>
#include <json-c/json.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct JsonPut {
  void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

struct Run_Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Read_File(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Write_File(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out << bytes;
}

// Base64 in 76-column lines, as mailers write it.
std::string Base64_Lines(const std::string& bytes) {
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string flat = encoded;
  g_free(encoded);
  std::string out;
  for (size_t i = 0; i < flat.size(); i += 76) out += flat.substr(i, 76) + "\r\n";
  return out;
}

// What the download action does with the tool's output: the first double-quoted text.
std::string First_Quoted(const std::string& output) {
  std::istringstream lines(output);
  std::string line;
  static const std::regex quoted("\"([^\"]+)\"");
  while (std::getline(lines, line)) {
    std::smatch m;
    if (std::regex_search(line, m, quoted)) return m[1];
  }
  return {};
}

const std::string kPdf = std::string("%PDF-1.4\n\x00\x01\xff\xfe binary\r\n%%EOF\n", 28);

// multipart/mixed: a quoted-printable body, a base64 PDF, a quoted-printable text attachment;
// encoded-word subject, quoted display name, a lower-case header name, repeated and folded headers.
std::string Mixed_Mail() {
  return "Received: from a.example by b.example; Mon, 4 Mar 2024 10:00:00 +0000\r\n"
         "Received: from c.example by a.example; Mon, 4 Mar 2024 09:59:59 +0000\r\n"
         "From: \"Doe, Jane\" <jane@example.com>\r\n"
         "to: =?ISO-8859-1?Q?Ren=E9_Dupont?= <rene@example.org>\r\n"
         "Subject: =?UTF-8?B?UXVhcnRhbHNiZXJpY2h0IMOcYmVyc2ljaHQ=?=\r\n"
         " =?UTF-8?Q?_f=C3=BCr_Q3?=\r\n"
         "Date: Mon, 4 Mar 2024 10:00:00 +0100\r\n"
         "X-Note: first\r\n"
         "x-note: second\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
         "\r\n"
         "--outer\r\n"
         "Content-Type: text/plain; charset=utf-8\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n"
         "\r\n"
         "Caf=C3=A9 au lait, with a soft=\r\n"
         " break.\r\n"
         "--outer\r\n"
         "Content-Type: application/pdf; name=\"report.pdf\"\r\n"
         "Content-Disposition: attachment; filename=\"report.pdf\"\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "\r\n" +
         Base64_Lines(kPdf) +
         "--outer\r\n"
         "Content-Type: text/plain; charset=utf-8; name=\"notes.txt\"\r\n"
         "Content-Disposition: attachment; filename=\"notes.txt\"\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n"
         "\r\n"
         "na=C3=AFve=\r\n"
         " notes\r\n"
         "--outer--\r\n";
}

// An HTML attachment first, then the real body inside a nested multipart/alternative in
// Latin-1, an inline image with a Content-ID, and an RFC 2231 non-ASCII name in two pieces.
std::string Nested_Mail() {
  return "From: ann@example.com\r\n"
         "Subject: nested\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"m\"\r\n"
         "\r\n"
         "--m\r\n"
         "Content-Type: text/html; charset=utf-8\r\n"
         "Content-Disposition: attachment\r\n"
         "\r\n"
         "<p>not the body</p>\r\n"
         "--m\r\n"
         "Content-Type: multipart/related; boundary=\"r\"\r\n"
         "\r\n"
         "--r\r\n"
         "Content-Type: multipart/alternative; boundary=\"a\"\r\n"
         "\r\n"
         "--a\r\n"
         "Content-Type: text/plain; charset=iso-8859-1\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n"
         "\r\n"
         "Gr=FC=DFe\r\n"
         "--a\r\n"
         "Content-Type: text/html; charset=iso-8859-1\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n"
         "\r\n"
         "<p>Gr=FC=DFe <img alt=3D\"logo.png\" src=3D\"cid:logo@x\"></p>\r\n"
         "--a--\r\n"
         "--r\r\n"
         "Content-Type: image/png; name=\"logo.png\"\r\n"
         "Content-Disposition: inline; filename=\"logo.png\"\r\n"
         "Content-ID: <logo@x>\r\n"
         "Content-Transfer-Encoding: base64\r\n"
         "\r\n" +
         Base64_Lines("PNGDATA") +
         "--r--\r\n"
         "--m\r\n"
         "Content-Type: text/plain\r\n"
         "Content-Disposition: attachment;\r\n"
         " filename*0*=UTF-8''%E6%97%A5%E6%9C%AC;\r\n"
         " filename*1*=%E8%AA%9E.txt\r\n"
         "\r\n"
         "nihongo\r\n"
         "--m--\r\n";
}

const std::string kInnerMail =
    "From: bob@example.com\r\n"
    "Subject: Original offer\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"in\"\r\n"
    "\r\n"
    "--in\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "inner body\r\n"
    "--in\r\n"
    "Content-Type: application/octet-stream; name=\"inner.bin\"\r\n"
    "Content-Disposition: attachment; filename=\"inner.bin\"\r\n"
    "\r\n"
    "inner bytes\r\n"
    "--in--\r\n";

// A forwarded mail attached as message/rfc822, without a file name of its own.
std::string Forward_Mail() {
  return "From: carl@example.com\r\n"
         "Subject: Fwd: offer\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"f\"\r\n"
         "\r\n"
         "--f\r\n"
         "Content-Type: text/plain\r\n"
         "\r\n"
         "see attached\r\n"
         "--f\r\n"
         "Content-Type: message/rfc822\r\n"
         "\r\n" +
         kInnerMail +
         "\r\n"
         "--f--\r\n";
}

// The closing boundary is the file's last line, with no line break after it: the CRLF before
// it still belongs to the boundary, not to the last part. The second part ends in a CR of its own.
std::string Unterminated_Close_Mail() {
  return "From: fay@example.com\r\n"
         "Subject: raw parts\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"u\"\r\n"
         "\r\n"
         "--u\r\n"
         "Content-Type: application/octet-stream; name=\"first.bin\"\r\n"
         "Content-Transfer-Encoding: binary\r\n"
         "\r\n"
         "ends in CR\r\r\n"
         "--u\r\n"
         "Content-Type: application/octet-stream; name=\"last.bin\"\r\n"
         "Content-Transfer-Encoding: 8bit\r\n"
         "\r\n"
         "line one\r\nlast \xe9 line\r\n"
         "--u--";
}

// An attached mail whose own text GMime would write anew: LF line ends inside a CRLF mail, blanks
// after its boundary lines, an odd header form. It is extracted as the bytes stand.
const char kRawInner[] =
    "From:   odd@example.com\n"
    "Subject: as it stands\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"r\"\n"
    "\n"
    "preamble\n"
    "--r   \n"
    "Content-Type: text/plain\n"
    "\n"
    "kept\r\n"
    "--r--  \n"
    "epilogue";

std::string Raw_Forward_Mail() {
  return "From: gus@example.com\r\n"
         "Subject: Fwd: raw\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"g\"\r\n"
         "\r\n"
         "--g\r\n"
         "Content-Type: text/plain\r\n"
         "\r\n"
         "see attached\r\n"
         "--g\r\n"
         "Content-Type: message/rfc822; name=\"raw.eml\"\r\n"
         "\r\n" +
         std::string(kRawInner) +
         "\r\n"
         "--g--\r\n";
}

std::string Plain_Mail() {
  return "From: dan@example.com\r\n"
         "Subject: plain\r\n"
         "Content-Type: text/plain; charset=windows-1252\r\n"
         "\r\n"
         "\x93quoted\x94 text\r\n";
}

// RFC 2231 form of a parameter value: every byte outside [A-Za-z0-9._-] percent-encoded.
std::string Rfc2231(const std::string& value) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out = "UTF-8''";
  for (unsigned char c : value) {
    if (g_ascii_isalnum(c) || c == '.' || c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// One attachment per hostile name, holding its own name as content. The line break before a
// boundary belongs to the boundary, so parts end without one.
std::string Hostile_Names_Mail(const std::vector<std::string>& names) {
  std::string mail =
      "From: eve@example.com\r\n"
      "Subject: names\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"h\"\r\n"
      "\r\n";
  for (const std::string& name : names) {
    mail += "--h\r\n"
            "Content-Type: application/octet-stream\r\n"
            "Content-Disposition: attachment; filename*=" + Rfc2231(name) + "\r\n"
            "\r\n" + name + "\r\n";
  }
  return mail + "--h--\r\n";
}

class Emlsift : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/emlsift_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    out_ = dir_ / "out";
    fs::create_directory(out_);
    // A missing domain folder: the tool runs unlogged and unfaulted, whatever this host holds.
    gwssim_root_ = (dir_ / "no_gwssim").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Mail_File(const std::string& name, const std::string& bytes) {
    fs::path p = dir_ / name;
    Write_File(p, bytes);
    return p;
  }

  // Runs the tool with exactly these argv items; standard input is /dev/null unless given.
  Run_Result Run(const std::vector<std::string>& args, int stdin_fd = -1) {
    std::vector<char*> argv;
    std::string tool = EMLSIFT_PATH;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdin_fd >= 0)
      posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
    else
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> env_text{"GWSSIM_ROOT=" + gwssim_root_};
    for (char** e = environ; *e; ++e)
      if (strncmp(*e, "GWSSIM_ROOT=", 12) != 0) env_text.push_back(*e);
    std::vector<char*> env;
    for (std::string& e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    Run_Result r;
    pid_t pid = -1;
    int rc = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << "cannot start " << tool;
    if (rc != 0) return r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = Read_File(out);
    r.err = Read_File(err);
    return r;
  }

  JsonPtr Json_Of(const fs::path& mail, const char* mode) {
    Run_Result r = Run({"-i", mail.string(), "--format", "json", mode});
    EXPECT_EQ(r.status, 0) << r.err;
    JsonPtr root(json_tokener_parse(r.out.c_str()));
    EXPECT_NE(root, nullptr) << r.out;
    return root;
  }

  Run_Result Extract(const fs::path& mail, int index) {
    return Run({"-i", mail.string(), "-ea", std::to_string(index), "-o", out_.string()});
  }

  std::set<std::string> Out_Entries() {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(out_)) names.insert(e.path().filename().string());
    return names;
  }

  fs::path dir_;
  fs::path out_;
  std::string gwssim_root_;
};

json_object* Member(json_object* o, const char* key) {
  json_object* v = nullptr;
  return (o && json_object_object_get_ex(o, key, &v)) ? v : nullptr;
}

std::string Text_Of(json_object* o) {
  const char* s = o ? json_object_get_string(o) : nullptr;
  return s ? s : "";
}

// Get_First_Header_Value as the backup and the mail views use it.
std::string First_Header(json_object* root, const char* key) {
  json_object* list = Member(Member(root, "headers"), key);
  if (!list || !json_object_is_type(list, json_type_array) || json_object_array_length(list) == 0)
    return "";
  return Text_Of(json_object_array_get_idx(list, 0));
}

std::vector<std::string> Header_List(json_object* root, const char* key) {
  std::vector<std::string> values;
  json_object* list = Member(Member(root, "headers"), key);
  for (size_t i = 0; list && i < json_object_array_length(list); ++i)
    values.push_back(Text_Of(json_object_array_get_idx(list, i)));
  return values;
}

TEST_F(Emlsift, HeadersAreDecodedUnfoldedAndMergedUnderTheNamesCallersLookUp) {
  JsonPtr root = Json_Of(Mail_File("m.eml", Mixed_Mail()), "--header");
  struct Case {
    const char* key;
    std::vector<std::string> values;
  } cases[] = {
      {"From", {"\"Doe, Jane\" <jane@example.com>"}},  // quotes stay for parseNameEmail
      {"To", {"René Dupont <rene@example.org>"}},      // "to:" and Latin-1 encoded word
      {"Subject", {"Quartalsbericht Übersicht für Q3"}},  // folded, B and Q words
      {"Date", {"Mon, 4 Mar 2024 10:00:00 +0100"}},
      {"Received",
       {"from a.example by b.example; Mon, 4 Mar 2024 10:00:00 +0000",
        "from c.example by a.example; Mon, 4 Mar 2024 09:59:59 +0000"}},
      {"X-Note", {"first", "second"}},  // unknown name: first spelling, both values
      {"MIME-Version", {"1.0"}},
      {"Content-Type", {"multipart/mixed; boundary=\"outer\""}},
  };
  for (const Case& c : cases) EXPECT_EQ(Header_List(root.get(), c.key), c.values) << c.key;
  EXPECT_EQ(Member(Member(root.get(), "headers"), "to"), nullptr);
  EXPECT_EQ(Member(Member(root.get(), "headers"), "x-note"), nullptr);
}

// Heads that GMime alone reads as no mail at all; Python's email package reads the header block
// after them (a byte-order mark as a text reader decodes it, "utf-8-sig").
TEST_F(Emlsift, TheHeaderBlockIsReadAfterAByteOrderMarkAnMboxLineOrALeadingContinuation) {
  const std::string rest =
      "From: ann@example.com\r\n"
      "Subject: found\r\n"
      "Content-Type: text/html\r\n"
      "\r\n"
      "<p>body</p>\r\n";
  struct Case {
    const char* label;
    std::string head;
  } cases[] = {
      {"continuation first", " X-Odd: nothing before it\r\n"},
      {"two continuations", "\tone\r\n two\r\n"},
      {"mark and mbox line", "\xEF\xBB\xBF" "From - Mon Mar  4 10:00:00 2024\r\n"},
      {"mark, mbox line and a continuation", "\xEF\xBB\xBF" "From - Mon Mar  4 10:00:00 2024\r\n  odd\r\n"},
      {"mark alone", "\xEF\xBB\xBF"},
      {"mbox line alone", "From ann@example.com Mon Mar  4 10:00:00 2024\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::path mail = Mail_File("h.eml", c.head + rest);
    JsonPtr headers = Json_Of(mail, "--header");
    EXPECT_EQ(Header_List(headers.get(), "Subject"), std::vector<std::string>{"found"});
    EXPECT_EQ(Header_List(headers.get(), "From"), std::vector<std::string>{"ann@example.com"});
    JsonPtr body = Json_Of(mail, "--html");
    EXPECT_EQ(Text_Of(Member(body.get(), "html")), "<p>body</p>\r\n");
  }
}

TEST_F(Emlsift, EncodedWordsAreDecodedAsRfc2047Says) {
  const std::string b0 = "=?UTF-8?B?UXVhcnRlcmx5IMOpdMOpIHJldmlldyAwIOKAlCA=?=";  // "Quarterly été review 0 — "
  const std::string b1 = "=?UTF-8?B?UXVhcnRlcmx5IMOpdMOpIHJldmlldyAxIOKAlCA=?=";
  struct Case {
    const char* label;
    std::string raw;
    std::string decoded;
  } cases[] = {
      // Padded base64 words folded onto several lines: the blanks between words go, every word stays.
      {"folded padded words", b0 + "\r\n " + b1 + "\r\n\t" + b0,
       "Quarterly \xc3\xa9t\xc3\xa9 review 0 \xe2\x80\x94 Quarterly \xc3\xa9t\xc3\xa9 review 1 \xe2\x80\x94 "
       "Quarterly \xc3\xa9t\xc3\xa9 review 0 \xe2\x80\x94 "},
      {"Q words with underscores and hex", "=?iso-8859-1?q?caf=E9_cr=E8me?=", "caf\xc3\xa9 cr\xc3\xa8me"},
      // A character split over two words of one charset survives.
      {"a split character", "=?UTF-8?B?w6k=?= =?UTF-8?B?dMOp?=", "\xc3\xa9t\xc3\xa9"},
      {"text between words keeps its blanks", "Re: =?UTF-8?Q?=C3=A9t=C3=A9?= report", "Re: \xc3\xa9t\xc3\xa9 report"},
      {"words of two charsets", "=?ISO-8859-1?Q?=E9?= =?UTF-8?Q?=C3=A9?=", "\xc3\xa9\xc3\xa9"},
      {"a language tag", "=?UTF-8*fr?Q?=C3=A9t=C3=A9?=", "\xc3\xa9t\xc3\xa9"},
      {"not a word: a blank inside", "=?UTF-8?Q?a b?=", "=?UTF-8?Q?a b?="},
      {"not a word: unknown encoding", "=?UTF-8?X?abc?=", "=?UTF-8?X?abc?="},
      {"not a word: unterminated", "=?UTF-8?B?w6k", "=?UTF-8?B?w6k"},
  };
  for (const Case& c : cases) {
    JsonPtr root = Json_Of(Mail_File("w.eml", "Subject: " + c.raw + "\r\n\r\nbody\r\n"), "--header");
    EXPECT_EQ(First_Header(root.get(), "Subject"), c.decoded) << c.label;
  }
}

TEST_F(Emlsift, HeaderTextThatNeedsJsonEscapingRoundTrips) {
  std::string subject = "tab\there \\ \"q\" </script> \x01 end";
  JsonPtr root = Json_Of(Mail_File("m.eml", "Subject: " + subject + "\r\n\r\nbody\r\n"), "--header");
  EXPECT_EQ(First_Header(root.get(), "Subject"), subject);
}

TEST_F(Emlsift, BodyIsTheFirstHtmlPartThatIsNotAnAttachmentInUtf8) {
  JsonPtr nested = Json_Of(Mail_File("n.eml", Nested_Mail()), "--html");
  EXPECT_EQ(Text_Of(Member(nested.get(), "html")),
            "<p>Grüße <img alt=\"logo.png\" src=\"cid:logo@x\"></p>");
  EXPECT_EQ(Text_Of(Member(nested.get(), "text")), "Grüße");

  // The mail view shows its placeholder for an empty "html"; the words are still there.
  JsonPtr plain = Json_Of(Mail_File("p.eml", Plain_Mail()), "--html");
  ASSERT_NE(Member(plain.get(), "html"), nullptr);
  EXPECT_EQ(Text_Of(Member(plain.get(), "html")), "");
  EXPECT_EQ(Text_Of(Member(plain.get(), "text")), "\u201cquoted\u201d text\r\n");

  JsonPtr mixed = Json_Of(Mail_File("m.eml", Mixed_Mail()), "--html");
  EXPECT_EQ(Text_Of(Member(mixed.get(), "text")), "Café au lait, with a soft break.");
}

struct Expected_Attachment {
  std::string filename;
  std::string content_type;
  std::string bytes;  // decoded content; its length is the listed size
  std::string disposition;
  std::string content_id;
};

// An attached mail GMime would not write back as it stands: an mbox "From " line, a header
// without a blank after its colon, a folded header with trailing blanks, mixed line ends, 8-bit
// text, a preamble and an epilogue.
const std::string kOddInner =
    "From someone@example.org Mon Mar  4 10:00:00 2024\r\n"
    "Subject:odd inner\n"
    "X-Folded: a\n\tb  \n"
    "from:   lower@example.org\r\n"
    "Content-Type: multipart/mixed; boundary=\"I\"\n"
    "\n"
    "preamble\n"
    "--I\n"
    "Content-Type: text/plain\n"
    "\n"
    "\xe9t\xe9\n"
    "--I--\n"
    "epilogue \n";

// A digest's members carry no part headers: each is message/rfc822 by default.
std::string Digest_Mail() {
  return "From: list@example.com\r\n"
         "Subject: digest\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/digest; boundary=\"d\"\r\n"
         "\r\n"
         "--d\r\n"
         "\r\n" +
         kOddInner +
         "\r\n--d\r\n"
         "\r\n"
         "From: b@example.com\r\n"
         "Subject:  second\r\n"
         "\r\n"
         "second body\r\n"
         "--d--\r\n";
}

// A mail whose whole body is the attached mail; its head starts with a byte-order mark.
std::string Whole_Body_Mail() {
  return "\xEF\xBB\xBF" "From: bounce@example.com\r\n"
         "Subject: whole\r\n"
         "Content-Type: message/rfc822\r\n"
         "\r\n" +
         kOddInner;
}

// A multipart never closed: the last part runs to the end of the file.
std::string Unclosed_Mail() {
  return "From: a@example.com\n"
         "Subject: unclosed\n"
         "Content-Type: multipart/mixed; boundary=\"u\"\n"
         "\n"
         "--u\n"
         "Content-Type: message/rfc822\n"
         "\n" +
         kOddInner;
}

struct Attachment_Case {
  const char* label;
  std::string (*mail)();
  std::vector<Expected_Attachment> attachments;
};

const Attachment_Case kAttachmentCases[] = {
    {"mixed",
     Mixed_Mail,
     {{"report.pdf", "application/pdf", kPdf, "attachment", ""},
      {"notes.txt", "text/plain", "naïve notes", "attachment", ""}}},
    {"nested",
     Nested_Mail,
     {{"", "text/html", "<p>not the body</p>", "attachment", ""},
      {"logo.png", "image/png", "PNGDATA", "inline", "logo@x"},
      {"日本語.txt", "text/plain", "nihongo", "attachment", ""}}},
    {"forward",
     Forward_Mail,
     {{"Original offer.eml", "message/rfc822", kInnerMail, "attachment", ""}}},
    {"digest members without part headers",
     Digest_Mail,
     {{"odd inner.eml", "message/rfc822", kOddInner, "attachment", ""},
      {"second.eml", "message/rfc822", "From: b@example.com\r\nSubject:  second\r\n\r\nsecond body", "attachment", ""}}},
    {"attached mail as the whole body", Whole_Body_Mail, {{"odd inner.eml", "message/rfc822", kOddInner, "attachment", ""}}},
    {"unclosed multipart", Unclosed_Mail, {{"odd inner.eml", "message/rfc822", kOddInner, "attachment", ""}}},
    {"closing boundary without a line break",
     Unterminated_Close_Mail,
     {{"first.bin", "application/octet-stream", "ends in CR\r", "attachment", ""},
      {"last.bin", "application/octet-stream", "line one\r\nlast \xe9 line", "attachment", ""}}},
    {"attached mail as it stands",
     Raw_Forward_Mail,
     {{"raw.eml", "message/rfc822", kRawInner, "attachment", ""}}},
    {"plain", Plain_Mail, {}},
};

TEST_F(Emlsift, ATextPartWithoutSubtypeIsThePlainBodyNotAnAttachment) {
  const std::string part_mail =
      "From: a@example.com\r\nSubject: s\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text\r\n\r\nhello body\r\n"
      "--b\r\nContent-Type: application/pdf; name=\"a.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERg==\r\n"
      "--b--\r\n";
  const std::string whole_mail = "From: a@example.com\r\nSubject: s\r\nContent-Type: text/ ; charset=us-ascii\r\n\r\nonly\r\n";
  struct Case {
    const char* label;
    std::string mail;
    size_t attachments;
    const char* text;
  } cases[] = {{"a part", part_mail, 1, "hello body"}, {"the whole mail", whole_mail, 0, "only"}};
  for (const Case& c : cases) {
    fs::path file = Mail_File("t.eml", c.mail);
    JsonPtr list = Json_Of(file, "--a");
    json_object* att = Member(list.get(), "attachments");
    EXPECT_EQ(att ? json_object_array_length(att) : 0, c.attachments) << c.label;
    JsonPtr body = Json_Of(file, "--html");
    EXPECT_EQ(Text_Of(Member(body.get(), "text")).find(c.text), 0u) << c.label;
  }
}

TEST_F(Emlsift, AttachmentListGivesIndexNameTypeAndDecodedSizeInWalkOrder) {
  for (const Attachment_Case& c : kAttachmentCases) {
    SCOPED_TRACE(c.label);
    JsonPtr root = Json_Of(Mail_File("a.eml", c.mail()), "--a");
    json_object* list = Member(root.get(), "attachments");
    ASSERT_TRUE(list && json_object_is_type(list, json_type_array));
    ASSERT_EQ(json_object_array_length(list), c.attachments.size());
    for (size_t i = 0; i < c.attachments.size(); ++i) {
      const Expected_Attachment& want = c.attachments[i];
      json_object* entry = json_object_array_get_idx(list, i);
      EXPECT_EQ(json_object_get_int(Member(entry, "index")), static_cast<int>(i));
      EXPECT_EQ(Text_Of(Member(entry, "filename")), want.filename);
      EXPECT_EQ(Text_Of(Member(entry, "content_type")), want.content_type);
      EXPECT_EQ(json_object_get_int64(Member(entry, "size")), static_cast<int64_t>(want.bytes.size()));
      EXPECT_EQ(Text_Of(Member(entry, "disposition")), want.disposition);
      EXPECT_EQ(Text_Of(Member(entry, "content_id")), want.content_id);
    }
  }
}

TEST_F(Emlsift, ExtractionWritesTheDecodedBytesAndNamesTheFileAsTheDownloadReadsIt) {
  for (const Attachment_Case& c : kAttachmentCases) {
    SCOPED_TRACE(c.label);
    fs::path mail = Mail_File("a.eml", c.mail());
    for (size_t i = 0; i < c.attachments.size(); ++i) {
      fs::remove_all(out_);
      fs::create_directory(out_);
      Run_Result r = Extract(mail, static_cast<int>(i));
      ASSERT_EQ(r.status, 0) << r.err;
      std::string name = First_Quoted(r.out);
      std::string want_name = c.attachments[i].filename.empty()
                                  ? "attachment_" + std::to_string(i)
                                  : c.attachments[i].filename;
      EXPECT_EQ(name, want_name);
      EXPECT_EQ(Out_Entries(), std::set<std::string>{want_name});
      EXPECT_EQ(Read_File(out_ / name), c.attachments[i].bytes);
    }
  }
}

TEST_F(Emlsift, AnExtractedMailIsItselfAMailWithItsOwnAttachment) {
  ASSERT_EQ(Extract(Mail_File("f.eml", Forward_Mail()), 0).status, 0);
  fs::path inner = out_ / "Original offer.eml";
  JsonPtr headers = Json_Of(inner, "--header");
  EXPECT_EQ(First_Header(headers.get(), "Subject"), "Original offer");
  JsonPtr list = Json_Of(inner, "--a");
  json_object* entries = Member(list.get(), "attachments");
  ASSERT_EQ(json_object_array_length(entries), 1u);
  EXPECT_EQ(Text_Of(Member(json_object_array_get_idx(entries, 0), "filename")), "inner.bin");
}

TEST_F(Emlsift, HostileAttachmentNamesLandInsideTheFolderAsOneComponent) {
  struct Case {
    std::string raw;
    std::string safe;
  } cases[] = {
      {"../../evil", "_._evil"},
      {"/etc/passwd", "_etc_passwd"},
      {"..", "attachment_2"},
      {".hidden..sh", "hidden.sh"},
      {"a\"b\nc\\d\x01.txt", "a_b_c_d_.txt"},
      {"invoice\u202Efdp.exe", "invoice_fdp.exe"},  // a bidi override would disguise the name
      {std::string(250, 'x') + ".pdf", std::string(196, 'x') + ".pdf"},
  };
  std::vector<std::string> raw;
  for (const Case& c : cases) raw.push_back(c.raw);
  fs::path mail = Mail_File("h.eml", Hostile_Names_Mail(raw));
  std::set<std::string> written;
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    Run_Result r = Extract(mail, static_cast<int>(i));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(First_Quoted(r.out), cases[i].safe);
    EXPECT_EQ(Read_File(out_ / cases[i].safe), cases[i].raw);
    written.insert(cases[i].safe);
  }
  EXPECT_EQ(Out_Entries(), written);  // nothing anywhere else under the test folder
  EXPECT_EQ(std::set<std::string>({"h.eml", "out", "stdout", "stderr"}),
            [&] {
              std::set<std::string> top;
              for (const auto& e : fs::directory_iterator(dir_)) top.insert(e.path().filename());
              return top;
            }());
}

TEST_F(Emlsift, ATakenNameGetsASuffixAndNothingIsOverwrittenOrFollowed) {
  fs::path mail = Mail_File("m.eml", Mixed_Mail());
  Write_File(out_ / "report.pdf", "keep me");
  fs::path outside = dir_ / "outside";
  Write_File(outside, "untouched");
  fs::create_symlink(outside, out_ / "report(1).pdf");

  Run_Result r = Extract(mail, 0);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(First_Quoted(r.out), "report(2).pdf");
  EXPECT_EQ(Read_File(out_ / "report(2).pdf"), kPdf);
  EXPECT_EQ(Read_File(out_ / "report.pdf"), "keep me");
  EXPECT_EQ(Read_File(outside), "untouched");
}

TEST_F(Emlsift, FailuresExitNonZeroWithNothingOnStandardOutput) {
  fs::path good = Mail_File("good.eml", Mixed_Mail());
  fs::path empty = Mail_File("empty.eml", "");
  fs::path text = Mail_File("text.txt", "just words, no header line at all\n");
  fs::path binary = Mail_File("bin.dat", std::string("\x7f" "ELF\x02\x01\x01\x00\x00\x00", 10));
  std::string missing = (dir_ / "missing.eml").string();
  std::string no_dir = (dir_ / "no_such_dir").string();
  struct Case {
    const char* label;
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {"missing file", {"-i", missing, "--format", "json", "--header"}, 1},
      {"folder as input", {"-i", dir_.string(), "--format", "json", "--a"}, 1},
      {"empty file", {"-i", empty.string(), "--format", "json", "--header"}, 1},
      {"plain text", {"-i", text.string(), "--format", "json", "--html"}, 1},
      {"binary", {"-i", binary.string(), "--format", "json", "--a"}, 1},
      {"index past the end", {"-i", good.string(), "-ea", "2", "-o", out_.string()}, 1},
      {"negative index", {"-i", good.string(), "-ea", "-1", "-o", out_.string()}, 1},
      {"missing folder", {"-i", good.string(), "-ea", "0", "-o", no_dir}, 1},
      {"unreadable input to extract", {"-i", missing, "-ea", "0", "-o", out_.string()}, 1},
      {"no arguments", {}, 2},
      {"no input", {"--format", "json", "--header"}, 2},
      {"no mode", {"-i", good.string(), "--format", "json"}, 2},
      {"two modes", {"-i", good.string(), "--format", "json", "--header", "--a"}, 2},
      {"unknown option", {"-i", good.string(), "--format", "json", "--headers"}, 2},
      {"other format", {"-i", good.string(), "--format", "xml", "--header"}, 2},
      {"value missing", {"--header", "-i"}, 2},
      {"extract without folder", {"-i", good.string(), "-ea", "0"}, 2},
      {"folder without extract", {"-i", good.string(), "--header", "-o", out_.string()}, 2},
      {"index not a number", {"-i", good.string(), "-ea", "1x", "-o", out_.string()}, 2},
      {"empty index", {"-i", good.string(), "-ea", "", "-o", out_.string()}, 2},
  };
  for (const Case& c : cases) {
    Run_Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.label;
    EXPECT_EQ(r.out, "") << c.label;
    EXPECT_NE(r.err, "") << c.label;
  }
  EXPECT_TRUE(Out_Entries().empty());
}

TEST_F(Emlsift, OptionValuesAreTakenAsTheyAreEvenWhenTheyLookLikeOptions) {
  fs::path odd = Mail_File("--a", Mixed_Mail());
  fs::path odd_dir = dir_ / "-o";
  fs::create_directory(odd_dir);
  JsonPtr root = Json_Of(odd, "--header");
  EXPECT_EQ(First_Header(root.get(), "Date"), "Mon, 4 Mar 2024 10:00:00 +0100");
  Run_Result r = Run({"-i", odd.string(), "-ea", "1", "-o", odd_dir.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Read_File(odd_dir / "notes.txt"), "naïve notes");
}

TEST_F(Emlsift, StandardInputIsNeverRead) {
  // A pipe whose writer stays open: reading it would block, so a pass proves it was not read.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string mail = Mixed_Mail().substr(0, 4096);
  ASSERT_EQ(write(fds[1], mail.data(), mail.size()), static_cast<ssize_t>(mail.size()));
  Run_Result piped = Run({"-i", "/dev/stdin", "--format", "json", "--header"}, fds[0]);
  EXPECT_EQ(piped.status, 1);
  EXPECT_EQ(piped.out, "");
  close(fds[0]);
  close(fds[1]);

  // Standard input redirected from the mail file itself is still standard input.
  fs::path file = Mail_File("m.eml", Mixed_Mail());
  int fd = open(file.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  Run_Result redirected = Run({"-i", "/dev/stdin", "--format", "json", "--a"}, fd);
  close(fd);
  EXPECT_EQ(redirected.status, 1);
  EXPECT_EQ(redirected.out, "");
}

TEST_F(Emlsift, RunsInsideTheToolFrameSoEveryCallIsLogged) {
  fs::path domain = dir_ / "gwssim";
  fs::create_directory(domain);
  gwssim_root_ = domain.string();
  fs::path mail = Mail_File("m.eml", Mixed_Mail());
  Run_Result r = Run({"-i", mail.string(), "--format", "json", "--a"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream log(Read_File(domain / "calls.jsonl"));
  std::string line;
  bool logged = false;
  while (std::getline(log, line)) {
    JsonPtr call(json_tokener_parse(line.c_str()));
    if (Text_Of(Member(call.get(), "tool")) != "emlsift") continue;
    json_object* argv = Member(call.get(), "argv");
    logged = logged || (argv && json_object_array_length(argv) == 5 &&
                        Text_Of(json_object_array_get_idx(argv, 1)) == mail.string());
  }
  EXPECT_TRUE(logged);
}

}  // namespace
