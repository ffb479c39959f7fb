// Reading GAM's event, contact-group and contact listings into the records the catalogs store.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <string>
#include <vector>

#include "../platform_testdir.h"
#include "backup/calendar_backup.h"
#include "backup/contact_backup.h"
#include "common/timeconv.h"

namespace {

csvx::Document Doc(const std::string& csv) {
    plattest::TempDir dir;
    plattest::Write_File(dir / "listing.csv", csv);
    csvx::Document doc;
    EXPECT_EQ(doc.Load(dir / "listing.csv"), 0);
    return doc;
}

// The membership list as (id, name) pairs.
std::vector<std::pair<std::string, std::string>> Memberships(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    json_object* list = json_tokener_parse(text.c_str());
    for (size_t i = 0; list && i < json_object_array_length(list); ++i) {
        json_object* o = json_object_array_get_idx(list, i);
        json_object *id = nullptr, *name = nullptr;
        json_object_object_get_ex(o, "id", &id);
        json_object_object_get_ex(o, "name", &name);
        out.emplace_back(json_object_get_string(id), json_object_get_string(name));
    }
    json_object_put(list);
    return out;
}

TEST(CalendarListing, EveryEventWithIdAndCalendarIsKeptWithItsTimes) {
    const csvx::Document doc = Doc(
        "calendarId,id,summary,location,start.date,start.dateTime,end.date,end.dateTime,attendees.0.email\n"
        "a@x.test,ev1,\"Plan, \"\"final\"\"\",\"Room 4\nBuilding B\",,2024-03-05T09:30:00+08:00,,"
        "2024-03-05T10:15:00+08:00,b@x.test\n"
        "a@x.test,ev2,,,2024-03-08,,2024-03-09,,\n"           // untitled, all-day
        "a@x.test,ev3,Open end,,,2024-03-06T14:00:00Z,,,\n"    // no end
        ",ev4,No calendar,,,,,,\n"                             // not an event row
        "a@x.test,,No id,,,,,,\n");
    const std::vector<CalendarData> events = Calendar_Events_From_Listing(doc);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].strID, "ev1");
    EXPECT_EQ(events[0].strCalendarID, "a@x.test");
    EXPECT_EQ(events[0].strSummary, "Plan, \"final\"");
    EXPECT_EQ(events[0].strLocation, "Room 4\nBuilding B") << "a quoted line break stays in its cell";
    EXPECT_EQ(events[0].strAttendees0Email, "b@x.test");
    EXPECT_EQ(events[0].strHangoutLink, "") << "a column the listing lacks reads empty";
    EXPECT_EQ(events[0].llStartTimeStamp, calendar_parse_iso8601("2024-03-05T09:30:00+08:00"));
    EXPECT_EQ(events[0].llEndTimeStamp - events[0].llStartTimeStamp, 45 * 60);
    EXPECT_EQ(events[1].strSummary, "") << "an event without a title is backed up";
    EXPECT_EQ(events[1].llStartTimeStamp, calendar_parse_iso8601("2024-03-08"));
    EXPECT_EQ(events[1].llEndTimeStamp - events[1].llStartTimeStamp, 86400);
    EXPECT_GT(events[2].llStartTimeStamp, 0);
    EXPECT_EQ(events[2].llEndTimeStamp, 0);
    EXPECT_NE(events[0].strLocalID, events[1].strLocalID);
}

TEST(CalendarListing, ASnapshotHoldsOneEntryPerIdWithTheLastRowsValues) {
    const csvx::Document doc = Doc(
        "calendarId,id,summary\n"
        "a@x.test,ev1,First\n"
        "a@x.test,ev2,Other\n"
        "a@x.test,ev1,Second\n");
    std::vector<CalendarData> events = Calendar_Events_From_Listing(doc);
    ASSERT_EQ(events.size(), 3u);
    const std::string lastLocal = events[2].strLocalID;
    const auto snapshot = Calendar_Snapshot(events);
    ASSERT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(snapshot.at("ev1").strSummary, "Second");
    EXPECT_EQ(snapshot.at("ev1").strLocalID, lastLocal);
}

