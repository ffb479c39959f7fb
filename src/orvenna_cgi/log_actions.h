// The activity-log actions of the web page: read a page of the log, search it, clear it, and
// download it as a CSV file. Each prints exactly one reply (save_log: the file or one reply).
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// start, limit (integers, not negative), optional task_id: success, log (the page, newest first,
// of that task or of all), total (the rows of the whole log). A log without its table gives an
// empty page; the table is not made here.
int List_Log(O_APP_CGI_AGENT* agent);
// start, limit, key_word, optional task_id: success, log (the rows of the page whose message holds
// the key word literally), total (the rows of this page).
int Find_Log(O_APP_CGI_AGENT* agent);
// task_id ("All" clears the whole log, which keeps its file): success, and the clearing is logged;
// 5052 without a row when the rows could not be deleted.
int Delete_Log(O_APP_CGI_AGENT* agent);
// browser: the whole log as "<yyyymmddHHMMSS>_quillmere.csv" (UTF-8 with BOM, CRLF lines, every
// field quoted with its quotes doubled), streamed by the download service. The file lives in a
// folder of this request alone and is gone when the action ends, whatever the outcome.
int Save_Log(O_APP_CGI_AGENT* agent);

}  // namespace qlm
