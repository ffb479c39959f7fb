// The action "restore": checks the request, the task and the key's Google permissions, answers
// with a new mission id and forks the restore worker.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

int Restore(O_APP_CGI_AGENT* agent);

}  // namespace qlm
