// JSON wrapper: the two text forms the system prints and stores, whole-text parsing, atomic file
// writes, and the typed look-ups that callers branch on.
#include "plat_json.h"

#include "../platform_testdir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>
#include <vector>

namespace {

using plattest::Read_File;
using plattest::TempDir;
using plattest::Write_File;

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// ---- Text forms

TEST(JsonText, RepliesAreSpacedOneLineAndStoredTextIsCompactWithEscapedSlash) {
    RAIIful_Json obj(Json_Dict_Init());
    ASSERT_EQ(Json_Dict_Add_Bool(obj.get(), "success", true), 0);
    ASSERT_EQ(Json_Dict_Add_Str(obj.get(), "path", "/usr/a b"), 0);
    RAIIful_Json list(Json_List_Init());
    ASSERT_EQ(Json_List_Add_Str(list.get(), "contactGroups/all"), 0);
    ASSERT_EQ(Json_Dict_Add_List(obj.get(), "l", list.release()), 0);

    EXPECT_STREQ(Json_To_String(obj.get()), R"({ "success": true, "path": "/usr/a b", "l": [ "contactGroups/all" ] })");
    // Stored contact memberships are searched for "contactGroups\/all".
    EXPECT_STREQ(Json_To_Plain_String(obj.get()), R"({"success":true,"path":"\/usr\/a b","l":["contactGroups\/all"]})");
}

// ---- Parsing

TEST(JsonParse, AcceptsOneValueWithTrailingWhiteSpaceOnly) {
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {
        {R"({"a":1})", true},
        {" \t{\"a\":[1,2]}\r\n\n", true},
        {"123", true},  // any value; callers check the type
        {"\"x\"", true},
        {"[]", true},
        {"", false},
        {"   \n", false},
        {"{} garbage", false},
        {"{}{}", false},
        {"[1,2] [3]", false},
        {"123 4", false},
        {R"({"a":1)", false},  // a record cut in half
        {R"({"a":1,})", false},
        {"[1,]", false},
        {"True", false},
        {"{\"a\":1}\x0b", false},  // only JSON's own white space may follow
    };
    for (const Case& c : cases) {
        RAIIful_Json obj(Json_From_String(c.text));
        EXPECT_EQ(obj.get() != nullptr, c.ok) << '"' << c.text << '"';
    }
    EXPECT_EQ(Json_From_String(nullptr), nullptr);
}

TEST(JsonParse, FileIsReadWholeAndRejectedWhenMissingOrNotJson) {
    TempDir dir;
    Write_File(dir / "good", "{\"mission_name\":\"a\"}\n");
    Write_File(dir / "tail", "{\"a\":1}\n{\"a\":2}\n");
    Write_File(dir / "nul", std::string("{}\0{}", 5));
    Write_File(dir / "empty", "");
    // Larger than one read, so a parser fed only the first chunk would fail.
    std::string big = "[\"" + std::string(200000, 'x') + "\"]";
    Write_File(dir / "big", big);

    RAIIful_Json good(Json_From_File((dir / "good").c_str()));
    const char* name = nullptr;
    ASSERT_TRUE(good);
    EXPECT_EQ(Json_Dict_Find_Str(good.get(), "mission_name", name), 0);
    EXPECT_STREQ(name, "a");
    RAIIful_Json large(Json_From_File((dir / "big").c_str()));
    ASSERT_TRUE(large);
    EXPECT_EQ(strlen(Json_Get_String(Json_List_Child(large.get(), 0))), 200000u);

    for (const char* bad : {"tail", "nul", "empty", "missing", "."})
        EXPECT_EQ(Json_From_File((dir / bad).c_str()), nullptr) << bad;
    EXPECT_EQ(Json_From_File(nullptr), nullptr);
}

// ---- Json_To_File

TEST(JsonToFile, ReplacesTheFileWholeAndLeavesNoTemporaryFile) {
    TempDir dir;
    std::string path = dir / "record";
    Write_File(path, "old content that is longer than the new one");
    RAIIful_Json obj(Json_Dict_Init());
    ASSERT_EQ(Json_Dict_Add_Str(obj.get(), "p", "/x"), 0);

    ASSERT_EQ(Json_To_File(path.c_str(), obj.get()), 0);
    EXPECT_EQ(Read_File(path), R"({"p":"\/x"})");
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"record"});
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    RAIIful_Json back(Json_From_File(path.c_str()));
    const char* p = nullptr;
    ASSERT_EQ(Json_Dict_Find_Str(back.get(), "p", p), 0);
    EXPECT_STREQ(p, "/x");
}

