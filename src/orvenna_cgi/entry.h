// The two modes of orvenna.cgi: one CGI request, or one backup run started by the scheduler daemon.
#pragma once

namespace qlm {

// The application identifier under which the NAS session must admit the request.
inline constexpr const char* kAppId = "veltranoBusinessBackup";

// Backup mode needs exactly "-backup" and seven further arguments, and no CGI environment:
// under a web server the command line may carry words of the query string, so it never selects it.
bool Is_Backup_Mode(int argc, char** argv);
// A service switch: optional blanks and sign, decimal digits to the end, inside int range.
int Parse_Service_Switch(const char* text, int& out);
// Checks the command line and runs the backup; exit status 2 for a line that must not start one.
int Run_Backup_Mode(int argc, char** argv);
// Answers one web request; returns main's exit status.
int Run_Cgi_Request();
int Orvenna_Main(int argc, char** argv);

}  // namespace qlm
