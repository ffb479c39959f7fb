// Backed-up items sent to the browser: one attachment, mails as EML files, Drive and shared
// drive items as rebuilt folder trees, contacts and events as CSV files.
//
// Each action streams: a successful download writes the whole response, and every JSON reply
// comes after the content-type header the action prints itself. Request names are checked
// before they reach a path, a command or a catalog (task_id: the id form; accounts, uuids and
// local ids: one path component; otherwise 5302 with the parameter's name). Each request
// prepares its files in a folder of its own under the temporary folder and removes it, whatever
// the result, before the process may be ended; the folder of a request killed outright goes with
// the next download. An item listed more than once in a selection is taken once.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// Attachment "index" of the mail gmail_localid, extracted by emlsift. A mail that is not stored
// answers 5302 "gmail_localid"; an attachment the tool cannot extract, 5052 "index".
int Dowload_Gmail_Attachment(O_APP_CGI_AGENT* agent);
// The selected ("ALL", a comma list, or a search) mails as "<subject>.eml" files: one file alone,
// several as one folder. None stored: 5052 "gmail_localid".
int Export_Eml_File(O_APP_CGI_AGENT* agent);

// The selected Drive or shared drive items ("ALL": the top-level ones; a comma list of catalog
// indexes; or a search): files copied, folders rebuilt with their whole subtree.
int Export_Drive(O_APP_CGI_AGENT* agent);
int Export_Shared_Drive(O_APP_CGI_AGENT* agent);

// An account's contacts or events ("ALL", a comma list of local ids, or for events a search) as
// "<fourteen-digit stamp>_quillmere.csv".
int Export_Contact(O_APP_CGI_AGENT* agent);
int Export_Calendar(O_APP_CGI_AGENT* agent);

}  // namespace qlm