TEST(ContactListing, GroupsAreReadRowByRow) {
    const csvx::Document doc = Doc(
        "User,resourceName,formattedName,groupType,name,memberCount\n"
        "a@x.test,contactGroups/myContacts,My Contacts,SYSTEM_CONTACT_GROUP,myContacts,3\n"
        "a@x.test,contactGroups/abc,\"Work \"\"Friends\"\", close\",USER_CONTACT_GROUP,Work,0\n");
    const std::vector<ContactGroupData> groups = Contact_Groups_From_Listing(doc);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].strResourceName, "contactGroups/myContacts");
    EXPECT_EQ(groups[0].strMemberCount, "3");
    EXPECT_EQ(groups[1].strFormattedName, "Work \"Friends\", close");
    EXPECT_EQ(groups[1].strGroupType, "USER_CONTACT_GROUP");
}

TEST(ContactListing, EveryMembershipPairIsReadAndOtherContactsAreLeftOut) {
    std::string header = "User,resourceName,names.0.displayName,emailAddresses.0.value";
    for (int d = 0; d < 5; ++d) {
        const std::string k = "memberships." + std::to_string(d) + ".contactGroupMembership.";
        header += "," + k + "contactGroupId," + k + "contactGroupResourceName";
    }
    const csvx::Document doc = Doc(
        header + "\n"
        "a@x.test,people/c1,Mary,mary@x.test,myContacts,contactGroups/myContacts,starred,contactGroups/starred,"
        "abc,contactGroups/abc,def,,ghi,contactGroups/ghi\n"
        "a@x.test,otherContacts/c2,News,news@x.test,,,,,,,,,,\n"
        "a@x.test,people/c3,Twin,twin@x.test,,,,,,,,,,\n"
        "a@x.test,people/c3,Twin,twin@x.test,,,,,,,,,,\n");
    const std::vector<ContactData> contacts = Contacts_From_Listing(doc);
    ASSERT_EQ(contacts.size(), 3u) << "the other contact is not stored";
    EXPECT_EQ(contacts[0].strNames_0_DisplayName, "Mary");
    EXPECT_EQ(contacts[0].strPhoneNumbers_0_Value, "") << "a column the listing lacks reads empty";
    using M = std::vector<std::pair<std::string, std::string>>;
    // All five pairs are read, system groups included; the pair without a resource name is not.
    EXPECT_EQ(Memberships(contacts[0].strMembershipList),
              (M{{"myContacts", "contactGroups/myContacts"},
                 {"starred", "contactGroups/starred"},
                 {"abc", "contactGroups/abc"},
                 {"ghi", "contactGroups/ghi"},
                 {"contactGroups/all", "all"}}));
    EXPECT_NE(contacts[0].strMembershipList.find("\"contactGroups\\/starred\""), std::string::npos)
        << "the browse search finds a group by its name written with \\/: " << contacts[0].strMembershipList;
    EXPECT_EQ(Memberships(contacts[1].strMembershipList), (M{{"contactGroups/all", "all"}}));
    EXPECT_EQ(contacts[1].strResourceName, contacts[2].strResourceName);
    EXPECT_NE(contacts[1].strLocalID, contacts[2].strLocalID) << "identical rows stay two contacts";
}

TEST(ContactListing, WithoutAResourceNameColumnEveryRowIsKept) {
    const csvx::Document doc = Doc("User,names.0.displayName\na@x.test,One\na@x.test,Two\n");
    const std::vector<ContactData> contacts = Contacts_From_Listing(doc);
    ASSERT_EQ(contacts.size(), 2u);
    EXPECT_EQ(contacts[1].strResourceName, "");
}

}  // namespace
