// The streaming multipart parser: boundaries, file parts across chunk edges, malformed bodies,
// failing callbacks; and the request's parser as the key upload uses it.
#include "../platform_stdio.h"
#include "plat_cgi.h"
#include "plat_upload.h"

#include <gtest/gtest.h>
#include <random>
#include <sys/mman.h>

using plattest::TempDir;

namespace {

const std::string kBoundary = "----qlmBoundary7MA4YWxk";

std::string File_Part_Head(const std::string& filename = "key.json") {
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + filename +
           "\"\r\nContent-Type: application/json\r\n\r\n";
}

// A form as a browser sends it: a text field, the file, the closing delimiter.
std::string Form_Body(const std::string& data, std::string* head = nullptr) {
    std::string h = "preamble to be ignored\r\n--" + kBoundary +
                    "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nnot a file\r\n" + File_Part_Head();
    if (head) *head = h;
    return h + data + "\r\n--" + kBoundary + "--\r\n";
}

// A descriptor reading text from the start, kept in memory.
class Body_Fd {
public:
    explicit Body_Fd(const std::string& text) : fd_(memfd_create("body", MFD_CLOEXEC)) {
        if (fd_ < 0 || write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("memfd");
        lseek(fd_, 0, SEEK_SET);
    }
    ~Body_Fd() { close(fd_); }
    int get() const { return fd_; }

private:
    int fd_;
};

struct Upload {
    int until = 0;
    int part = 0;
    std::string data;
    std::vector<int> chunkSizes;
    std::vector<int> errors;
    Part_Info info;
};

// Parses a body the way the key upload does, collecting what the write callback gets.
Upload Run_Upload(const std::string& body, int64_t length = -1, int failAfter = -1) {
    Body_Fd fd(body);
    Multipart_Parser p(fd.get(), kBoundary, length);
    Upload u;
    u.until = p.Parse_Until_File_Upload();
    if (u.until != 1) return u;
    u.info = p.Current_Part();
    p.Set_Upload_File_Callback(
        NULL,
        [&u, failAfter](Part_Info& part, char* data, int len) {
            if (part.pUser != &u) return -99;
            if (failAfter >= 0 && static_cast<int>(u.data.size()) + len > failAfter) return -28;
            u.chunkSizes.push_back(len);
            u.data.append(data, static_cast<size_t>(len));
            return len;
        },
        NULL, [&u](Part_Info&, int err) { u.errors.push_back(err); }, &u);
    u.part = p.Parse_One_Part();
    return u;
}

TEST(Multipart_Boundary, From_Content_Type) {
    struct Case {
        const char* contentType;
        const char* want;
    } cases[] = {
        {"multipart/form-data; boundary=abc", "abc"},
        {"Multipart/Form-Data; charset=utf-8; BOUNDARY=zz9", "zz9"},
        {"multipart/form-data; boundary=\"with blank;semicolon\"", "with blank;semicolon"},
        {"multipart/form-data;boundary=x; other=1", "x"},
        {"multipart/form-data", ""},
        {"multipart/form-data; boundary=", ""},
        {"multipart/mixed; boundary=abc", ""},
        {"application/x-www-form-urlencoded", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Multipart_Boundary(c.contentType), c.want) << c.contentType;
    EXPECT_EQ(Multipart_Boundary(nullptr), "");
    EXPECT_EQ(Multipart_Boundary(("multipart/form-data; boundary=" + std::string(70, 'b')).c_str()), std::string(70, 'b'));
    EXPECT_EQ(Multipart_Boundary(("multipart/form-data; boundary=" + std::string(71, 'b')).c_str()), "");
}

TEST(Multipart_Parser, Streams_The_File_Part_With_Its_Description) {
    // Data full of near-delimiters: only the real one may end the part.
    const std::string data = "{\"k\":1}\r\n--" + kBoundary.substr(0, 10) + "\r\n-" + "\n--" + kBoundary + "x" + "\r\n";
    Upload u = Run_Upload(Form_Body(data));
    ASSERT_EQ(u.until, 1);
    EXPECT_EQ(u.info.strName, "file");
    EXPECT_EQ(u.info.strFileName, "key.json");
    EXPECT_EQ(u.info.strContentType, "application/json");
    EXPECT_EQ(u.part, 0);
    EXPECT_EQ(u.data, data);
    EXPECT_TRUE(u.errors.empty());
}

TEST(Multipart_Parser, Empty_File_And_Body_Starting_With_Delimiter) {
    Upload u = Run_Upload(File_Part_Head("") + "\r\n--" + kBoundary + "--");
    ASSERT_EQ(u.until, 1);
    EXPECT_EQ(u.info.strFileName, "");
    EXPECT_EQ(u.part, 0);
    EXPECT_EQ(u.data, "");
}

// The delimiter is put at every offset around the first chunk edge, so that some runs see it
// split between two reads.
TEST(Multipart_Parser, Finds_The_Delimiter_Across_Chunk_Edges) {
    std::string head;
    Form_Body("", &head);
    const int delim = static_cast<int>(kBoundary.size()) + 4;
    const int first = Multipart_Parser::kChunk - static_cast<int>(head.size()) - 2 * delim;
    for (int len = first; len <= first + 4 * delim; ++len) {
        std::string data(static_cast<size_t>(len), 'a');
        // A partial delimiter right before the real one.
        data.replace(data.size() - 8, 8, "\r\n--" + kBoundary.substr(0, 4));
        Upload u = Run_Upload(Form_Body(data));
        ASSERT_EQ(u.part, 0) << "length " << len;
        ASSERT_EQ(u.data.size(), data.size()) << "length " << len;
        ASSERT_EQ(u.data, data) << "length " << len;
    }
}

TEST(Multipart_Parser, Large_File_Goes_In_Chunks_Of_At_Most_One_MiB) {
    std::mt19937 rng(7);
    std::string data(3 * Multipart_Parser::kChunk + 12345, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    const std::string body = Form_Body(data);
    Upload u = Run_Upload(body, static_cast<int64_t>(body.size()));
    ASSERT_EQ(u.part, 0);
    EXPECT_TRUE(u.data == data);
    EXPECT_GE(u.chunkSizes.size(), 4u);
    for (int n : u.chunkSizes) EXPECT_LE(n, Multipart_Parser::kChunk);
}

TEST(Multipart_Parser, Malformed_Bodies) {
    const std::string disp = "Content-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n";
    const std::string d = "--" + kBoundary;
    struct Case {
        const char* what;
        std::string body;
        int64_t length;
        bool untilFails;  // else Parse_Until_File_Upload gives 1 and Parse_One_Part fails
    } cases[] = {
        {"no delimiter at all", "just text", -1, true},
        {"empty body", "", -1, true},
        {"junk after delimiter", d + "xx\r\n" + disp + "\r\ndata\r\n" + d + "--", -1, true},
        {"header line without colon", d + "\r\nnot a header\r\n\r\ndata\r\n" + d + "--", -1, true},
        {"headers never end", d + "\r\n" + disp + "X-A: " + std::string(40000, 'a'), -1, true},
        {"body ends after delimiter", d, -1, true},
        {"text part never ends", d + "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nvalue", -1, true},
        {"file data never ends", d + "\r\n" + disp + "\r\nhalf of the data", -1, false},
        {"CONTENT_LENGTH cuts the file", d + "\r\n" + disp + "\r\nabc\r\n" + d + "--\r\n",
         static_cast<int64_t>(d.size() + 2 + disp.size() + 2 + 3), false},
    };
    for (const Case& c : cases) {
        Upload u = Run_Upload(c.body, c.length);
        if (c.untilFails) {
            EXPECT_LT(u.until, 0) << c.what;
        } else {
            ASSERT_EQ(u.until, 1) << c.what;
            EXPECT_LT(u.part, 0) << c.what;
            EXPECT_EQ(u.errors.size(), 1u) << c.what;
        }
    }
}

TEST(Multipart_Parser, Body_Without_File_Part_Ends_With_Zero) {
    const std::string d = "--" + kBoundary;
    EXPECT_EQ(Run_Upload(d + "--\r\n").until, 0);
    EXPECT_EQ(Run_Upload(d + "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nv\r\n" + d + "--").until, 0);
}

TEST(Multipart_Parser, Failing_Write_Callback_Aborts_With_Its_Code) {
    const std::string data(3 * 1024 * 1024, 'z');
    Upload u = Run_Upload(Form_Body(data), -1, 1024 * 1024 + 5);
    EXPECT_EQ(u.part, -28);
    ASSERT_EQ(u.errors.size(), 1u);
    EXPECT_EQ(u.errors[0], -28);
    EXPECT_LT(u.data.size(), data.size());
}

TEST(Multipart_Parser, Open_And_Close_Callbacks_Frame_The_Data) {
    const std::string body = Form_Body("payload");
    Body_Fd fd(body);
    Multipart_Parser p(fd.get(), kBoundary, -1);
    ASSERT_EQ(p.Parse_Until_File_Upload(), 1);
    std::string log;
    p.Set_Upload_File_Callback([&](Part_Info& i) { log += "open " + i.strFileName + ";"; return 0; },
                               [&](Part_Info&, char* d, int n) { log.append(d, static_cast<size_t>(n)); return n; },
                               [&](Part_Info& i) { log += ";close " + std::to_string(i.llBytes); return 0; },
                               nullptr, nullptr);
    EXPECT_EQ(p.Parse_One_Part(), 0);
    EXPECT_EQ(log, "open key.json;payload;close 7");
    EXPECT_EQ(p.Parse_Until_File_Upload(), 0);  // nothing after the closing delimiter

    Body_Fd fd2(body);
    Multipart_Parser refused(fd2.get(), kBoundary, -1);
    ASSERT_EQ(refused.Parse_Until_File_Upload(), 1);
    bool wrote = false;
    refused.Set_Upload_File_Callback([](Part_Info&) { return -13; },
                                     [&](Part_Info&, char*, int n) { wrote = true; return n; }, nullptr, nullptr,
                                     nullptr);
    EXPECT_EQ(refused.Parse_One_Part(), -13);
    EXPECT_FALSE(wrote);
}

TEST(Multipart_Parser, Second_File_Part_After_The_First) {
    const std::string d = "--" + kBoundary;
    const std::string body = d + "\r\nContent-Disposition: form-data; name=\"a\"; filename=\"1\"\r\n\r\nfirst\r\n" + d +
                             "  \r\nContent-Disposition: form-data; name=\"b\"; filename=\"2\"\r\n\r\nsecond\r\n" + d + "--";
    Body_Fd fd(body);
    Multipart_Parser p(fd.get(), kBoundary, -1);
    std::string got;
    p.Set_Upload_File_Callback(nullptr, [&](Part_Info& i, char* data, int n) {
        got += i.strName + "=" + std::string(data, static_cast<size_t>(n)) + ";";
        return n;
    }, nullptr, nullptr, nullptr);
    ASSERT_EQ(p.Parse_Until_File_Upload(), 1);
    ASSERT_EQ(p.Parse_One_Part(), 0);
    ASSERT_EQ(p.Parse_Until_File_Upload(), 1);
    ASSERT_EQ(p.Parse_One_Part(), 0);
    EXPECT_EQ(got, "a=first;b=second;");
    EXPECT_EQ(p.Parse_Until_File_Upload(), 0);
}

// The request's parser reads standard input bounded by CONTENT_LENGTH, after the agent has read
// the query string; the parser is made once per process.
TEST(Multipart_Request, Upload_Through_The_Agent) {
    TempDir dir;
    const std::string body = Form_Body("{\"type\": \"service_account\"}");
    auto r = plattest::Run_Child(dir,
                                 {{"REQUEST_METHOD", "POST"},
                                  {"QUERY_STRING", "act=auth&admin_email=admin%40example.com"},
                                  {"CONTENT_TYPE", "multipart/form-data; boundary=" + kBoundary},
                                  {"CONTENT_LENGTH", std::to_string(body.size())}},
                                 body + "trailing bytes beyond the length", [] {
        O_APP_CGI_AGENT agent(0);
        if (strcmp(agent.Get_Param("admin_email"), "admin@example.com") != 0) return 10;
        Multipart_Parser* p = O_CGI_AGENT::Get_Multipart_Parser();
        if (!p || p != O_CGI_AGENT::Get_Multipart_Parser()) return 11;
        if (p->Parse_Until_File_Upload() != 1) return 12;
        std::string got;
        p->Set_Upload_File_Callback(NULL, [&](Part_Info&, char* d, int n) { got.append(d, n); return n; },
                                    NULL, NULL, NULL);
        if (p->Parse_One_Part() != 0) return 13;
        fputs(got.c_str(), stdout);
        return 0;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "{\"type\": \"service_account\"}");
}

TEST(Multipart_Request, No_Parser_For_Other_Bodies) {
    TempDir dir;
    for (const char* type : {"application/x-www-form-urlencoded", "application/json", ""}) {
        auto r = plattest::Run_Child(dir, {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", type}, {"CONTENT_LENGTH", "3"}},
                                     "a=1", [] { return O_CGI_AGENT::Get_Multipart_Parser() == nullptr ? 0 : 1; });
        EXPECT_EQ(r.exitCode, 0) << type;
    }
}

TEST(Upload_Session, Starts_Fresh_With_A_Ready_Md5) {
    Upload_Session s;
    EXPECT_EQ(s.iOffset, 0);
    EXPECT_FALSE(s.bClosed);
    EXPECT_GT(s.iTime, 0);
    MD5_Update(&s.md5CTX, "abc", 3);
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5_Final(digest, &s.md5CTX);
    char hex[2 * MD5_DIGEST_LENGTH + 1];
    for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace

namespace {

// A browser may name a non-ASCII file only with the extended parameter; it is still the file part.
TEST(Multipart_Parser, ExtendedFileNameAloneMakesAFilePart) {
    const std::string body = "--" + kBoundary +
                             "\r\nContent-Disposition: form-data; name=\"file\"; filename*=UTF-8''cl%C3%A9.json"
                             "\r\n\r\n{\"k\":1}\r\n--" + kBoundary + "--\r\n";
    Upload u = Run_Upload(body);
    ASSERT_EQ(u.until, 1);
    EXPECT_EQ(u.part, 0);
    EXPECT_EQ(u.data, "{\"k\":1}");
    EXPECT_FALSE(u.info.strFileName.empty());
}

}  // namespace
