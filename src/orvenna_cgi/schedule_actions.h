// The scheduled-mission actions of the web page: add, edit, show and run-now of one scheduling
// record. Each prints exactly one reply; add and edit leave an activity-log row and tell the daemon.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// The request's mission_id. nullptr after the reply 5303 "mission_id" (missing) or 5302
// "mission_id" (not of the id form): such a text never reaches a path.
const char* Get_Request_Mission_ID(const O_APP_CGI_AGENT* agent);

// "add_schedule_mission": a new record for the request's task. { success, mission_id }.
int Add_Schedule_Mission(O_APP_CGI_AGENT* agent);
// "edit_schedule_mission": replaces the record's services, enable flag, name and schedule.
int Edit_Schedule_Mission(O_APP_CGI_AGENT* agent);
// "detail_schedule_mission": the record, its service list shown as five booleans.
int Detail_Schedule_Mission(O_APP_CGI_AGENT* agent);
// "run_mission": replies, then a forked worker backs the mission up now under the record's id and
// deletes a record whose backup_scheduling_enable is 0 (or missing) afterwards.
int Run_Mission(O_APP_CGI_AGENT* agent);

}  // namespace qlm
