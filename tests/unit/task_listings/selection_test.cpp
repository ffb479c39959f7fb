#include <gtest/gtest.h>

#include <string>

#include "orvenna_cgi/listings.h"
#include "orvenna_task.h"
#include "plat_json.h"

namespace {

const char kUsers[] =
    R"({"user_list":[{"iD":"1","Email":"a@x.test"},{"iD":"2","Email":"b@x.test"},{"iD":"3","Email":"c@x.test"}],)"
    R"("domain_list":["x.test"],"customer_id":"C1"})";
const char kDrives[] =
    R"({"shared_drive_list":[{"id":"D1","shared_drive_name":"One"},{"id":"D2","shared_drive_name":"Two"},)"
    R"({"id":"D3","shared_drive_name":"Three"}]})";
// D1 was backed up under two uuids, D3 once, D2 never.
const char kRows[] =
    R"([{"shared_drive_uuid":"u1","shared_drive_id":"D1","shared_drive_name":"One"},)"
    R"({"shared_drive_uuid":"u3","shared_drive_id":"D3","shared_drive_name":"Three"},)"
    R"({"shared_drive_uuid":"u1b","shared_drive_id":"D1","shared_drive_name":"One"}])";

std::string Text(PT_JSON list) {
    RAIIful_Json owned(list);
    return Json_To_Plain_String(owned.get());
}

// A task's switches as a loaded task has them (0 or 1); every service off unless set.
struct Switches {
    int drive = 0, contact = 0, calendar = 0, gmail = 0, shared = 0, autoUsers = 1, autoDrives = 1;
    const char* manualUsers = nullptr;
    const char* manualDrives = nullptr;
};

void Fill(GWSTask& t, const Switches& s) {
    t.Set_Backup_Drive_Enable(s.drive);
    t.Set_Backup_Contact_Enable(s.contact);
    t.Set_Backup_Calendar_Enable(s.calendar);
    t.Set_Backup_Gmail_Enable(s.gmail);
    t.Set_Backup_Shared_Drive_Enable(s.shared);
    t.Set_Auto_Add_User_Enable(s.autoUsers);
    t.Set_Auto_Add_Shared_Drive_Enable(s.autoDrives);
    if (s.manualUsers) t.Set_Manual_Select_Domain_User(s.manualUsers);
    if (s.manualDrives) t.Set_Manual_Select_Shared_Drive(s.manualDrives);
}

TEST(TaskUsers, FollowTheServicesAndThePicks) {
    struct Case {
        const char* name;
        Switches sw;
        std::string expected;
    };
    const std::string all = R"([{"iD":"1","Email":"a@x.test"},{"iD":"2","Email":"b@x.test"},{"iD":"3","Email":"c@x.test"}])";
    Switches gmailAuto;
    gmailAuto.gmail = 1;
    Switches picked;
    picked.contact = 1;
    picked.autoUsers = 0;
    picked.manualUsers = R"(["3","9","1"])";
    Switches pickedNone = picked;
    pickedNone.manualUsers = "";  // what an edit leaves when it turns auto-add off without a list
    Switches sharedOnly;
    sharedOnly.shared = 1;
    const Case cases[] = {
        {"one service, auto-add: everyone", gmailAuto, all},
        {"picked: in the order picked, unknown ids left out", picked,
         R"([{"iD":"3","Email":"c@x.test"},{"iD":"1","Email":"a@x.test"}])"},
        {"picked, list not JSON", pickedNone, "[]"},
        {"no user service", sharedOnly, "[]"},
    };
    RAIIful_Json users(Json_From_String(kUsers));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GWSTask task;
        Fill(task, c.sw);
        EXPECT_EQ(Text(qlm::Select_Task_Users(task, users.get())), c.expected);
    }
    GWSTask task;
    Fill(task, gmailAuto);
    RAIIful_Json noList(Json_From_String(R"({"domain_list":["x.test"]})"));
    EXPECT_EQ(Text(qlm::Select_Task_Users(task, noList.get())), "[]");
}

TEST(TaskSharedDrives, MappingRowsOrTheListedDrivesInTheirPlace) {
    struct Case {
        const char* name;
        int shared, autoDrives;
        const char* manual;
        bool rowsRead;
        std::string expected;
    };
    const char* rowD1 = R"({"shared_drive_uuid":"u1","shared_drive_id":"D1","shared_drive_name":"One"})";
    const char* rowD1b = R"({"shared_drive_uuid":"u1b","shared_drive_id":"D1","shared_drive_name":"One"})";
    const char* rowD3 = R"({"shared_drive_uuid":"u3","shared_drive_id":"D3","shared_drive_name":"Three"})";
    const Case cases[] = {
        {"switch off", 0, 1, nullptr, true, "[]"},
        // The drive never backed up (D2) has no row and is left out.
        {"auto-add, rows", 1, 1, nullptr, true, std::string("[") + rowD1 + "," + rowD1b + "," + rowD3 + "]"},
        {"auto-add, no rows", 1, 1, nullptr, false,
         R"([{"shared_drive_name":"One","shared_drive_id":"D1"},{"shared_drive_name":"Two","shared_drive_id":"D2"},)"
         R"({"shared_drive_name":"Three","shared_drive_id":"D3"}])"},
        {"picked, rows: once per row, in pick order", 1, 0, R"(["D3","D1","D2"])", true,
         std::string("[") + rowD3 + "," + rowD1 + "," + rowD1b + "]"},
        {"picked, no rows: the first listed drive", 1, 0, R"(["D3","nope"])", false,
         R"([{"shared_drive_name":"Three","shared_drive_id":"D3"}])"},
        {"picked, list not JSON", 1, 0, "", true, "[]"},
    };
    RAIIful_Json drives(Json_From_String(kDrives));
    RAIIful_Json rows(Json_From_String(kRows));
    const std::string listed = Json_To_Plain_String(drives.get());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GWSTask task;
        Switches sw;
        sw.shared = c.shared;
        sw.autoDrives = c.autoDrives;
        sw.manualDrives = c.manual;
        Fill(task, sw);
        EXPECT_EQ(Text(qlm::Select_Task_Shared_Drives(task, drives.get(), c.rowsRead ? rows.get() : nullptr)),
                  c.expected);
    }
    // The listing itself is never changed by the renaming.
    EXPECT_EQ(Json_To_Plain_String(drives.get()), listed);
}

TEST(ListingCache, FreshOnlyWithinTheLastDay) {
    const time_t now = 1800000000;
    struct Case {
        const char* json;
        bool fresh;
    };
    const Case cases[] = {
        {R"({"validity":1800000000})", true},
        {R"({"validity":1799913601})", true},   // 86399 s old
        {R"({"validity":1799913600})", false},  // a day old
        {R"({"validity":1800000001})", false},  // in the future
        {R"({"validity":0})", false},
        {R"({"validity":"1800000000"})", false},
        {R"({"user_list":[]})", false},
    };
    for (const Case& c : cases) {
        RAIIful_Json obj(Json_From_String(c.json));
        EXPECT_EQ(qlm::Listing_Cache_Fresh(obj.get(), now), c.fresh) << c.json;
    }
}

}  // namespace
