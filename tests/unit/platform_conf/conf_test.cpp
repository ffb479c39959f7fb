// Configuration sections: a task file and GAM's gam.cfg are rewritten one section at a time, keep
// everything else, never take a value that would start a line of its own, and stay readable by
// an ordinary INI reader.
#include "plat_conf.h"

#include "../platform_testdir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using plattest::Read_File;
using plattest::TempDir;
using plattest::Write_File;

Sect_List_Ptr Read_Section(const std::string& file, const char* section, int* rc = nullptr) {
    _T_STR_SECT_NODE_* node = nullptr;
    int r = Get_Conf_File_Section(file.c_str(), section, &node);
    if (rc) *rc = r;
    return Sect_List_Ptr(node);
}

std::string Value_Of(const _T_STR_SECT_NODE_* node, const char* key) {
    std::string v;
    return Get_Pair_String_Buffer(node, key, v) == 0 ? v : "<absent>";
}

// ---- Writing a new section and reading it back

TEST(ConfWrite, NewTaskSectionReadsBackWithEveryKind) {
    TempDir dir;
    std::string file = dir / "task";
    Sect_List_Ptr node(Create_Sect_Node("0f8fad5b-d9cb-469f-a165-70867728950e"));
    ASSERT_TRUE(node);
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "task_status", "Stand_by"), 0);
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "manual_domain_user", R"(["a@x.com","b@x.com"])"), 0);
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "schedule_frequence", ""), 0);
    ASSERT_EQ(Set_Pair_Boolean_Value(node.get(), "drive_enable", 1), 0);
    ASSERT_EQ(Set_Pair_Boolean_Value(node.get(), "gmail_enable", 0), 0);
    ASSERT_EQ(Set_Pair_Integer_Value(node.get(), "create_time", 1720584000123LL), 0);
    ASSERT_EQ(Set_Pair_Integer_Value(node.get(), "configure_version", 0), 0);
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "task_status", "Running"), 0) << "replace keeps the place";

    ASSERT_EQ(Set_Pair_Format(0), 0);
    ASSERT_EQ(Set_Conf_File_Section(file.c_str(), node->name, node.get()), 0);
    EXPECT_EQ(Read_File(file),
              "[0f8fad5b-d9cb-469f-a165-70867728950e]\n"
              "task_status = Running\n"
              "manual_domain_user = [\"a@x.com\",\"b@x.com\"]\n"
              "schedule_frequence =\n"
              "drive_enable = true\n"
              "gmail_enable = false\n"
              "create_time = 1720584000123\n"
              "configure_version = 0\n");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    Sect_List_Ptr back = Read_Section(file, "0f8fad5b-d9cb-469f-a165-70867728950e");
    ASSERT_TRUE(back);
    int b = -1, v = -1;
    int64_t t = -1;
    EXPECT_EQ(Value_Of(back.get(), "manual_domain_user"), R"(["a@x.com","b@x.com"])");
    EXPECT_EQ(Value_Of(back.get(), "schedule_frequence"), "");
    EXPECT_EQ(Get_Pair_Boolean_Value(back.get(), "drive_enable", b), 0);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(Get_Pair_Boolean_Value(back.get(), "gmail_enable", b), 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(Get_Pair_Int64_Value(back.get(), "create_time", t), 0);
    EXPECT_EQ(t, 1720584000123LL);
    EXPECT_EQ(Get_Pair_Integer_Value(back.get(), "configure_version", v), 0);
    EXPECT_EQ(v, 0);
}

TEST(ConfWrite, WriteSectNodeWritesOneSectionToAnOpenFile) {
    Sect_List_Ptr node(Create_Sect_Node("s"));
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "k", "v"), 0);
    char* buf = nullptr;
    size_t len = 0;
    FILE* fp = open_memstream(&buf, &len);
    ASSERT_NE(fp, nullptr);
    int rc = Write_Sect_Node(fp, node.get());
    fclose(fp);
    std::string text(buf, len);
    free(buf);
    EXPECT_EQ(text, "[s]\nk = v\n\n");
    EXPECT_EQ(rc, static_cast<int>(text.size()));
    EXPECT_EQ(Set_Pair_Format(1), -EINVAL) << "only the one layout exists";
}

