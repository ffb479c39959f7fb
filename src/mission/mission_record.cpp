#include "mission/mission_record.h"

#include <chrono>
#include <cstring>

#include "common/atomicfile.h"
#include "common/cmdrun.h"
#include "common/filehelpers.h"
#include "common/paths.h"
#include "common/reqcheck.h"

namespace qlm {

namespace {

// List order of the service names, and the switch each one sets.
const struct {
    const char* pszName;
    int Service_Switches::*pSwitch;
} kServiceNames[] = {
    {"drive", &Service_Switches::nDrive},   {"shared_drive", &Service_Switches::nSharedDrive},
    {"gmail", &Service_Switches::nGmail},   {"calendar", &Service_Switches::nCalendar},
    {"contact", &Service_Switches::nContact},
};

}  // namespace

PT_JSON Service_List(const Service_Switches& sw) {
    PT_JSON list = Json_List_Init();
    if (list == nullptr) return nullptr;
    for (const auto& s : kServiceNames)
        if (sw.*s.pSwitch == 1 && Json_List_Add_Str(list, s.pszName) != 0) {
            json_object_put(list);
            return nullptr;
        }
    return list;
}

Service_Switches Service_Switches_Of(PT_JSON record) {
    Service_Switches sw;
    PT_JSON list = nullptr;
    if (Json_Dict_Find_List(record, kKeyService, list) != 0) return sw;
    for (int i = 0, n = Json_List_Size(list); i < n; ++i) {
        const char* name = Json_Get_String(Json_List_Child(list, i));
        if (name == nullptr) continue;
        for (const auto& s : kServiceNames)
            if (strcmp(name, s.pszName) == 0) sw.*s.pSwitch = 1;
    }
    return sw;
}

double Mission_Percent(int64_t llCurrent, int64_t llTotal) {
    if (llTotal == 0) return 0.0;
    double p = static_cast<double>(llCurrent) / static_cast<double>(llTotal) * 100.0;
    if (!(p > 0.0)) return 0.0;
    if (!(p < 100.0)) return 100.0;
    return p;
}

int64_t Mission_Int(PT_JSON record, const char* key) {
    int64_t v = 0;
    if (Json_Dict_Find_Int64(record, key, v) != 0) return 0;
    return v;
}

bool Mission_Matches_Key_Word(PT_JSON record, const char* pszKeyWord) {
    if (pszKeyWord == nullptr) return true;
    const char* text = nullptr;
    if (Json_Dict_Find_Str(record, kKeyMissionName, text) == 0 && strstr(text, pszKeyWord) != nullptr) return true;
    text = nullptr;
    return Json_Dict_Find_Str(record, kKeyDomain, text) == 0 && strstr(text, pszKeyWord) != nullptr;
}

void Mission_Recompute_Percents(PT_JSON record) {
    static const char* const kPairs[][3] = {
        {kKeyTotalProgress, kKeyBackupCurrent, kKeyBackupTotal},
        {kKeyDriveProgress, kKeyDriveCurrent, kKeyDriveTotal},
        {kKeySharedDriveProgress, kKeySharedDriveCurrent, kKeySharedDriveTotal},
        {kKeyGmailProgress, kKeyGmailCurrent, kKeyGmailTotal},
        {kKeyContactProgress, kKeyContactCurrent, kKeyContactTotal},
        {kKeyCalendarProgress, kKeyCalendarCurrent, kKeyCalendarTotal},
    };
    for (const auto& pair : kPairs)
        Json_Dict_Add_Double(record, pair[0], Mission_Percent(Mission_Int(record, pair[1]), Mission_Int(record, pair[2])));
}

void Mission_Remove_Id_Maps(PT_JSON record) {
    Json_Dict_Remove(record, kKeyRestoreIdmapDrive);
    Json_Dict_Remove(record, kKeyRestoreIdmapSharedDrive);
    Json_Dict_Remove(record, kKeyRestoreIdmapGmail);
    Json_Dict_Remove(record, kKeyRestoreIdmapContact);
}

namespace {

// The paths of the records of dir whose task_id is this task's, among the names keep() takes.
std::vector<std::string> Task_Record_Paths(const std::string& dir, const char* pszTaskID,
                                           bool (*keep)(const std::string&)) {
    std::vector<std::string> out;
    if (pszTaskID == nullptr || !Is_Id_Form(pszTaskID)) return out;
    std::vector<std::string> names;
    GetFolderList(names, dir.c_str());
    for (const std::string& name : names) {
        if (!keep(name)) continue;
        std::string path = dir + "/" + name;
        RAIIful_Json rec(Json_From_File(path.c_str()));
        const char* task = nullptr;
        if (rec && Json_Dict_Find_Str(rec.get(), kKeyTaskId, task) == 0 && strcmp(task, pszTaskID) == 0)
            out.push_back(std::move(path));
    }
    return out;
}

bool Any_Name(const std::string&) { return true; }

}  // namespace

std::vector<std::string> Task_Schedule_Record_Paths(const char* pszTaskID) {
    return Task_Record_Paths(Scheduling_Mission_Dir(), pszTaskID, Any_Name);
}

std::vector<std::string> Task_Running_Record_Paths(const char* pszTaskID) {
    return Task_Record_Paths(Mission_Dir(), pszTaskID, Is_Running_Record_Name);
}

bool Is_Running_Record_Name(const std::string& name) {
    return name != "history_mission" && name != "scheduling_mission" && name != "progress_mission" &&
           !Is_Restore_Journal_Name(name);
}

std::string Restore_Journal_Path(const std::string& strMissionPath) { return strMissionPath + kRestoreJournalSuffix; }

bool Is_Restore_Journal_Name(const std::string& name) {
    const size_t n = strlen(kRestoreJournalSuffix);
    return name.size() > n && name.compare(name.size() - n, n, kRestoreJournalSuffix) == 0;
}

}  // namespace qlm

