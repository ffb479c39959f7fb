// Downloads to the browser: the response of one file, zip streams of folders, refusals that leave
// standard output untouched, and the name-list splitter.
#include "../platform_stdio.h"
#include "plat_cgi.h"
#include "plat_download.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <map>
#include <sys/stat.h>

using plattest::TempDir;

namespace {

struct Response {
    std::map<std::string, std::string> headers;
    std::vector<std::string> headerLines;
    std::string body;
};

Response Parse_Response(const std::string& out) {
    Response r;
    size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos) return r;
    std::string head = out.substr(0, end + 2);
    for (size_t at = 0; at < head.size();) {
        size_t nl = head.find("\r\n", at);
        std::string line = head.substr(at, nl - at);
        r.headerLines.push_back(line);
        size_t colon = line.find(": ");
        if (colon != std::string::npos) r.headers[line.substr(0, colon)] = line.substr(colon + 2);
        at = nl + 2;
    }
    r.body = out.substr(end + 4);
    return r;
}

struct Zip_Entry {
    bool folder;
    std::string data;
};

// The entries of a zip read back with libarchive; "error" holds the reason when it cannot be read.
std::map<std::string, Zip_Entry> Read_Zip(const std::string& zip, std::string& error) {
    // libarchive gives UTF-8 names only when the thread's character set is UTF-8.
    struct Utf8_Thread {
        locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        locale_t old = uselocale(loc);
        ~Utf8_Thread() {
            uselocale(old);
            freelocale(loc);
        }
    } utf8;
    std::map<std::string, Zip_Entry> entries;
    std::unique_ptr<archive, int (*)(archive*)> a(archive_read_new(), archive_read_free);
    archive_read_support_format_zip(a.get());
    if (archive_read_open_memory(a.get(), zip.data(), zip.size()) != ARCHIVE_OK) {
        error = archive_error_string(a.get());
        return entries;
    }
    archive_entry* e = nullptr;
    int rc;
    while ((rc = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
        const char* name = archive_entry_pathname_utf8(e);
        Zip_Entry z{archive_entry_filetype(e) == AE_IFDIR, ""};
        char buf[65536];
        la_ssize_t n;
        while ((n = archive_read_data(a.get(), buf, sizeof buf)) > 0) z.data.append(buf, static_cast<size_t>(n));
        if (n < 0) error = archive_error_string(a.get());
        entries[name ? name : "(no name)"] = z;
    }
    if (rc != ARCHIVE_EOF) error = archive_error_string(a.get());
    return entries;
}

std::string Percent_Decode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

class Download_Test : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "send");
        base = dir / "send";
    }

    // Download_Files for names in the folder base (joined by "/" as the callers do).
    int Download(const std::vector<std::string>& names, std::string& out, int mode = 0) {
        std::string joined;
        for (const std::string& n : names) joined += (joined.empty() ? "" : "/") + n;
        _FILE_DL_OP_ op{};
        op.iPathType = 1;
        op.iMode = mode;
        op.pszpPath = strdup(base.c_str());
        op.pszBrowser = strdup("firefox");
        op.nFiles = static_cast<int32_t>(names.size());
        char** list = nullptr;
        if (!names.empty() && Parse_String(op.nFiles, joined.c_str(), "/", &list) == 0) op.pFileNames = list;
        int rc = 0;
        out = plattest::Capture_Stdout(dir, "", [&] { rc = Download_Files(1, "admin", &op); });
        for (int i = 0; list && list[i]; ++i) free(list[i]);
        free(list);
        free(op.pszpPath);
        free(op.pszBrowser);
        return rc;
    }

    TempDir dir;
    std::string base;
};

TEST_F(Download_Test, One_File_Is_Sent_As_It_Is) {
    const std::string data("binary\0data\r\n\r\nmore", 20);
    plattest::Write_File(base + "/report.bin", data);
    std::string out;
    ASSERT_EQ(Download({"report.bin"}, out), 0);
    Response r = Parse_Response(out);
    EXPECT_EQ(r.headers["Content-Type"], "application/octet-stream");
    EXPECT_EQ(r.headers["Content-Disposition"], "attachment; filename=\"report.bin\"; filename*=UTF-8''report.bin");
    EXPECT_EQ(r.headers["Content-Length"], "20");
    EXPECT_EQ(r.headerLines.size(), 3u);
    EXPECT_EQ(r.body, data);
    EXPECT_TRUE(Content_Type_Header_Printed());  // a later JSON header would corrupt the file
}