// A writer killed halfway (an aborted worker) must leave nothing in the target's folder, where
// every entry may count as a record: the temporary lives in the NAS's shared temporary folder.
TEST(JsonToFile, KilledWriterLeavesNothingInTheTargetFolder) {
    TempDir root;
    ASSERT_EQ(mkdir((root / "usr").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root / "usr/local").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root / "usr/local/tmp").c_str(), 01777), 0);
    ASSERT_EQ(mkdir((root / "mission").c_str(), 0700), 0);
    plattest::ScopedEnv env("QLM_ROOT", root.path());
    std::string path = root / "mission/record";
    for (int i = 0; i < 20; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            RAIIful_Json obj(Json_Dict_Init());
            Json_Dict_Add_Str(obj.get(), "big", std::string(4 << 20, 'x').c_str());
            for (;;) Json_To_File(path.c_str(), obj.get());
        }
        usleep(20000 + 3000 * i);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        for (const std::string& name : Entries(root / "mission")) EXPECT_EQ(name, "record");
    }
}

TEST(JsonToFile, FailureLeavesTheTargetAndFolderAsTheyWere) {
    TempDir dir;
    RAIIful_Json obj(Json_Dict_Init());
    EXPECT_EQ(Json_To_File((dir / "no/such/folder/x").c_str(), obj.get()), -ENOENT);
    // A folder in the target's place cannot be replaced by a file.
    ASSERT_EQ(mkdir((dir / "busy").c_str(), 0700), 0);
    Write_File(dir / "busy/inside", "kept");
    EXPECT_LT(Json_To_File((dir / "busy").c_str(), obj.get()), 0);
    EXPECT_EQ(Read_File(dir / "busy/inside"), "kept");
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"busy"});
    EXPECT_EQ(Json_To_File(nullptr, obj.get()), -EINVAL);
    EXPECT_EQ(Json_To_File((dir / "x").c_str(), nullptr), -EINVAL);
}

// ---- Typed look-ups

// One record holding a value of every kind the system stores.
class JsonRecord : public ::testing::Test {
protected:
    void SetUp() override {
        dict.reset(Json_From_String(R"({"s":"5","i":7,"big":10000000000,"huge":18446744073709551615,
            "neg":-3,"b":false,"f":1.5,"l":[1],"d":{"k":1},"n":null})"));
        ASSERT_TRUE(dict);
    }
    RAIIful_Json dict;
};

TEST_F(JsonRecord, FindAnswersOnlyForTheExactKind) {
    struct Case {
        const char* key;
        int str, i32, i64, boolean, list, obj;
    } cases[] = {
        {"s", 0, -EINVAL, -EINVAL, -EINVAL, -EINVAL, -EINVAL},
        {"i", -EINVAL, 0, 0, -EINVAL, -EINVAL, -EINVAL},
        {"big", -EINVAL, -ERANGE, 0, -EINVAL, -EINVAL, -EINVAL},
        {"huge", -EINVAL, -ERANGE, -ERANGE, -EINVAL, -EINVAL, -EINVAL},
        {"b", -EINVAL, -EINVAL, -EINVAL, 0, -EINVAL, -EINVAL},
        {"f", -EINVAL, -EINVAL, -EINVAL, -EINVAL, -EINVAL, -EINVAL},
        {"l", -EINVAL, -EINVAL, -EINVAL, -EINVAL, 0, -EINVAL},
        {"d", -EINVAL, -EINVAL, -EINVAL, -EINVAL, -EINVAL, 0},
        {"n", -ENOENT, -ENOENT, -ENOENT, -ENOENT, -ENOENT, -ENOENT},
        {"absent", -ENOENT, -ENOENT, -ENOENT, -ENOENT, -ENOENT, -ENOENT},
    };
    for (const Case& c : cases) {
        const char* s = nullptr;
        int i = 0;
        int64_t l = 0;
        bool b = true;
        PT_JSON o = nullptr;
        EXPECT_EQ(Json_Dict_Find_Str(dict.get(), c.key, s), c.str) << c.key;
        EXPECT_EQ(Json_Dict_Find_Int(dict.get(), c.key, i), c.i32) << c.key;
        EXPECT_EQ(Json_Dict_Find_Int64(dict.get(), c.key, l), c.i64) << c.key;
        EXPECT_EQ(Json_Dict_Find_Bool(dict.get(), c.key, b), c.boolean) << c.key;
        EXPECT_EQ(Json_Dict_Find_List(dict.get(), c.key, o), c.list) << c.key;
        EXPECT_EQ(Json_Dict_Find_Dict(dict.get(), c.key, o), c.obj) << c.key;
    }
}