// ---- Rewriting one section of a file that holds more

// gam.cfg as GAM leaves it: comments, the DEFAULT section and another section after it.
class GamCfg : public ::testing::Test {
protected:
    void SetUp() override {
        Write_File(file, original);
        ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    }
    TempDir dir;
    std::string file = dir / "gam.cfg";
    const std::string original =
        "# written by gam\n"
        "[DEFAULT]\n"
        "; account settings\n"
        "admin_email = old@old.com\n"
        "cache_dir: /root/.gam/gamcache\n"
        "domain = old.com\n"
        "\n"
        "[profile]\n"
        "admin_email = other@x.com\n"
        "# keep this\n";
};

TEST_F(GamCfg, SettingDefaultKeepsOtherSectionsCommentsAndKeyPlaces) {
    Sect_List_Ptr node = Read_Section(file, "DEFAULT");
    ASSERT_TRUE(node);
    EXPECT_EQ(Value_Of(node.get(), "cache_dir"), "/root/.gam/gamcache") << "':' also splits a pair";
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "admin_email", "admin@new.com"), 0);
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "domain", "new.com"), 0);
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "customer_id", "C01"), 0);
    ASSERT_EQ(Set_Pair_Boolean_Value(node.get(), "enable_dasa", 1), 0);
    ASSERT_EQ(Set_Conf_File_Section(file.c_str(), "DEFAULT", node.get()), 0);

    EXPECT_EQ(Read_File(file),
              "# written by gam\n"
              "[DEFAULT]\n"
              "; account settings\n"
              "admin_email = admin@new.com\n"
              "cache_dir = /root/.gam/gamcache\n"
              "domain = new.com\n"
              "customer_id = C01\n"
              "enable_dasa = true\n"
              "\n"
              "[profile]\n"
              "admin_email = other@x.com\n"
              "# keep this\n");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the file keeps its mode";
    EXPECT_EQ(Value_Of(Read_Section(file, "profile").get(), "admin_email"), "other@x.com");
}

TEST_F(GamCfg, KeysLeftOutOfTheNodeGoAndAMissingSectionIsAppended) {
    Sect_List_Ptr node(Create_Sect_Node("DEFAULT"));
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "domain", "only.com"), 0);
    ASSERT_EQ(Set_Conf_File_Section(file.c_str(), "DEFAULT", node.get()), 0);
    Sect_List_Ptr fresh(Create_Sect_Node("new"));
    ASSERT_EQ(Set_Pair_Integer_Value(fresh.get(), "n", -5), 0);
    ASSERT_EQ(Set_Conf_File_Section(file.c_str(), "new", fresh.get()), 0);

    EXPECT_EQ(Read_File(file),
              "# written by gam\n"
              "[DEFAULT]\n"
              "; account settings\n"
              "domain = only.com\n"
              "\n"
              "[profile]\n"
              "admin_email = other@x.com\n"
              "# keep this\n"
              "\n"
              "[new]\n"
              "n = -5\n");
}

TEST_F(GamCfg, RefusedWritesLeaveTheFileAlone) {
    Sect_List_Ptr node = Read_Section(file, "DEFAULT");
    ASSERT_TRUE(node);
    EXPECT_EQ(Set_Conf_File_Section(file.c_str(), "bad]name", node.get()), -EINVAL);
    EXPECT_EQ(Set_Conf_File_Section(file.c_str(), "DEFAULT", nullptr), -EINVAL);
    // A value that entered the node unchecked is still never written.
    free(node->pairs->value);
    node->pairs->value = strdup("x\ninjected = 1");
    EXPECT_EQ(Set_Conf_File_Section(file.c_str(), "DEFAULT", node.get()), -EINVAL);
    EXPECT_EQ(Read_File(file), original);
}

