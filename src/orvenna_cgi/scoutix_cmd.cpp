#include "orvenna_cgi/scoutix_cmd.h"

#include "common/paths.h"
#include "common/shellquote.h"
#include "plat_proc.h"

namespace qlm {

int Run_Scoutix(const char* pszOption, const std::string& strKeyPath, const char* pszAdminEmail,
                const std::string& strOutPath) {
    std::string line = ShellQuote(Tool_Path("scoutix")) + " " + pszOption + " " + ShellQuote(strKeyPath) + " " +
                       ShellQuote(pszAdminEmail ? pszAdminEmail : "") + " >" + ShellQuote(strOutPath) + " 2>" +
                       ShellQuote("/dev/null");
    int status = -1;
    if (Execute_Command_Line(status, "%s", line.c_str()) != 0 || status != 0) return -161;
    return 0;
}

std::string Tool_Result_Path(const std::string& strSuffix) { return Tmp_Dir() + "/tnq_" + strSuffix; }

}  // namespace qlm
