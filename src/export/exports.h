// Exports to a NAS folder: the administrator picks a share, and a forked worker writes the
// selected backed-up data into a new dated folder "Quillmere_Export_yyyymmdd_hhmmss" there, with
// its progress in the mission list and a history record at its end (export_frame.h).
//
// Each action answers {"success": true, "mission_id": ..., "path": ...} once its worker runs, or
// one failure reply: 5303 for a missing parameter, 5302 for a bad value (task_id not of the id
// form, a hostile or unknown nas_path, an account that is no path component or has no backup),
// 5052 "task_id" for a task that is not valid (with a search), 5052 "nas_path" when the export
// folder cannot be made, 5052 alone when the worker cannot be started.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// The selected mails ("gmail_localid": "ALL" or a comma list of local ids, or the Gmail search
// keys) as "<subject>.eml" files, "<subject>(n).eml" on a clash.
int Export_Gmail_To_Nas(O_APP_CGI_AGENT* agent);

// The account's contacts, or events ("localid": "ALL" or a comma list, or for events the search
// keys), as one CSV file "<fourteen-digit stamp>.csv" in the export folder (the reply's "path"),
// one activity-log row per written row.
int Export_Contact_To_Nas(O_APP_CGI_AGENT* agent);
int Export_Calendar_To_Nas(O_APP_CGI_AGENT* agent);

}  // namespace qlm
