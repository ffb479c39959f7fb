#include "orvenna_cgi/actions.h"

#include <cstdio>
#include <cstring>

#include "backup/gmail_count_job.h"
#include "backup/run_backup.h"
#include "browse/contact_calendar_browse.h"
#include "browse/downloads.h"
#include "browse/drive_browse.h"
#include "browse/gmail_browse.h"
#include "browse/local_domain.h"
#include "browse/mail_view.h"
#include "export/drive_export.h"
#include "export/exports.h"
#include "orvenna_cgi/listings.h"
#include "orvenna_cgi/log_actions.h"
#include "orvenna_cgi/mission_abort.h"
#include "orvenna_cgi/mission_list.h"
#include "orvenna_cgi/schedule_actions.h"
#include "orvenna_cgi/schedule_record.h"
#include "orvenna_cgi/small_actions.h"
#include "orvenna_cgi/task_actions.h"
#include "restore/restore_action.h"
#include "upload/auth.h"

namespace qlm {

namespace {

// The pages an administrator keeps open also bring back a scheduler that died; the reply is out
// first, so the page never waits on it.
int Mending_Scheduler(int (*action)(O_APP_CGI_AGENT*), O_APP_CGI_AGENT* agent) {
    int rc = action(agent);
    fflush(stdout);
    Mend_Scheduler();
    return rc;
}

}  // namespace

// In the order of comparison; the first equal name wins.
const Action_Row g_ActionTable[kActionCount] = {
    {"auth", Auth, false},
    {"add", Add, false},
    {"edit", Edit, false},
    {"edit_domain", Edit_Domain, false},
    {"delete", Delete, false},
    {"detail", Detail, false},
    {"list_task", [](O_APP_CGI_AGENT*) { List_Task(); return 0; }, false},
    {"backup", Backup, false},
    {"get_domain_user", Get_Domain_User, false},
    {"get_shared_drive", Get_Shared_Drive, false},
    {"restore", Restore, false},
    {"list_drive_local_backup", List_Drive_Local_Backup, false},
    {"list_shared_drive_local_backup", List_Shared_Drive_Local_Backup, false},
    {"list_local_domain", [](O_APP_CGI_AGENT* a) { return Mending_Scheduler(List_Local_Domain, a); }, false},
    {"calendar_list", Calendar_List, false},
    {"list_calendar_local_backup", List_Calendar_Local_Backup, false},
    {"contact_list", Contact_List, false},
    {"list_contact_local_backup", List_Contact_Local_Backup, false},
    {"get_user_and_shared_drive", Get_User_And_Shared_Drive, false},
    {"mission_list", [](O_APP_CGI_AGENT* a) { return Mending_Scheduler(Get_Mission_List, a); }, false},
    {"history_mission_list", [](O_APP_CGI_AGENT* a) { return Mending_Scheduler(Get_History_Mission_List, a); },
     false},
    {"get_online_domain_users_and_shared_drive", Get_Online_Domain_User_And_Shared_Drive, false},
    {"gmail_list", Gmail_List, false},
    {"list_gmail_local_backup", List_Gmail_Local_Backup, false},
    {"gmail_single_info", Gmail_Single_Info, false},
    {"drive_single_info", Drive_Single_Info, false},
    {"shared_drive_single_info", Shared_Drive_Single_Info, false},
    {"download_attachment", Dowload_Gmail_Attachment, true},
    {"export_eml", Export_Eml_File, true},
    {"export_drive", Export_Drive, true},
    {"export_shared_drive", Export_Shared_Drive, true},
    {"add_schedule_mission", Add_Schedule_Mission, false},
    {"edit_schedule_mission", Edit_Schedule_Mission, false},
    {"run_mission", Run_Mission, false},
    {"detail_schedule_mission", Detail_Schedule_Mission, false},
    {"list_log", List_Log, false},
    {"delete_log", Delete_Log, false},
    {"save_log", Save_Log, true},
    {"find_log", Find_Log, false},
    {"mission_abort", Mission_Abort, false},
    {"mission_delete", Mission_Delete, false},
    {"get_storage_status", Get_Storage_Status, false},
    {"export_contact", Export_Contact, true},
    {"export_calendar", Export_Calendar, true},
    {"export_gmail_to_nas", Export_Gmail_To_Nas, false},
    {"export_drive_to_nas", Export_Drive_To_Nas, false},
    {"export_shared_drive_to_nas", Export_Shared_Drive_To_Nas, false},
    {"export_contact_to_nas", Export_Contact_To_Nas, false},
    {"export_calendar_to_nas", Export_Calendar_To_Nas, false},
    {"gmail_advanced_search", Gmail_Advanced_Search, false},
    {"drive_advanced_search", Drive_Advanced_Search, false},
    {"shared_drive_advanced_search", Shared_Drive_Advanced_Search, false},
    {"calendar_advanced_search", Calendar_Advanced_Search, false},
    {"get_default_mission_name", Get_Default_Mission_Name, false},
    {"gmail_users_get_count_start", Gmail_Users_Get_Count_Start, false},
    {"gmail_users_get_count_list", Gmail_Users_Get_Count_List, false},
    {"gmail_users_get_count_stop", Gmail_Users_Get_Count_Stop, false},
};

const Action_Row* Find_Action(const char* act) {
    if (act == nullptr) return nullptr;
    for (const Action_Row& row : g_ActionTable)
        if (strcmp(row.pszAct, act) == 0) return &row;
    return nullptr;
}

bool Is_Streaming_Action(const char* act) {
    const Action_Row* row = Find_Action(act);
    return row != nullptr && row->bStreaming;
}

}  // namespace qlm
