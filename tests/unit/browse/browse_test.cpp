// The pieces of the browse actions that the end-to-end suite cannot pin down: the streamed search
// reply is byte for byte the reply built as one object, the readers' lock never creates a file
// and only a writer turns it away, and the SQL child count agrees with the list it replaces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "../catalog_testutil.h"
#include "../platform_stdio.h"
#include "browse/read_lock.h"
#include "browse/tree_reply.h"
#include "common/guards.h"
#include "dbcontrol/drive_db.h"
#include "dbcontrol/drive_search.h"
#include "dbcontrol/shared_drive_db.h"
#include "web/reply.h"
#include "plat_lock.h"

namespace {

using cattest::kTask;
using cattest::kUser;

// Rows with what json-c escapes or spaces specially: slashes, quotes, control and non-ASCII bytes,
// an integer, a null and a nested list.
PT_JSON Row(int i) {
    PT_JSON row = Json_Dict_Init();
    Json_Dict_Add_Str(row, "id", ("a/b\\c\"" + std::to_string(i)).c_str());
    Json_Dict_Add_Str(row, "name", "R\xc3\xa9sum\xc3\xa9 \t\x01 100%");
    Json_Dict_Add_Int(row, "index", i);
    Json_Dict_Add_Str(row, "Owner", nullptr);
    PT_JSON inner = Json_List_Init();
    Json_List_Add_Str(inner, "x");
    Json_Dict_Add_List(row, "list", inner);
    return row;
}

TEST(TreeReplyStream, WritesTheSameBytesAsTheWholeReply) {
    plattest::TempDir dir;
    for (int rows : {0, 1, 3}) {
        const auto whole = plattest::Run_Child(dir, {}, "", [rows] {
            RAIIful_Json reply(Json_Dict_Init()), list(Json_List_Init());
            for (int i = 0; i < rows; ++i) Json_List_Add_Dict(list.get(), Row(i));
            Json_Dict_Add_Bool(reply.get(), "success", true);
            Json_Dict_Add_List(reply.get(), "tree", list.release());
            Json_Dict_Add_Int64(reply.get(), "total", rows);
            qlm::Reply_Json(reply.get());
            return 0;
        });
        const auto streamed = plattest::Run_Child(dir, {}, "", [rows] {
            qlm::Tree_Reply_Stream out;
            for (int i = 0; i < rows; ++i) {
                RAIIful_Json row(Row(i));
                if (out.Add(row.get()) != 0) return 1;
            }
            out.Finish(out.Rows());
            return out.Rows() == rows ? 0 : 2;
        });
        EXPECT_EQ(streamed.exitCode, 0);
        EXPECT_EQ(streamed.out, whole.out) << rows << " rows";
        EXPECT_NE(whole.out.find("Content-Type: application/json"), std::string::npos);
    }
}

TEST(ReadLock, NeverCreatesTheFileOrItsFolders) {
    plattest::TempDir dir;
    int fd = 7;
    EXPECT_EQ(qlm::Try_Read_Lock(dir / "task/user.drive_lck", fd), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(qlm::Try_Read_Lock(dir / "user.drive_lck", fd), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(cattest::Tree(dir.path()).empty());
}

TEST(ReadLock, OnlyAWriterTurnsItAway) {
    plattest::TempDir dir;
    const std::string path = dir / "user.drive_lck";
    int writer = -1;
    ASSERT_EQ(Get_File_Lock(path.c_str(), 0, writer), 0);
    {
        LockGuard held(&writer);
        int fd = -1;
        EXPECT_EQ(qlm::Try_Read_Lock(path, fd), -EWOULDBLOCK);
        EXPECT_EQ(fd, -1);
    }
    int first = -1, second = -1;
    ASSERT_EQ(qlm::Try_Read_Lock(path, first), 0);
    LockGuard a(&first);
    ASSERT_EQ(qlm::Try_Read_Lock(path, second), 0);  // readers share it
    LockGuard b(&second);
    EXPECT_GE(first, 0);
    EXPECT_GE(second, 0);
    EXPECT_TRUE(fcntl(first, F_GETFD) & FD_CLOEXEC);
    // A writer that does not wait is turned away while a reader reads; once all readers are done, it gets in.
    EXPECT_EQ(Get_File_Lock(path.c_str(), 0, writer), -EWOULDBLOCK);
    a.reset();
    b.reset();
    ASSERT_EQ(Get_File_Lock(path.c_str(), 0, writer), 0);
    Release_File_Lock(writer);
}

TEST(ReadLock, AFifoInPlaceOfTheLockFileDoesNotHang) {
    plattest::TempDir dir;
    const std::string path = dir / "user.drive_lck";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int fd = -1;
    EXPECT_EQ(qlm::Try_Read_Lock(path, fd), 0);
    LockGuard held(&fd);
}

// A folder with children, some grand-children elsewhere, written through the catalog writers.
template <typename Record>
std::map<std::string, Record> Tree_Of(int children) {
    std::map<std::string, Record> items;
    auto add = [&](const std::string& id, const std::string& parent, int index, const char* mime) {
        Record d;
        d.strName = "n" + id;
        d.strParentDriveID = parent;
        d.llIndex = index;
        d.strMimeType = mime;
        d.llSize = index;
        items[id] = d;
    };
    add("root", "", 1, "application/vnd.google-apps.folder");
    add("sub", "root", 2, "application/vnd.google-apps.folder");
    for (int i = 0; i < children; ++i) add("c" + std::to_string(i), "root", 10 + i, "text/plain");
    add("g", "sub", 3, "text/plain");
    return items;
}

TEST(FolderCount, AgreesWithTheListOfChildren) {
    cattest::Root root;
    ASSERT_EQ(Drive_Write_DB(Tree_Of<DriveData>(25), kUser, kTask), 0);
    ASSERT_EQ(Shared_Drive_Write_DB(Tree_Of<SharedDriveData>(4), "uuid-1", kTask), 0);
    for (const char* parent : {"root", "sub", "g", "none"}) {
        cattest::List drive, shared;
        Drvie_Find_DB_Simple_Data_By_ParentID(drive.get(), kUser, kTask, parent);
        Shared_Drvie_Find_DB_Data_By_ParentID(shared.get(), "uuid-1", kTask, parent);
        EXPECT_EQ(Drvie_Count_DB_Data_By_ParentID(kUser, kTask, parent), drive.size()) << parent;
        EXPECT_EQ(Shared_Drvie_Count_DB_Data_By_ParentID("uuid-1", kTask, parent), shared.size()) << parent;
    }
    EXPECT_EQ(Drvie_Count_DB_Data_By_ParentID(kUser, kTask, "root"), 26);
    // A catalog that is not there counts 0 and stays not there.
    const auto before = cattest::Tree(root.dir.path());
    EXPECT_EQ(Drvie_Count_DB_Data_By_ParentID("nobody@example.com", kTask, "root"), 0);
    EXPECT_EQ(Drvie_Count_DB_Data_By_ParentID("../x", kTask, "root"), 0);
    EXPECT_EQ(cattest::Tree(root.dir.path()), before);
}

TEST(SearchEach, HandsOverTheRowsTheListSearchCollects) {
    cattest::Root root;
    ASSERT_EQ(Drive_Write_DB(Tree_Of<DriveData>(5), kUser, kTask), 0);
    cattest::List listed;
    Drive_Get_DB_Data_For_Advance_Search(listed.get(), kUser, kTask, "n", "other", 1, -1, -1, -1, -1, -1, -1, -1);
    ASSERT_EQ(listed.size(), 6);
    qlm::catalog::Drive_Search_Filters f;
    f.name = "n";
    f.type = "other";
    f.sizeType = 1;
    std::vector<std::string> each;
    EXPECT_EQ(qlm::catalog::Drive_Search_Each(qlm::catalog::Kind::Drive, kUser, kTask, f, [&](RAIIful_Json& row) {
                  each.push_back(Json_To_String(row.get()));
                  return 0;
              }),
              0);
    ASSERT_EQ(each.size(), 6u);
    for (int i = 0; i < listed.size(); ++i) EXPECT_EQ(each[i], Json_To_String(listed.at(i)));
    // A sink that stops ends the read.
    int seen = 0;
    EXPECT_EQ(qlm::catalog::Drive_Search_Each(qlm::catalog::Kind::Drive, kUser, kTask, f,
                                              [&](RAIIful_Json&) { return ++seen == 2 ? -1 : 0; }),
              -161);
    EXPECT_EQ(seen, 2);
}

}  // namespace