TEST(ConfRead, RepeatedKeysAndSectionsReadAsOneWithTheLaterWinning) {
    TempDir dir;
    std::string file = dir / "conf";
    Write_File(file,
               "\xEF\xBB\xBF"
               "stray = before any section\n"
               "[t]\r\n"
               "a = 1\r\n"
               "  b   =   spaced value  \n"
               "a = 2\n"
               "c = x = y ; not a comment\n"
               "no delimiter here\n"
               "[other]\n"
               "a = other\n"
               "[t]\n"
               "d =\n"
               "b = last\n");
    Sect_List_Ptr t = Read_Section(file, "t");
    ASSERT_TRUE(t);
    EXPECT_EQ(Value_Of(t.get(), "a"), "2");
    EXPECT_EQ(Value_Of(t.get(), "b"), "last");
    EXPECT_EQ(Value_Of(t.get(), "c"), "x = y ; not a comment");
    EXPECT_EQ(Value_Of(t.get(), "d"), "");
    EXPECT_EQ(Value_Of(t.get(), "stray"), "<absent>");

    // Rewriting folds the repeat into the first section and writes each key once.
    ASSERT_EQ(Set_Conf_File_Section(file.c_str(), "t", t.get()), 0);
    EXPECT_EQ(Read_File(file),
              "stray = before any section\n"
              "[t]\r\n"
              "a = 2\n"
              "b = last\n"
              "c = x = y ; not a comment\n"
              "d =\n"
              "no delimiter here\n"
              "[other]\n"
              "a = other\n");
}

TEST(ConfRead, LinesHoldingANulByteAreNoPairsAndAreKeptAsTheyAre) {
    TempDir dir;
    std::string file = dir / "conf";
    const std::string text = std::string("[t]\n") + "a = 1\n" + "b = cut\t" + '\0' + "rest\n" + "ke" + '\0' +
                             "y = other\n" + "[u" + '\0' + "]\n" + "c = 3\n";
    Write_File(file, text);
    Sect_List_Ptr t = Read_Section(file, "t");
    ASSERT_TRUE(t);
    EXPECT_EQ(Value_Of(t.get(), "a"), "1");
    EXPECT_EQ(Value_Of(t.get(), "b"), "<absent>") << "no value cut short at the NUL";
    EXPECT_EQ(Value_Of(t.get(), "ke"), "<absent>") << "no key cut short at the NUL";
    EXPECT_EQ(Value_Of(t.get(), "c"), "3") << "a header holding a NUL starts no section";

    // A rewrite keeps those lines byte for byte and reads the same again.
    ASSERT_EQ(Set_Conf_File_Section(file.c_str(), "t", t.get()), 0);
    EXPECT_EQ(Read_File(file), text);
}

TEST(ConfRead, MissingFileSectionAndFolder) {
    TempDir dir;
    int rc = 0;
    EXPECT_FALSE(Read_Section(dir / "none", "t", &rc));
    EXPECT_EQ(rc, -ENOENT);
    Write_File(dir / "conf", "[a]\nk = v\n[empty]\n");
    EXPECT_FALSE(Read_Section(dir / "conf", "b", &rc));
    EXPECT_EQ(rc, 0) << "a missing section is no error";
    Sect_List_Ptr empty = Read_Section(dir / "conf", "empty", &rc);
    EXPECT_EQ(rc, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->pairs, nullptr);
    EXPECT_FALSE(Read_Section(dir.path(), "a", &rc));
    EXPECT_EQ(rc, -EISDIR);

    EXPECT_EQ(Check_Conf_DIR(dir.path().c_str()), 0);
    EXPECT_EQ(Check_Conf_DIR((dir / "none").c_str()), -ENOENT);
    EXPECT_EQ(Check_Conf_DIR((dir / "conf").c_str()), -ENOTDIR);
}

// ---- Texts that would change the file's structure

