#include "orvenna_cgi/mission_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "mission/mission_record.h"
#include "common/atomicfile.h"
#include "common/clock.h"
#include "common/filehelpers.h"
#include "common/paths.h"
#include "common/procinfo.h"
#include "export/export_frame.h"
#include "orvenna_cgi/mission_abort.h"
#include "web/reply.h"
#include "plat_cgi.h"
#include "plat_file.h"
#include "plat_json.h"
#include "progress_shm.h"

namespace qlm {

namespace {

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    GetFolderList(names, folder.c_str());
    return names;
}

void Reply_List(PT_JSON list) {
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_List(reply.get(), "mission_List", list);
    Reply_Json(reply.get());
}

// The entry of a running export, from its marker and its shared progress record; nothing when the
// marker is gone or no export of that mission publishes progress.
PT_JSON Export_Entry(const std::string& name, const char* pszKeyWord) {
    struct stat st {};
    if (stat((Progress_Mission_Dir() + "/" + name).c_str(), &st) != 0) return nullptr;
    try {
        SharedProgress shm(("/" + name).c_str(), false);
        if (!shm.Is_Open()) return nullptr;
        RAIIful_Json entry(Json_Dict_Init());
        Json_Dict_Add_Str(entry.get(), kKeyMissionId, name.c_str());
        PT_JSON services = Json_List_Init();
        Json_List_Add_Str(services, shm.GetService().c_str());
        Json_Dict_Add_List(entry.get(), kKeyService, services);
        Json_Dict_Add_Double(entry.get(), kKeyTotalProgress, Mission_Percent(shm.GetProgress(), shm.GetTotal()));
        std::string mode = shm.GetMode();
        Json_Dict_Add_Str(entry.get(), kKeyMode, mode.c_str());
        Json_Dict_Add_Int64(entry.get(), kKeyStartTime, shm.GetStartTime());
        Json_Dict_Add_Int64(entry.get(), kKeyElapsedTime, static_cast<int64_t>(Now()) - shm.GetStartTime());
        Json_Dict_Add_Str(entry.get(), kKeyDomain, shm.GetDomain().c_str());
        Json_Dict_Add_Str(entry.get(), kKeyMissionName, shm.GetMissionName().c_str());
        if (mode == "export") Json_Dict_Add_Str(entry.get(), kKeyBackupStatus, "exporting");
        if (!Mission_Matches_Key_Word(entry.get(), pszKeyWord)) return nullptr;
        return entry.release();
    } catch (...) {
        return nullptr;  // an object that cannot be mapped is no running export
    }
}

// Exports whose worker died without filing its end (killed, or the NAS restarted) get their
// "error" history record now, so none shows as running for ever.
void Reap_Dead_Exports() {
    for (const std::string& name : Entries(Progress_Mission_Dir())) Export_Reap_If_Dead(name);
}

// A worker killed outside its control (SIGKILL, the out-of-memory killer, a power cut) never files
// its running record, which would show as running for ever. A record that names a worker that is
// no longer a process of this program is filed in the history as "error", and the GAM tools left
// in the group that worker led are ended, as an abort of it would. A record without a pid is left
// to the abort: nothing tells whether its worker lives.
void File_Dead_Runs() {
    const std::string m = Mission_Dir();
    for (const std::string& name : Entries(m)) {
        if (!Is_Running_Record_Name(name)) continue;
        const std::string path = m + "/" + name;
        RAIIful_Json record(Json_Read_Object_File(path));
        int nPid = 0;
        if (!record || Json_Dict_Find_Int(record.get(), kKeyProcessPid, nPid) != 0 || nPid <= 1 ||
            Is_Own_Worker(nPid))
            continue;
        Sweep_Gone_Worker_Group(nPid);
        File_Running_Record(path, record.get(), "error", 0);
    }
}

}  // namespace

int Get_Mission_List(O_APP_CGI_AGENT* agent) {
    const char* pszKeyWord = agent ? agent->Get_Param("key_word") : nullptr;
    const std::string m = Mission_Dir();
    smbbackup::Create_Path(m.c_str(), 0700);
    Reap_Dead_Exports();
    File_Dead_Runs();
    std::vector<std::string> scheduled = Entries(Scheduling_Mission_Dir());
    std::vector<std::string> running = Entries(m);
    std::vector<std::string> exports = Entries(Progress_Mission_Dir());

    RAIIful_Json list(Json_List_Init());
    for (const std::string& name : exports)
        if (PT_JSON entry = Export_Entry(name, pszKeyWord)) Json_List_Add_Dict(list.get(), entry);

    for (const std::string& name : scheduled) {
        struct stat st {};
        if (lstat((m + "/" + name).c_str(), &st) == 0) continue;  // listed as the running record
        RAIIful_Json record(Json_Read_Object_File(Scheduling_Mission_Dir() + "/" + name));
        if (!record || !Mission_Matches_Key_Word(record.get(), pszKeyWord)) continue;
        Json_Dict_Add_Str(record.get(), kKeyMissionId, name.c_str());
        Json_Dict_Add_Int64(record.get(), kKeyElapsedTime, -1);
        Json_List_Add_Dict(list.get(), record.release());
    }

    for (const std::string& name : running) {
        if (!Is_Running_Record_Name(name)) continue;
        RAIIful_Json record(Json_Read_Object_File(m + "/" + name));
        if (!record || !Mission_Matches_Key_Word(record.get(), pszKeyWord)) continue;
        Json_Dict_Add_Str(record.get(), kKeyMissionId, name.c_str());
        Json_Dict_Add_Int64(record.get(), kKeyElapsedTime,
                            static_cast<int64_t>(Now()) - Mission_Int(record.get(), kKeyStartTime));
        Mission_Recompute_Percents(record.get());
        Mission_Remove_Id_Maps(record.get());
        Json_List_Add_Dict(list.get(), record.release());
    }
    Reply_List(list.release());
    return 0;
}

int Get_History_Mission_List(O_APP_CGI_AGENT* agent) {
    const char* pszKeyWord = agent ? agent->Get_Param("key_word") : nullptr;
    const std::string h = History_Mission_Dir();
    smbbackup::Create_Path(h.c_str(), 0700);
    Reap_Dead_Exports();
    File_Dead_Runs();
    std::vector<PT_JSON> records;
    for (const std::string& name : Entries(h)) {
        RAIIful_Json record(Json_Read_Object_File(h + "/" + name));
        if (!record || !Mission_Matches_Key_Word(record.get(), pszKeyWord)) continue;
        Json_Dict_Add_Str(record.get(), kKeyMissionId, name.c_str());
        int64_t elapsed = Mission_Int(record.get(), kKeyEndTime) - Mission_Int(record.get(), kKeyStartTime);
        Json_Dict_Add_Int64(record.get(), kKeyElapsedTime, elapsed > 0 ? elapsed : 0);
        Mission_Remove_Id_Maps(record.get());
        records.push_back(record.release());
    }
    if (!records.empty()) qsort(records.data(), records.size(), sizeof(PT_JSON), cmp_nStartTime_for_qsort);
    RAIIful_Json list(Json_List_Init());
    for (PT_JSON record : records) Json_List_Add_Dict(list.get(), record);
    Reply_List(list.release());
    return 0;
}

}  // namespace qlm
