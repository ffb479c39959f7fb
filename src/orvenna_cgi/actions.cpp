#include "orvenna_cgi/actions.h"

#include <cstring>

namespace qlm {

// In the order of comparison; the first equal name wins.
const Action_Row g_ActionTable[kActionCount] = {
    {"auth", nullptr, false},
    {"add", nullptr, false},
    {"edit", nullptr, false},
    {"edit_domain", nullptr, false},
    {"delete", nullptr, false},
    {"detail", nullptr, false},
    {"list_task", nullptr, false},
    {"backup", nullptr, false},
    {"get_domain_user", nullptr, false},
    {"get_shared_drive", nullptr, false},
    {"restore", nullptr, false},
    {"list_drive_local_backup", nullptr, false},
    {"list_shared_drive_local_backup", nullptr, false},
    {"list_local_domain", nullptr, false},
    {"calendar_list", nullptr, false},
    {"list_calendar_local_backup", nullptr, false},
    {"contact_list", nullptr, false},
    {"list_contact_local_backup", nullptr, false},
    {"get_user_and_shared_drive", nullptr, false},
    {"mission_list", nullptr, false},
    {"history_mission_list", nullptr, false},
    {"get_online_domain_users_and_shared_drive", nullptr, false},
    {"gmail_list", nullptr, false},
    {"list_gmail_local_backup", nullptr, false},
    {"gmail_single_info", nullptr, false},
    {"drive_single_info", nullptr, false},
    {"shared_drive_single_info", nullptr, false},
    {"download_attachment", nullptr, true},
    {"export_eml", nullptr, true},
    {"export_drive", nullptr, true},
    {"export_shared_drive", nullptr, true},
    {"add_schedule_mission", nullptr, false},
    {"edit_schedule_mission", nullptr, false},
    {"run_mission", nullptr, false},
    {"detail_schedule_mission", nullptr, false},
    {"list_log", nullptr, false},
    {"delete_log", nullptr, false},
    {"save_log", nullptr, true},
    {"find_log", nullptr, false},
    {"mission_abort", nullptr, false},
    {"mission_delete", nullptr, false},
    {"get_storage_status", nullptr, false},
    {"export_contact", nullptr, true},
    {"export_calendar", nullptr, true},
    {"export_gmail_to_nas", nullptr, false},
    {"export_drive_to_nas", nullptr, false},
    {"export_shared_drive_to_nas", nullptr, false},
    {"export_contact_to_nas", nullptr, false},
    {"export_calendar_to_nas", nullptr, false},
    {"gmail_advanced_search", nullptr, false},
    {"drive_advanced_search", nullptr, false},
    {"shared_drive_advanced_search", nullptr, false},
    {"calendar_advanced_search", nullptr, false},
    {"get_default_mission_name", nullptr, false},
    {"gmail_users_get_count_start", nullptr, false},
    {"gmail_users_get_count_list", nullptr, false},
    {"gmail_users_get_count_stop", nullptr, false},
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
