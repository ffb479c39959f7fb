// The task actions of the web page: add, edit, edit_domain, detail, list_task and delete.
// Each prints exactly one reply; the changes are logged in the activity log.
#pragma once

class GWSTask;
class O_APP_CGI_AGENT;

namespace qlm {

// Copies auth_id, admin_email, the seven switches and the hand-picked lists of the request into
// the task. 0, or non-zero after its error reply was printed (5052 with the parameter's name;
// 5302 "admin_email" for an e-mail holding CR, LF or NUL).
int Set_Param_From_Cgi(GWSTask* pTask, O_APP_CGI_AGENT* pocgiAgent);

int Add(O_APP_CGI_AGENT* agent);
int Edit(O_APP_CGI_AGENT* agent);
int Edit_Domain(O_APP_CGI_AGENT* agent);
int Detail(O_APP_CGI_AGENT* agent);
void List_Task();
int Delete(O_APP_CGI_AGENT* agent);

}  // namespace qlm
