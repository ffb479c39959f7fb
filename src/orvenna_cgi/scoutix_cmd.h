// The scoutix command lines of the key checks and the domain listings.
#pragma once

#include <string>

namespace qlm {

// Runs "<bin>/scoutix <option> KEY ADMIN >OUT 2>/dev/null", every text quoted as one shell word.
// 0 when it ran and exited 0; -161 otherwise.
int Run_Scoutix(const char* pszOption, const std::string& strKeyPath, const char* pszAdminEmail,
                const std::string& strOutPath);

// A result file "<tmp>/tnq_<suffix>" (the process id or a fresh id).
std::string Tool_Result_Path(const std::string& strSuffix);

}  // namespace qlm
