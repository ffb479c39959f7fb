#include "common/toolcmd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "common/cmdrun.h"
#include "common/paths.h"
#include "common/shellquote.h"

namespace qlm {

std::string Tool_Result_Path(const std::string& strSuffix) { return Tmp_Dir() + "/tnq_" + strSuffix; }

int Prepare_Tool_Output(const std::string& path) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return -errno;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -errno;
    close(fd);
    return 0;
}

int Run_Scoutix(const char* pszOption, const std::string& strKeyPath, const char* pszAdminEmail,
                const std::string& strOutPath) {
    if (Prepare_Tool_Output(strOutPath) != 0) return -161;
    std::string line = ShellQuote(Tool_Path("scoutix")) + " " + pszOption + " " + ShellQuote(strKeyPath) + " " +
                       ShellQuote(pszAdminEmail ? pszAdminEmail : "") + " >" + ShellQuote(strOutPath) + " 2>" +
                       ShellQuote("/dev/null");
    int status = -1;
    if (Execute_Tool_Line(status, "%s", line.c_str()) != 0 || status != 0) return -161;
    return 0;
}

}  // namespace qlm