TEST_F(Download_Test, Mode_Detects_The_Content_Type) {
    plattest::Write_File(base + "/notes", "plain words in a text file\n");
    plattest::Write_File(base + "/pic", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\x08\x02\0\0\0", 29));
    std::string out;
    ASSERT_EQ(Download({"notes"}, out, 1), 0);
    EXPECT_EQ(Parse_Response(out).headers["Content-Type"], "text/plain");
    ASSERT_EQ(Download({"pic"}, out, 1), 0);
    EXPECT_EQ(Parse_Response(out).headers["Content-Type"], "image/png");
    ASSERT_EQ(Download({"pic"}, out, 0), 0);
    EXPECT_EQ(Parse_Response(out).headers["Content-Type"], "application/octet-stream");
}

TEST_F(Download_Test, Hostile_Names_Give_A_Safe_Disposition) {
    for (std::string name : {"r\xC3\xA9sum\xC3\xA9 \"final\".pdf", "a\\b;c=d%41.txt", "line\r\nSet-Cookie: x=1",
                             "tab\there", "\xE6\x97\xA5\xE6\x9C\xAC.eml"}) {
        plattest::Write_File(base + "/" + name, "x");
        std::string out;
        ASSERT_EQ(Download({name}, out), 0) << name;
        Response r = Parse_Response(out);
        ASSERT_EQ(r.headerLines.size(), 3u) << name;  // nothing smuggled into another header line
        const std::string& disp = r.headers["Content-Disposition"];
        const std::string quotedStart = "attachment; filename=\"";
        ASSERT_EQ(disp.rfind(quotedStart, 0), 0u) << disp;
        size_t close = disp.find("\"; filename*=UTF-8''");
        ASSERT_NE(close, std::string::npos) << disp;
        std::string quoted = disp.substr(quotedStart.size(), close - quotedStart.size());
        EXPECT_EQ(quoted.find_first_of("\"\\\r\n"), std::string::npos) << disp;
        for (unsigned char c : quoted) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << disp;
        std::string encoded = disp.substr(close + std::string("\"; filename*=UTF-8''").size());
        EXPECT_EQ(encoded.find_first_of(" \"';\\\t"), std::string::npos) << disp;
        EXPECT_EQ(Percent_Decode(encoded), name);
        EXPECT_EQ(r.body, "x");
    }
}

// Clients that read only the plain filename= (curl -O -J) save the file under it: one ASCII
// character for each character of the name, the closest letter or "_", so the name keeps its
// length and its extension.
TEST_F(Download_Test, The_Plain_Name_Has_One_Ascii_Character_Per_Character) {
    const struct {
        const char* name;
        const char* plain;
    } cases[] = {
        {"\xC3\x9Cn\xC3\xAF" "c\xC3\xB8" "d\xC3\xA9 \xE2\x9C\x93 na\xC3\xAFve.txt", "Unicode _ naive.txt"},
        {"r\xC3\xA9sum\xC3\xA9.pdf", "resume.pdf"},
        {"\xC5\x81\xC3\xB3" "d\xC5\xBA Stra\xC3\x9F" "e \xC3\x86on.doc", "Lodz Strase Aon.doc"},  // Ł ó ź ß Æ
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.eml", "___.eml"},                                  // CJK
        {"\xF0\x9F\x98\x80 party.png", "_ party.png"},                                           // emoji
        {"cafe\xCC\x81 menu.txt", "cafe menu.txt"},            // a combining accent goes with its letter
        {"bad\xFF\xFE.txt", "bad__.txt"},                      // bytes that are no UTF-8
        {"cut\xC3.txt", "cut_.txt"},                           // a sequence cut short
        {"over\xC0\xAF.txt", "over__.txt"},                    // an overlong "/"
        {"sur\xED\xA0\x80.txt", "sur___.txt"},                 // a surrogate
        {"notes.t\xC3\xABxt", "notes.text"},                   // an extension with an accent
        {"report.\xE6\x97\xA5\xE6\x9C\xAC", "report.__"},      // an extension of CJK
        {"say \"hi\" \\ back.txt", "say _hi_ _ back.txt"},     // nothing that ends the quoted text
    };
    for (const auto& c : cases) {
        plattest::Write_File(base + "/" + c.name, "x");
        std::string out;
        ASSERT_EQ(Download({c.name}, out), 0) << c.name;
        const std::string disp = Parse_Response(out).headers["Content-Disposition"];
        const std::string quotedStart = "attachment; filename=\"";
        const size_t close = disp.find("\"; filename*=UTF-8''");
        ASSERT_EQ(disp.rfind(quotedStart, 0), 0u) << disp;
        ASSERT_NE(close, std::string::npos) << disp;
        EXPECT_EQ(disp.substr(quotedStart.size(), close - quotedStart.size()), c.plain) << c.name;
        EXPECT_EQ(Percent_Decode(disp.substr(close + std::string("\"; filename*=UTF-8''").size())), c.name);
        std::filesystem::remove(base + "/" + c.name);
    }
}

TEST_F(Download_Test, Folder_Becomes_A_Zip_Without_Links) {
    TempDir outside;
    plattest::Write_File(outside / "secret", "outside secret");
    const std::string f = base + "/Drive";
    std::filesystem::create_directories(f + "/sub");
    std::filesystem::create_directories(f + "/empty");
    plattest::Write_File(f + "/a.txt", "alpha");
    std::string big(3 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 >> 3);
    plattest::Write_File(f + "/sub/b.bin", big);
    plattest::Write_File(f + "/sub/r\xC3\xA9sum\xC3\xA9.txt", "utf-8 name");
    plattest::Write_File(f + "/sub/bad\xFFname", "not utf-8");
    plattest::Write_File(f + "/..\\..\\evil", "backslashes");
    std::filesystem::create_symlink(outside / "secret", f + "/link");
    std::filesystem::create_directory_symlink(outside.path(), f + "/linkdir");

    std::string out;
    ASSERT_EQ(Download({"Drive"}, out), 0);
    Response r = Parse_Response(out);
    EXPECT_EQ(r.headers["Content-Type"], "application/zip");
    EXPECT_EQ(r.headers["Content-Disposition"], "attachment; filename=\"Drive.zip\"; filename*=UTF-8''Drive.zip");
    std::string error;
    auto entries = Read_Zip(r.body, error);
    EXPECT_EQ(error, "");
    std::vector<std::string> names;
    for (const auto& [name, e] : entries) names.push_back(name + (e.folder ? " (folder)" : ""));
    EXPECT_EQ(names, (std::vector<std::string>{"Drive/ (folder)", "Drive/.._.._evil", "Drive/a.txt",
                                               "Drive/empty/ (folder)", "Drive/sub/ (folder)", "Drive/sub/b.bin",
                                               "Drive/sub/bad_name", "Drive/sub/r\xC3\xA9sum\xC3\xA9.txt"}));
    EXPECT_EQ(entries["Drive/a.txt"].data, "alpha");
    EXPECT_TRUE(entries["Drive/sub/b.bin"].data == big);
    EXPECT_EQ(entries["Drive/sub/r\xC3\xA9sum\xC3\xA9.txt"].data, "utf-8 name");
}

// The whole entries at the front of a zip stream cut off anywhere, read as a browser's unzip
// streams it: their names in order. The reader looks for the next record after an entry, so the
// prefix gets an end record.
std::vector<std::string> Whole_Entries(const std::string& cut) {
    const std::string prefix = cut + std::string("PK\x05\x06", 4) + std::string(18, '\0');
    std::vector<std::string> names;
    std::unique_ptr<archive, int (*)(archive*)> a(archive_read_new(), archive_read_free);
    archive_read_support_format_zip_streamable(a.get());
    if (archive_read_open_memory(a.get(), prefix.data(), prefix.size()) != ARCHIVE_OK) return names;
    archive_entry* e = nullptr;
    while (archive_read_next_header(a.get(), &e) == ARCHIVE_OK) {
        const std::string name = archive_entry_pathname(e);
        const bool file = archive_entry_filetype(e) == AE_IFREG;
        char buf[65536];
        la_ssize_t n;
        while ((n = archive_read_data(a.get(), buf, sizeof buf)) > 0) {
        }
        if (n < 0) break;
        if (file) names.push_back(name);
    }
    return names;
}

// A file is reported sent once all of its bytes are out, never before: for a single file and for
// each entry of a zip, at the moment of the report the response so far holds it whole.
TEST_F(Download_Test, Each_File_Is_Reported_Once_Its_Last_Byte_Is_Out) {
    std::string big(600 << 10, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 >> 5);
    std::filesystem::create_directories(base + "/tree/sub");
    plattest::Write_File(base + "/tree/a.txt", "alpha");
    plattest::Write_File(base + "/tree/sub/big.bin", big);
    plattest::Write_File(base + "/tree/sub/empty", "");
    plattest::Write_File(base + "/top.bin", big);
    struct Seen {
        std::string outPath;
        std::vector<std::string> reported;
        std::vector<std::vector<std::string>> wholeAtReport;
        std::vector<size_t> sizeAtReport;
    };
    const struct {
        std::vector<std::string> names;
        std::vector<std::string> reported;
    } cases[] = {
        {{"top.bin"}, {"top.bin"}},
        {{"tree", "top.bin"}, {"tree/a.txt", "tree/sub/big.bin", "tree/sub/empty", "top.bin"}},
    };
    for (const auto& c : cases) {
        static int serial = 0;
        Seen seen{dir / ("sent." + std::to_string(++serial)), {}, {}, {}};
        std::string joined;
        for (const std::string& n : c.names) joined += (joined.empty() ? "" : "/") + n;
        _FILE_DL_OP_ op{};
        op.pszpPath = strdup(base.c_str());
        op.nFiles = static_cast<int32_t>(c.names.size());
        ASSERT_EQ(Parse_String(op.nFiles, joined.c_str(), "/", &op.pFileNames), 0);
        op.pCallbackCtx = &seen;
        op.pfnFileSent = [](void* ctx, const char* path) {
            Seen& s = *static_cast<Seen*>(ctx);
            const std::string now = plattest::Read_File(s.outPath);
            s.reported.push_back(path);
            s.sizeAtReport.push_back(now.size());
            s.wholeAtReport.push_back(Whole_Entries(now.substr(now.find("\r\n\r\n") + 4)));
        };
        int rc = -1;
        {
            plattest::Redirect_Fd rout(STDOUT_FILENO, seen.outPath, O_WRONLY | O_CREAT | O_TRUNC);
            rc = Download_Files(1, "admin", &op);
        }
        for (int i = 0; op.pFileNames[i]; ++i) free(op.pFileNames[i]);
        free(op.pFileNames);
        free(op.pszpPath);
        ASSERT_EQ(rc, 0);
        EXPECT_TRUE(op.bBegun);
        EXPECT_EQ(seen.reported, c.reported);
        const std::string all = plattest::Read_File(seen.outPath);
        for (size_t i = 0; i < seen.reported.size(); ++i) {
            if (c.names.size() == 1) {  // the one file as it is: all of it is out
                EXPECT_EQ(seen.sizeAtReport[i], all.size());
                continue;
            }
            // The entries whole at the report are exactly those reported so far.
            EXPECT_EQ(seen.wholeAtReport[i], std::vector<std::string>(c.reported.begin(), c.reported.begin() + i + 1))
                << seen.reported[i];
        }
    }
}

TEST_F(Download_Test, Several_Names_Make_One_Zip) {
    plattest::Write_File(base + "/one.csv", "1");
    std::filesystem::create_directories(base + "/two");
    plattest::Write_File(base + "/two/inner", "2");
    std::string out;
    ASSERT_EQ(Download({"one.csv", "two"}, out), 0);
    std::string error;
    auto entries = Read_Zip(Parse_Response(out).body, error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries["one.csv"].data, "1");
    EXPECT_TRUE(entries["two/"].folder);
    EXPECT_EQ(entries["two/inner"].data, "2");
}

TEST_F(Download_Test, Full_Paths_Replace_The_Names) {
    TempDir other;
    plattest::Write_File(base + "/here.txt", "here");
    plattest::Write_File(other / "there.txt", "there");
    _FILE_DL_OP_ op{};
    op.vsFilePath = {base + "/here.txt", other / "there.txt"};
    int rc = 0;
    std::string out = plattest::Capture_Stdout(dir, "", [&] { rc = Download_Files(1, "admin", &op); });
    ASSERT_EQ(rc, 0);
    std::string error;
    auto entries = Read_Zip(Parse_Response(out).body, error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(entries["here.txt"].data, "here");
    EXPECT_EQ(entries["there.txt"].data, "there");

    op.vsFilePath = {base + "/../send/here.txt/"};
    out = plattest::Capture_Stdout(dir, "", [&] { rc = Download_Files(1, "admin", &op); });
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(out, "");
}

TEST_F(Download_Test, Bad_Or_Missing_Names_Are_Refused_Before_Any_Output) {
    TempDir outside;
    plattest::Write_File(outside / "secret", "s");
    plattest::Write_File(base + "/ok", "ok");
    std::filesystem::create_symlink(outside / "secret", base + "/link");
    mkfifo((base + "/fifo").c_str(), 0600);
    struct Case {
        const char* what;
        std::vector<std::string> names;
    } cases[] = {
        {"no names", {}},
        {"empty name", {"ok", ""}},
        {"dot", {"."}},
        {"dot dot", {".."}},
        {"missing", {"ok", "missing"}},
        {"link", {"link"}},
        {"fifo", {"fifo"}},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(Download(c.names, out), -2) << c.what;
        EXPECT_EQ(out, "") << c.what;
    }
    // A name with a slash cannot come from Parse_String with "/", so build the list by hand.
    char* names[] = {const_cast<char*>("send/ok"), nullptr};
    _FILE_DL_OP_ op{};
    op.pszpPath = const_cast<char*>(dir.path().c_str());
    op.nFiles = 1;
    op.pFileNames = names;
    int rc = 0;
    std::string out = plattest::Capture_Stdout(dir, "", [&] { rc = Download_Files(1, "admin", &op); });
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(Download_Files(1, "admin", nullptr), -22);

    base = dir / "no-such-folder";
    EXPECT_EQ(Download({"ok"}, out), -2);
}

// Root reads everything, so the refusal is checked as an unprivileged user in a child.
TEST_F(Download_Test, Unreadable_Entries_Give_Minus_13_And_The_Lacked_Right) {
    const mode_t closed = getuid() == 0 ? 0600 : 0;  // root's files, read by "nobody"
    chmod(dir.path().c_str(), 0755);
    chmod(base.c_str(), 0755);
    plattest::Write_File(base + "/open", "o");
    chmod((base + "/open").c_str(), 0644);
    plattest::Write_File(base + "/closed", "c");
    chmod((base + "/closed").c_str(), closed);
    std::filesystem::create_directories(base + "/folder/deep");
    chmod((base + "/folder").c_str(), 0755);
    chmod((base + "/folder/deep").c_str(), 0755);
    plattest::Write_File(base + "/folder/deep/closed", "c");
    chmod((base + "/folder/deep/closed").c_str(), closed);

    for (std::vector<std::string> names : {std::vector<std::string>{"closed"}, {"open", "folder"}}) {
        std::string joined = names[0] + (names.size() > 1 ? "/" + names[1] : "");
        auto r = plattest::Run_Child(dir, {}, "", [&] {
            if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 20;
            _FILE_DL_OP_ op{};
            op.pszpPath = const_cast<char*>(base.c_str());
            op.nFiles = static_cast<int32_t>(names.size());
            if (Parse_String(op.nFiles, joined.c_str(), "/", &op.pFileNames) != 0) return 21;
            int rc = Download_Files(1, "nobody", &op);
            if (rc != -13) return 22;
            return Get_Lacked_ACL_Value() == 0x0001 ? 0 : 23;
        });
        EXPECT_EQ(r.exitCode, 0) << joined;
        EXPECT_EQ(r.out, "") << joined;
    }
}

TEST(Parse_String, Splits_Into_Exactly_Count_Pieces) {
    struct Case {
        int count;
        const char* text;
        const char* sep;
        int want;
        std::vector<std::string> pieces;
    } cases[] = {
        {1, "a.eml", "/", 0, {"a.eml"}},
        {3, "a/b/c", "/", 0, {"a", "b", "c"}},
        {3, "a//b", "/", 0, {"a", "", "b"}},
        {2, "x/", "/", 0, {"x", ""}},
        {0, "", "/", 0, {}},
        {2, "a::b", "::", 0, {"a", "b"}},
        {1, "", "/", -22, {}},
        {2, "a", "/", -22, {}},
        {1, "a/b", "/", -22, {}},
        {-1, "a", "/", -22, {}},
        {1, "a", "", -22, {}},
    };
    for (const Case& c : cases) {
        char** out = reinterpret_cast<char**>(0x1);  // untouched on failure
        int rc = Parse_String(c.count, c.text, c.sep, &out);
        EXPECT_EQ(rc, c.want) << c.count << " '" << c.text << "'";
        if (rc != 0) {
            EXPECT_EQ(out, reinterpret_cast<char**>(0x1));
            continue;
        }
        std::vector<std::string> got;
        for (int i = 0; i < c.count; ++i) got.emplace_back(out[i]);
        EXPECT_EQ(out[c.count], nullptr);
        EXPECT_EQ(got, c.pieces) << "'" << c.text << "'";
        for (int i = 0; i < c.count; ++i) free(out[i]);
        free(out);
    }
    char** out = nullptr;
    EXPECT_EQ(Parse_String(1, nullptr, "/", &out), -22);
    EXPECT_EQ(Parse_String(1, "a", "/", nullptr), -22);
}

}  // namespace
