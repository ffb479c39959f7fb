// Small actions answered by the entry point itself.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// task_id: checks that the task's stored key decrypts. Success prints nothing after the header.
int Get_Shared_Drive(O_APP_CGI_AGENT* agent);
// Bytes used by the app, by other data, and free on the NAS volume:
// success, gws_used, other (used - gws_used, negative when the volume cannot be read), free.
// It walks the whole app folder, backups included, on every call.
int Get_Storage_Status(O_APP_CGI_AGENT* agent);
// success, default_mission_name (Get_New_Mission_Name).
int Get_Default_Mission_Name(O_APP_CGI_AGENT* agent);

}  // namespace qlm
