// Request texts that the task and key actions check before they use them.
#pragma once

class GWSTask;
class O_APP_CGI_AGENT;

namespace qlm {

// The admin e-mail of the request: nullptr when absent. bRefused is set when the value holds a CR,
// LF or NUL: such a text would add keys to a task file or gam.cfg, or lines to a tool's input.
// Query string and form body alike.
const char* Get_Admin_Email_Param(const O_APP_CGI_AGENT* agent, bool& bRefused);

// True when the request's value of name holds a NUL byte, wherever the value came from: the
// agent's text of it ends there, so a handler would take a value cut short for the whole.
bool Param_Has_Nul(const O_APP_CGI_AGENT* agent, const char* name);

// Loads the task named by the request's task_id. 0; otherwise, after the reply 5303 "task_id"
// (missing) or 5302 "task_id" (not of the id form, or it does not load: no file is touched for a
// text of another form), non-zero.
int Load_Request_Task(const O_APP_CGI_AGENT* agent, GWSTask& task);
// Load_Request_Task, then Validate_Task_Data: 5052 "task_id" when the task is not valid.
int Load_Valid_Request_Task(const O_APP_CGI_AGENT* agent, GWSTask& task);

// The paging parameters start and limit, in that order: 0; otherwise, after the reply 5303 with
// the name (absent, or not wholly a decimal number) or 5302 with the name (below 0), non-zero.
int Get_Paging_Params(const O_APP_CGI_AGENT* agent, int& start, int& limit);

// True when the text holds a CR or LF.
bool Has_Line_Break(const char* text);

}  // namespace qlm
