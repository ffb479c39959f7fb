// The records' defaults hold even over memory that held something else, and their shape
// (field counts, cheap moves) is what the catalogs and the sorted vectors rely on.
#include "appgenerallib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <type_traits>

namespace {

// Default-initialises T in a buffer full of junk, so a member without an initialiser shows.
template <typename T>
struct OverJunk {
    alignas(T) unsigned char buf[sizeof(T)];
    T* rec;
    OverJunk() {
        std::memset(buf, 0xA5, sizeof buf);
        rec = new (buf) T;
    }
    ~OverJunk() { rec->~T(); }
};

constexpr size_t S = sizeof(std::string);

// Field counts: texts and 8-byte numbers (GmailData also has six ints).
static_assert(sizeof(DriveData) == 10 * S + 6 * 8);
static_assert(sizeof(SharedDriveData) == 10 * S + 6 * 8);
static_assert(sizeof(SharedDriveInfo) == 2 * S);
static_assert(sizeof(GmailData) == 7 * S + 8 + 6 * 4);
static_assert(sizeof(CalendarData) == 54 * S + 2 * 8);
static_assert(sizeof(ContactData) == 21 * S);
static_assert(sizeof(ContactGroupData) == 6 * S);

// Sorting and map moves must stay cheap: a user-declared destructor would silently turn moves into copies.
static_assert(std::is_nothrow_move_constructible_v<DriveData> && std::is_nothrow_move_assignable_v<DriveData>);
static_assert(std::is_nothrow_move_constructible_v<SharedDriveData> &&
              std::is_nothrow_move_assignable_v<SharedDriveData>);
static_assert(!std::is_polymorphic_v<DriveData> && !std::is_polymorphic_v<CalendarData>);

// Drive and Shared Drive items share these defaults.
template <typename T>
void Expect_Item_Defaults(const T& r) {
    EXPECT_EQ(r.llIndex, 0);
    EXPECT_EQ(r.llDepth, -2);
    EXPECT_EQ(r.llSize, -1);
    EXPECT_EQ(r.llCreateTime, 0);
    EXPECT_EQ(r.llLastBackupTime, 0);
    EXPECT_EQ(r.llModifyTime, 0);
    EXPECT_TRUE(r.strDriveID.empty() && r.strMimeType.empty() && r.strStructure.empty());
}

TEST(Records, DriveItemsStartUnknownAndUnset) {
    OverJunk<DriveData> d;
    OverJunk<SharedDriveData> s;
    Expect_Item_Defaults(*d.rec);
    Expect_Item_Defaults(*s.rec);
    EXPECT_TRUE(d.rec->strOwner.empty());
    EXPECT_TRUE(s.rec->strMember.empty());
}

TEST(Records, MailAndEventNumbersStartAtZero) {
    OverJunk<GmailData> g;
    EXPECT_EQ(g.rec->tDate, 0);
    for (int v : {g.rec->bHasAttachment, g.rec->nStarred, g.rec->nImportant, g.rec->nSent, g.rec->nDraft,
                  g.rec->nTrash})
        EXPECT_EQ(v, 0);
    OverJunk<CalendarData> c;
    EXPECT_EQ(c.rec->llStartTimeStamp, 0);
    EXPECT_EQ(c.rec->llEndTimeStamp, 0);
    EXPECT_TRUE(c.rec->strLocalID.empty() && c.rec->strCDE2L.empty() && c.rec->strTransparency.empty());
}

TEST(Records, MoveLeavesTheTargetWithEveryField) {
    DriveData a;
    a.strDriveID = "id-1";
    a.strStructure = std::string(100, 's');  // beyond the small-string buffer
    a.llDepth = 3;
    a.llModifyTime = 1700000000;
    DriveData b = a;
    DriveData c = std::move(a);
    EXPECT_EQ(c.strDriveID, b.strDriveID);
    EXPECT_EQ(c.strStructure, b.strStructure);
    EXPECT_EQ(c.llDepth, 3);
    EXPECT_EQ(c.llModifyTime, 1700000000);
}

}  // namespace
