// The list of configured domain tasks the browse pages start from.
#pragma once

class GWSTask;
class O_APP_CGI_AGENT;

namespace qlm {

// {"success": true, "domain_list": [...]}: per task its id, admin, user counts, the signed-in
// user as "joiner", the five service switches and the backup mode. Only files of conf/ named in
// the task id form count as tasks; one that does not load gives an entry of unset values.
int List_Local_Domain(O_APP_CGI_AGENT* agent);

// The users a task backs up: 0 when none of Drive, Calendar, Gmail and Contacts is on; the
// task's total when users are added automatically (or the switch is unset); otherwise the
// number of hand-picked users (0 when their list is not JSON).
int Backuped_Amount(const GWSTask& task);

}  // namespace qlm