TEST(ConfRefuse, KeysValuesAndNamesThatWouldBreakTheLayout) {
    Sect_List_Ptr node(Create_Sect_Node("t"));
    ASSERT_TRUE(node);
    struct Case {
        const char* key;
        const char* value;
    } refused[] = {
        {"admin_email", "a@x.com\nauth_id = 0f8fad5b"},  // a request text injecting a key
        {"admin_email", "a@x.com\r"},
        {"admin_email", nullptr},
        {"", "v"},
        {nullptr, "v"},
        {"a=b", "v"},
        {"a:b", "v"},
        {"[t]", "v"},
        {"#k", "v"},
        {";k", "v"},
        {" k", "v"},
        {"k ", "v"},
        {"k\n", "v"},
    };
    for (const Case& c : refused)
        EXPECT_EQ(Set_Pair_String_Value(node.get(), c.key, c.value), -EINVAL)
            << (c.key ? c.key : "NULL") << " = " << (c.value ? c.value : "NULL");
    EXPECT_EQ(node->pairs, nullptr);
    EXPECT_EQ(Set_Pair_String_Value(nullptr, "k", "v"), -EINVAL);
    EXPECT_EQ(Set_Pair_Boolean_Value(node.get(), "k\r", 1), -EINVAL);
    for (const char* name : {"", "a]b", "a\nb", "a\r"}) EXPECT_EQ(Create_Sect_Node(name), nullptr) << name;
    EXPECT_EQ(Create_Sect_Node(nullptr), nullptr);
}

// ---- Typed reads

TEST(ConfGet, ValuesReadAsTheAskedKindOrAreRefused) {
    Sect_List_Ptr node(Create_Sect_Node("t"));
    const char* const pairs[][2] = {{"n", "12"},   {"neg", "-3"},   {"big", "99999999999"},
                                    {"x", "12x"},  {"empty", ""},   {"hex", "0x10"},
                                    {"huge", "9223372036854775808"}, {"T", "TRUE"},
                                    {"yes", "Yes"}, {"on", "on"},   {"zero", "0"},
                                    {"off", "OFF"}, {"maybe", "maybe"}};
    for (const auto& p : pairs) ASSERT_EQ(Set_Pair_String_Value(node.get(), p[0], p[1]), 0);
    struct Case {
        const char* key;
        int i32, i64, boolean;
        int64_t value;  // what a successful integer read gives
        int truth;      // what a successful boolean read gives
    } cases[] = {
        {"n", 0, 0, -EINVAL, 12, 0},
        {"neg", 0, 0, -EINVAL, -3, 0},
        {"big", -EINVAL, 0, -EINVAL, 99999999999, 0},
        {"x", -EINVAL, -EINVAL, -EINVAL, 0, 0},
        {"empty", -EINVAL, -EINVAL, -EINVAL, 0, 0},
        {"hex", -EINVAL, -EINVAL, -EINVAL, 0, 0},
        {"huge", -EINVAL, -EINVAL, -EINVAL, 0, 0},
        {"T", -EINVAL, -EINVAL, 0, 0, 1},
        {"yes", -EINVAL, -EINVAL, 0, 0, 1},
        {"on", -EINVAL, -EINVAL, 0, 0, 1},
        {"zero", 0, 0, 0, 0, 0},
        {"off", -EINVAL, -EINVAL, 0, 0, 0},
        {"maybe", -EINVAL, -EINVAL, -EINVAL, 0, 0},
        {"absent", -ENOENT, -ENOENT, -ENOENT, 0, 0},
    };
    for (const Case& c : cases) {
        int i = 77, b = 77;
        int64_t l = 77;
        EXPECT_EQ(Get_Pair_Integer_Value(node.get(), c.key, i), c.i32) << c.key;
        EXPECT_EQ(i, c.i32 == 0 ? c.value : 77) << c.key;
        EXPECT_EQ(Get_Pair_Int64_Value(node.get(), c.key, l), c.i64) << c.key;
        EXPECT_EQ(l, c.i64 == 0 ? c.value : 77) << c.key;
        EXPECT_EQ(Get_Pair_Boolean_Value(node.get(), c.key, b), c.boolean) << c.key;
        EXPECT_EQ(b, c.boolean == 0 ? c.truth : 77) << c.key;
    }
}