TEST_F(JsonRecord, FindSetsTheValueOnSuccessOnly) {
    int i = 42;
    int64_t l = 42;
    bool b = true;
    EXPECT_EQ(Json_Dict_Find_Int(dict.get(), "big", i), -ERANGE);
    EXPECT_EQ(i, 42) << "a clamped value must not reach the caller";
    EXPECT_EQ(Json_Dict_Find_Int64(dict.get(), "huge", l), -ERANGE);
    EXPECT_EQ(l, 42);
    EXPECT_EQ(Json_Dict_Find_Int64(dict.get(), "big", l), 0);
    EXPECT_EQ(l, 10000000000);
    EXPECT_EQ(Json_Dict_Find_Int(dict.get(), "neg", i), 0);
    EXPECT_EQ(i, -3);
    EXPECT_EQ(Json_Dict_Find_Bool(dict.get(), "b", b), 0);
    EXPECT_FALSE(b);

    PT_JSON list = nullptr;
    ASSERT_EQ(Json_Dict_Find_List(dict.get(), "l", list), 0);
    EXPECT_EQ(Json_List_Size(list), 1);
    EXPECT_EQ(Json_Dict_Find_Int(nullptr, "i", i), -EINVAL);
    EXPECT_EQ(Json_Dict_Find_Int(list, "i", i), -EINVAL) << "a list is not a dictionary";
}

TEST_F(JsonRecord, AddReplacesAndRemoveDrops) {
    ASSERT_EQ(Json_Dict_Add_Str(dict.get(), "i", "now text"), 0);
    const char* s = nullptr;
    EXPECT_EQ(Json_Dict_Find_Str(dict.get(), "i", s), 0);
    EXPECT_STREQ(s, "now text");

    ASSERT_EQ(Json_Dict_Add_Str(dict.get(), "s", nullptr), 0);  // an absent text is null
    EXPECT_EQ(Json_Dict_Find_Str(dict.get(), "s", s), -ENOENT);
    EXPECT_NE(strstr(Json_To_Plain_String(dict.get()), "\"s\":null"), nullptr);

    EXPECT_EQ(Json_Dict_Remove(dict.get(), "l"), 0);
    EXPECT_EQ(Json_Dict_Remove(dict.get(), "l"), -ENOENT);
    PT_JSON o = nullptr;
    EXPECT_EQ(Json_Dict_Find_List(dict.get(), "l", o), -ENOENT);
}

TEST(JsonAdd, NonFiniteDoublesAreRefusedSoTheFileStaysReadable) {
    RAIIful_Json obj(Json_Dict_Init());
    EXPECT_EQ(Json_Dict_Add_Double(obj.get(), "p", NAN), -EINVAL);
    EXPECT_EQ(Json_Dict_Add_Double(obj.get(), "p", INFINITY), -EINVAL);
    ASSERT_EQ(Json_Dict_Add_Double(obj.get(), "p", 100.0), 0);
    RAIIful_Json back(Json_From_String(Json_To_Plain_String(obj.get())));
    ASSERT_TRUE(back);
}

