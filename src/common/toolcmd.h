// Runs the tools of the app's bin folder: every text of a command line is quoted as one shell word,
// and every output file is made by us, fresh and private, before the shell writes into it.
#pragma once

#include <string>

namespace qlm {

// A result file "<tmp>/tnq_<suffix>" (the process id or a fresh id).
std::string Tool_Result_Path(const std::string& strSuffix);

// A worker's tool files, each with a fresh id and the pid of the process that names it:
//   "<tmp>/tnq_<id>_<pid>"  a listing or result file
//   "<tmp>/<id>_<pid>_out"  a tool's standard output
//   "<tmp>/<id>_<pid>_err"  a tool's error output
// A worker ended by SIGTERM leaves through _exit, past the guards that remove them; the pid lets
// Remove_Stale_Tool_Files tell them from the files of a live process.
std::string Worker_Listing_Path();
std::string Worker_Out_Path();
std::string Worker_Err_Path();
// Removes the tool files above of every process that no longer exists (never this process's,
// never those of a live one). Every worker calls it when it starts.
void Remove_Stale_Tool_Files();

// Makes path a fresh empty file of mode 0600: an old file of that name is removed first, and the
// new one is created exclusively, never through a link planted in the shared temporary folder.
// 0 or -errno.
int Prepare_Tool_Output(const std::string& path);

// Runs "<bin>/scoutix <option> KEY ADMIN >OUT 2>/dev/null". 0 when it ran and exited 0; -161 otherwise.
int Run_Scoutix(const char* pszOption, const std::string& strKeyPath, const char* pszAdminEmail,
                const std::string& strOutPath);

}  // namespace qlm
