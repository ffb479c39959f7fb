#include "qlm_deamon/scheduler.h"

#include <cerrno>
#include <cstring>

#include <algorithm>

#include "mission/mission_record.h"
#include "common/atomicfile.h"
#include "common/filehelpers.h"
#include "common/paths.h"
#include "common/reqcheck.h"
#include "plat_json.h"

namespace qlm {

namespace {

constexpr int64_t kMaxSleepSec = 3600;
constexpr int64_t kNearSec = 5;

// True when the run at `due` still stands. The record may still announce it: the daemon stored
// that next_time and no edit has withdrawn it since; the schedule must then still have a run
// (an aborted "once" has none). Or the schedule as it stands gives that time again. Asking the
// schedule alone would lose runs whose date the rule carried over (a daily hour past 23): from
// the second before such a run "today" is already its day, and the rule then gives another day.
bool Schedules_Run_At(json_object* rec, int64_t due) {
    long again = 0;
    const int rc = Get_Next_Time_At(rec, [due] { return static_cast<time_t>(due - 1); }, again);
    int64_t announced = 0;
    if (rc == 0 && Json_Dict_Find_Int64(rec, kKeyNextTime, announced) == 0 && announced == due) return true;
    return rc == 0 && again == due;
}

// A run announced before a reload that still stands and comes before `next`, the run the rule
// gives from now: the previous list's time of the mission when it has come (a reload in the very
// second of a run), or the record's next_time still ahead (from a later "today" the rule may
// give a later day: a reload at 00:30 would otherwise move a daily "25:00" a day on). 0 when none.
int64_t Standing_Run(json_object* rec, const std::string& name, const Schedule_List& previous, int64_t now,
                     long next) {
    auto old = std::find_if(previous.begin(), previous.end(),
                            [&](const Schedule_Entry& e) { return e.strMissionID == name; });
    if (old != previous.end() && old->tNext <= now && Schedules_Run_At(rec, old->tNext)) return old->tNext;
    int64_t announced = 0;
    if (Json_Dict_Find_Int64(rec, kKeyNextTime, announced) == 0 && announced > now && announced < next &&
        Schedules_Run_At(rec, announced))
        return announced;
    return 0;
}

}  // namespace

int Patch_Schedule_Record(const std::string& strMissionID, const std::function<int(json_object*)>& patch) {
    if (!Is_Id_Form(strMissionID.c_str())) return -22;
    const std::string path = Scheduling_Mission_Dir() + "/" + strMissionID;
    RAIIful_Json rec(Json_Read_Object_File(path));
    if (!rec) return -2;
    if (int rc = patch(rec.get()); rc != 0) return rc;
    const char* text = Json_To_Plain_String(rec.get());
    return text != nullptr ? Replace_File_Atomic(path, text) : -ENOMEM;
}

int Store_Next_Time(const std::string& strMissionID, int64_t tNext) {
    return Patch_Schedule_Record(strMissionID, [tNext](json_object* rec) {
        int rc = Json_Dict_Add_Int64(rec, "start_time", tNext);
        return rc != 0 ? rc : Json_Dict_Add_Int64(rec, kKeyNextTime, tNext);
    });
}

int Mark_Started(const std::string& strMissionID, int64_t tNow) {
    return Patch_Schedule_Record(strMissionID, [tNow](json_object* rec) {
        const char* frequency = nullptr;
        if (Json_Dict_Find_Str(rec, "schedule_frequency", frequency) == 0 && strcmp(frequency, "once") == 0) {
            if (int rc = Json_Dict_Add_Str(rec, "backup_status", "finish"); rc != 0) return rc;
        }
        return Json_Dict_Add_Int64(rec, kKeyLastTime, tNow);
    });
}

void Load_Schedule_List(Schedule_List& list, const Schedule_List& previous, const Clock_Fn& clock) {
    list.clear();
    const std::string dir = Scheduling_Mission_Dir();
    std::vector<std::string> names;
    GetFolderList(names, dir.c_str());
    for (const std::string& name : names) {
        if (!Is_Id_Form(name.c_str())) continue;
        RAIIful_Json rec(Json_Read_Object_File(dir + "/" + name));
        long next = 0;
        if (!rec || Get_Next_Time_At(rec.get(), clock, next) != 0) continue;
        if (int64_t standing = Standing_Run(rec.get(), name, previous, clock(), next); standing != 0)
            next = static_cast<long>(standing);
        if (Store_Next_Time(name, next) == -2) continue;  // deleted meanwhile
        list.push_back({name, next});
    }
}

int Backup_Command(const std::string& strMissionID, json_object* rec, std::vector<std::string>& argv) {
    const char* task = nullptr;
    if (!Is_Id_Form(strMissionID.c_str()) || Json_Dict_Find_Str(rec, "task_id", task) != 0 || !Is_Id_Form(task))
        return -22;
    const Service_Switches sw = Service_Switches_Of(rec);
    argv = {Cgi_Path(), "-backup", strMissionID, task};
    // Command-line order: drive, shared drive, calendar, gmail, contact.
    for (int on : {sw.nDrive, sw.nSharedDrive, sw.nCalendar, sw.nGmail, sw.nContact}) argv.emplace_back(on ? "1" : "0");
    return 0;
}

void Take_Due_Missions(Schedule_List& list, const Clock_Fn& clock, std::vector<Due_Run>& runs) {
    runs.clear();
    const int64_t now = clock();
    Schedule_List due;
    auto firstDue = std::stable_partition(list.begin(), list.end(),
                                          [now](const Schedule_Entry& e) { return e.tNext > now; });
    due.assign(firstDue, list.end());
    list.erase(firstDue, list.end());
    for (const Schedule_Entry& e : due) {
        RAIIful_Json rec(Json_Read_Object_File(Scheduling_Mission_Dir() + "/" + e.strMissionID));
        if (!rec) continue;  // deleted: nothing starts
        long next = 0;
        if (Get_Next_Time_At(rec.get(), clock, next) == 0) {
            if (Store_Next_Time(e.strMissionID, next) == -2) continue;
            list.push_back({e.strMissionID, next});
        }
        if (!Schedules_Run_At(rec.get(), e.tNext)) continue;
        Due_Run run;
        run.strMissionID = e.strMissionID;
        if (Backup_Command(e.strMissionID, rec.get(), run.vArgv) == 0) runs.push_back(std::move(run));
    }
}

int64_t Daemon_Sleep_Ms(int64_t tEarliest, int64_t tNow) {
    int64_t d = 0;
    if (__builtin_sub_overflow(tEarliest, tNow, &d)) d = tEarliest > tNow ? INT64_MAX : INT64_MIN;
    if (d <= kNearSec) return 1000;
    return std::min(d - kNearSec, kMaxSleepSec) * 1000;
}

}  // namespace qlm