int cmp_nStartTime_for_qsort(const void* a, const void* b) {
    int64_t ta = qlm::Mission_Int(*static_cast<PT_JSON const*>(a), qlm::kKeyStartTime);
    int64_t tb = qlm::Mission_Int(*static_cast<PT_JSON const*>(b), qlm::kKeyStartTime);
    if (ta > tb) return -1;
    if (ta < tb) return 1;
    return 0;
}

// ---- running-record progress of the services ----

namespace {

int64_t Monotonic_Ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The record as it is now with the two counters set; the other keys stay as the record holds them.
int Write_Progress(MissionProgress& progress) {
    RAIIful_Json record(Json_From_File(progress.strPath.c_str()));
    if (!record || !json_object_is_type(record.get(), json_type_object)) return -2;
    Json_Dict_Add_Int64(record.get(), progress.strCurrentKey.c_str(), progress.nServiceCurrent);
    Json_Dict_Add_Int64(record.get(), qlm::kKeyBackupCurrent, progress.nBackupCurrent);
    int rc = qlm::Json_Write_File(progress.strPath, record.get());
    progress.llLastWriteMs = Monotonic_Ms();
    if (rc == 0) progress.bDirty = false;
    return rc;
}

}  // namespace

int Mission_Progress_Begin(MissionProgress& progress, const std::string& strMissionPath, const char* pszCurrentKey) {
    progress = MissionProgress{};
    progress.strPath = strMissionPath;
    progress.strCurrentKey = pszCurrentKey ? pszCurrentKey : "";
    RAIIful_Json record(Json_From_File(strMissionPath.c_str()));
    if (!record) return -2;
    int64_t b = qlm::Mission_Int(record.get(), qlm::kKeyBackupCurrent);
    int64_t d = qlm::Mission_Int(record.get(), progress.strCurrentKey.c_str());
    progress.nBackupCurrent = b - d > 0 ? b - d : 0;
    progress.llLastWriteMs = Monotonic_Ms();
    return 0;
}

int Mission_Progress_Add(MissionProgress& progress, int64_t nItems) {
    progress.nServiceCurrent += nItems;
    progress.nBackupCurrent += nItems;
    progress.bDirty = true;
    if (Monotonic_Ms() - progress.llLastWriteMs < 1000) return 0;
    return Write_Progress(progress);
}

int Mission_Progress_Flush(MissionProgress& progress) { return Write_Progress(progress); }

namespace {

MissionProgress* g_watchedProgress = nullptr;

// Milliseconds until the pending counters are a second old (written now when they are); 0 when
// nothing is pending.
long long Write_Due_Progress() {
    MissionProgress* p = g_watchedProgress;
    if (p == nullptr || !p->bDirty || p->strPath.empty()) return 0;
    const long long left = 1000 - (Monotonic_Ms() - p->llLastWriteMs);
    if (left > 0) return left;
    Write_Progress(*p);
    return 0;  // a failed write waits for the next item
}

}  // namespace

void Mission_Progress_Watch(MissionProgress* progress) {
    g_watchedProgress = progress;
    Set_Command_Wait_Fn(progress ? Write_Due_Progress : nullptr);
}