// Added containers belong to the container even when the add fails; the sanitizer build reports
// a leak or a double free if they do not.
TEST(JsonAdd, AddedContainersAreHandedOverEvenOnFailure) {
    EXPECT_EQ(Json_Dict_Add_List(nullptr, "l", Json_List_Init()), -EINVAL);
    EXPECT_EQ(Json_Dict_Add_Dict(nullptr, "d", Json_Dict_Init()), -EINVAL);
    RAIIful_Json dict(Json_Dict_Init());
    EXPECT_EQ(Json_Dict_Add_List(dict.get(), "l", Json_Dict_Init()), -EINVAL) << "not a list";
    EXPECT_EQ(Json_Dict_Add_Dict(dict.get(), "self", dict.get()), -EINVAL);
    EXPECT_EQ(Json_List_Add_Dict(dict.get(), Json_Dict_Init()), -EINVAL) << "not a list";

    RAIIful_Json list(Json_List_Init());
    ASSERT_EQ(Json_List_Add_Dict(list.get(), Json_Dict_Init()), 0);
    ASSERT_EQ(Json_Dict_Add_List(dict.get(), "l", list.release()), 0);
    ASSERT_EQ(Json_Dict_Add_List(dict.get(), "l", Json_List_Init()), 0);  // replaces, putting the old
    RAIIful_Json copy(Json_Obj_Dup(dict.get()));
    EXPECT_STREQ(Json_To_Plain_String(copy.get()), R"({"l":[]})");
}

// ---- Lists and plain values

TEST(JsonList, ChildAndSizeStayInsideTheList) {
    RAIIful_Json list(Json_From_String(R"(["a",2])"));
    EXPECT_EQ(Json_List_Size(list.get()), 2);
    EXPECT_STREQ(Json_Get_String(Json_List_Child(list.get(), 0)), "a");
    EXPECT_EQ(Json_Get_String(Json_List_Child(list.get(), 1)), nullptr) << "a number is not a text";
    EXPECT_EQ(Json_List_Child(list.get(), 2), nullptr);
    EXPECT_EQ(Json_List_Child(list.get(), -1), nullptr);
    RAIIful_Json dict(Json_Dict_Init());
    EXPECT_FALSE(Json_Is_List(dict.get()));
    EXPECT_EQ(Json_List_Size(dict.get()), 0);
    EXPECT_EQ(Json_List_Child(dict.get(), 0), nullptr);
    EXPECT_EQ(Json_List_Size(nullptr), 0);
}

TEST(JsonGetInt, ReadsNumbersAndNumbersWrittenAsText) {
    RAIIful_Json list(Json_From_String(R"([5, "12", "31x", "abc", true, 2.9, null, -4, "  7"])"));
    const int want[] = {5, 12, 31, 0, 1, 2, 0, -4, 7};
    ASSERT_EQ(Json_List_Size(list.get()), 9);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(Json_Get_Int(Json_List_Child(list.get(), i)), want[i]) << i;
    EXPECT_EQ(Json_Get_Int(nullptr), 0);
}

TEST(JsonIntegerString, CatalogTextsBecomeIntegersOrNull) {
    struct Case {
        const char* text;
        const char* json;
    } cases[] = {
        {"42", "42"},
        {"-7", "-7"},
        {"0", "0"},
        {"9223372036854775807", "9223372036854775807"},
        {"9223372036854775808", "null"},
        {"12a", "null"},
        {"abc", "null"},
        {"", "null"},
        {nullptr, "null"},
    };
    for (const Case& c : cases) {
        RAIIful_Json dict(Json_Dict_Init());
        ASSERT_EQ(smbbackup::Json_Dict_Add_Integer_String(dict.get(), "index", c.text), 0);
        EXPECT_EQ(std::string(Json_To_Plain_String(dict.get())), std::string("{\"index\":") + c.json + "}")
            << (c.text ? c.text : "NULL");
    }
    EXPECT_EQ(smbbackup::Json_Dict_Add_Integer_String(nullptr, "index", "1"), -EINVAL);
}

}  // namespace