TEST(ConfGet, StringBufferTakesWholeValuesOnly) {
    Sect_List_Ptr node(Create_Sect_Node("t"));
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "k", "abcd"), 0);
    char buf[5] = "zzzz";
    EXPECT_EQ(Get_Pair_String_Buffer(node.get(), "k", buf, 4), -ENOSPC);
    EXPECT_STREQ(buf, "zzzz") << "no silent truncation";
    EXPECT_EQ(Get_Pair_String_Buffer(node.get(), "k", buf, 5), 0);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(Get_Pair_String_Buffer(node.get(), "none", buf, 5), -ENOENT);

    // A hand-picked user list of tens of kilobytes survives a file round trip.
    std::string users = "[";
    for (int i = 0; i < 3000; ++i) users += "\"user" + std::to_string(i) + "@example.com\",";
    users.back() = ']';
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "manual_domain_user", users.c_str()), 0);
    TempDir dir;
    ASSERT_EQ(Set_Conf_File_Section((dir / "task").c_str(), "t", node.get()), 0);
    EXPECT_EQ(Value_Of(Read_Section(dir / "task", "t").get(), "manual_domain_user"), users);
}

TEST(ConfClone, CopiesPairsOverAndKeepsTheTargetsOwn) {
    Sect_List_Ptr stored(Create_Sect_Node("t"));
    ASSERT_EQ(Set_Pair_Integer_Value(stored.get(), "create_time", 5), 0);
    ASSERT_EQ(Set_Pair_String_Value(stored.get(), "auth_id", "old"), 0);
    Sect_List_Ptr merged(Create_Sect_Node("t"));
    ASSERT_EQ(Set_Pair_String_Value(merged.get(), "auth_id", "mine"), 0);
    ASSERT_EQ(Clone_Pair_List(merged.get(), stored.get()), 0);
    ASSERT_EQ(Set_Pair_String_Value(merged.get(), "auth_id", "new"), 0);
    EXPECT_EQ(Value_Of(merged.get(), "create_time"), "5");
    EXPECT_EQ(Value_Of(merged.get(), "auth_id"), "new");
    EXPECT_EQ(Value_Of(stored.get(), "auth_id"), "old") << "the copy is independent";
    EXPECT_EQ(Clone_Pair_List(nullptr, stored.get()), -EINVAL);
}

// ---- An ordinary INI reader sees the same values

TEST(ConfInterop, PythonConfigparserReadsWhatWeWrite) {
    if (system("python3 -c 'import configparser' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    TempDir dir;
    std::string file = dir / "gam.cfg";
    Sect_List_Ptr node(Create_Sect_Node("DEFAULT"));
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "admin_email", "admin@example.com"), 0);
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "list", R"(["a:b","c=d"];#x %(y)s)"), 0);
    ASSERT_EQ(Set_Pair_String_Value(node.get(), "empty", ""), 0);
    ASSERT_EQ(Set_Pair_Boolean_Value(node.get(), "enable_dasa", 1), 0);
    ASSERT_EQ(Set_Conf_File_Section(file.c_str(), "DEFAULT", node.get()), 0);
    Sect_List_Ptr other(Create_Sect_Node("0f8fad5b-d9cb-469f-a165-70867728950e"));
    ASSERT_EQ(Set_Pair_Integer_Value(other.get(), "n", 3), 0);
    ASSERT_EQ(Set_Conf_File_Section(file.c_str(), other->name, other.get()), 0);

    std::string script = dir / "read.py";
    Write_File(script,
               "import configparser, sys\n"
               "c = configparser.ConfigParser(interpolation=None)\n"
               "c.read(sys.argv[1])\n"
               "d = c['DEFAULT']\n"
               "assert d['admin_email'] == 'admin@example.com', d['admin_email']\n"
               "assert d['list'] == '[\"a:b\",\"c=d\"];#x %(y)s', d['list']\n"
               "assert d['empty'] == ''\n"
               "assert d.getboolean('enable_dasa') is True\n"
               "assert c['0f8fad5b-d9cb-469f-a165-70867728950e'].getint('n') == 3\n");
    std::string cmd = "python3 '" + script + "' '" + file + "'";
    int status = system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << Read_File(file);
}

}  // namespace
