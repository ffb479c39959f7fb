#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <json-c/json.h>

#include "../platform_testdir.h"
#include "plat_upload.h"
#include "upload/auth.h"
#include "upload/upload.h"

namespace {

using plattest::Read_File;
using plattest::ScopedEnv;
using plattest::TempDir;
using plattest::Write_File;

// Standard input reads the given bytes for one scope (a raw request body).
class StdinFrom {
public:
    StdinFrom(const TempDir& dir, const std::string& body) {
        std::string path = dir / "body";
        Write_File(path, body);
        saved_ = dup(STDIN_FILENO);
        int fd = open(path.c_str(), O_RDONLY);
        dup2(fd, STDIN_FILENO);
        close(fd);
    }
    ~StdinFrom() {
        dup2(saved_, STDIN_FILENO);
        close(saved_);
    }

private:
    int saved_ = -1;
};

// Without a multipart Content-Type the body is the raw key.
class RawUpload : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("CONTENT_TYPE"); }
    void TearDown() override { unsetenv("CONTENT_LENGTH"); }

    int64_t Upload(const std::string& body, const char* contentLength, int64_t offset = 0) {
        if (contentLength)
            setenv("CONTENT_LENGTH", contentLength, 1);
        else
            unsetenv("CONTENT_LENGTH");
        StdinFrom in(dir, body);
        Upload_Session s;
        s.strFilePath = target;
        s.iOffset = offset;
        return qlm::Upload_File(s);
    }

    TempDir dir;
    std::string target = dir / "key";
};

TEST_F(RawUpload, StoresTheBodyAsGivenByContentLengthAndRefusesTheRest) {
    struct Case {
        const char* name;
        std::string body;
        const char* contentLength;
        int64_t result;
        std::string stored;  // for a stored body
    };
    const std::string key = "{\"type\":\"service_account\"}";
    const std::string big(qlm::kMaxKeyUploadBytes + 1, 'x');
    const std::string bigLength = std::to_string(big.size());
    const Case cases[] = {
        {"whole body", key, "26", 26, key},
        // A web server may leave the input open with more behind the body: only the body counts.
        {"bytes after the body", key + "trailing", "26", 26, key},
        {"no length reads to the end", key, nullptr, 26, key},
        {"empty body", "", "0", 0, ""},
        {"body ends before its length", "{\"a\":1}", "100", -EIO, ""},
        {"length beyond any key", "{}", bigLength.c_str(), -EFBIG, ""},
        {"no length, endless input", big, nullptr, -EFBIG, ""},
        {"length not a number", "{}", "12abc", -22, ""},
        {"negative length", "{}", "-5", -22, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(target.c_str());
        EXPECT_EQ(Upload(c.body, c.contentLength), c.result);
        if (c.result < 0) continue;
        EXPECT_EQ(Read_File(target), c.stored);
        struct stat st {};
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST_F(RawUpload, NeverWritesIntoAnExistingFileFromItsStart) {
    Write_File(target, "secret");
    EXPECT_EQ(Upload("{}", "2"), -EEXIST);
    EXPECT_EQ(Read_File(target), "secret");
    unlink(target.c_str());
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), target.c_str()), 0);
    EXPECT_LT(Upload("{}", "2"), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
}

TEST_F(RawUpload, AnOffsetPassesOverWhatIsAlreadyStored) {
    Write_File(target, "abc");
    EXPECT_EQ(Upload("abcdef", "6", 3), 6);
    EXPECT_EQ(Read_File(target), "abcdef");
    // Nothing left to read: nothing is read.
    EXPECT_EQ(Upload("abcdef", "6", 6), 6);
    EXPECT_EQ(Upload("x", "1", -1), -1);
}

TEST(KeyUpload, NullPathIsRefused) { EXPECT_EQ(qlm::Upload_Service_Account_Key_File(nullptr), -1); }

TEST(UsScopes, ThirtyOneApisWithThirtyEightScopes) {
    json_object* scopes = json_tokener_parse(qlm::Us_Scopes_Json());
    ASSERT_NE(scopes, nullptr);
    int apis = 0, total = 0;
    json_object_object_foreach(scopes, name, list) {
        (void)name;
        ++apis;
        ASSERT_TRUE(json_object_is_type(list, json_type_array));
        total += static_cast<int>(json_object_array_length(list));
    }
    EXPECT_EQ(apis, 31);
    EXPECT_EQ(total, 38);
    json_object_put(scopes);
}

}  // namespace
