// The mission lists: running and waiting missions, and finished ones.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// "mission_list": running exports, then scheduled missions not running, then running backups and
// restores. Always { "success": true, "mission_List": [...] }.
int Get_Mission_List(O_APP_CGI_AGENT* agent);
// "history_mission_list": the history records, newest start first.
int Get_History_Mission_List(O_APP_CGI_AGENT* agent);

}  // namespace qlm
