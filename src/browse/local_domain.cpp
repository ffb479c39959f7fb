#include "browse/local_domain.h"

#include <string>
#include <vector>

#include "mission/mission_record.h"
#include "web/reply.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"

namespace qlm {

int Backuped_Amount(const GWSTask& task) {
    const bool anyUserService = task.Get_Backup_Drive_Enable() != 0 || task.Get_Backup_Calendar_Enable() != 0 ||
                                task.Get_Backup_Gmail_Enable() != 0 || task.Get_Backup_Contact_Enable() != 0;
    if (!anyUserService) return 0;
    if (task.Get_Auto_Add_User_Enable() != 0) return task.Get_Total_User_Num();
    RAIIful_Json users(Json_From_String(task.Get_Manual_Select_Domain_User()));
    return Json_List_Size(users.get());
}

int List_Local_Domain(O_APP_CGI_AGENT* agent) {
    RAIIful_Json domains(Json_List_Init());
    // Stray files of the folder (an editor's backup, the mission folder) are not tasks.
    for (const std::string& id : Get_All_GWS_Task_ID_In_Vector()) {
        GWSTask task;
        task.Load_Task_Data(id.c_str());
        PT_JSON entry = Json_Dict_Init();
        Json_Dict_Add_Bool(entry, "success", true);
        Json_Dict_Add_Str(entry, "task_id", id.c_str());
        Json_Dict_Add_Str(entry, "admin_email", task.Get_Admin_Email());
        Json_Dict_Add_Int(entry, "total_amount", task.Get_Total_User_Num());
        Json_Dict_Add_Int(entry, "backuped_amount", Backuped_Amount(task));
        Json_Dict_Add_Str(entry, "joiner", agent->m_szUser);
        Json_Dict_Add_Bool(entry, "drive_enable", task.Get_Backup_Drive_Enable() != 0);
        Json_Dict_Add_Bool(entry, "shared_drive_enable", task.Get_Backup_Shared_Drive_Enable() != 0);
        Json_Dict_Add_Bool(entry, "calendar_enable", task.Get_Backup_Calendar_Enable() != 0);
        Json_Dict_Add_Bool(entry, "gmail_enable", task.Get_Backup_Gmail_Enable() != 0);
        Json_Dict_Add_Bool(entry, "contact_enable", task.Get_Backup_Contact_Enable() != 0);
        // Nothing writes a mode into the task file: a task is scheduled when a record schedules it.
        Json_Dict_Add_Str(entry, "backup_mode", Task_Schedule_Record_Paths(id.c_str()).empty() ? "manual" : "scheduling");
        Json_List_Add_Dict(domains.get(), entry);
    }
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_List(reply.get(), "domain_list", domains.release());
    Reply_Json(reply.get());
    return 0;
}

}  // namespace qlm
