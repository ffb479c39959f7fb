#include "common/toolcmd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/cmdrun.h"
#include "common/filehelpers.h"
#include "common/paths.h"
#include "common/procinfo.h"
#include "common/reqcheck.h"
#include "common/shellquote.h"
#include "plat_proc.h"
#include "plat_string.h"

namespace qlm {

std::string Tool_Result_Path(const std::string& strSuffix) { return Tmp_Dir() + "/tnq_" + strSuffix; }

namespace {

constexpr char kListingPrefix[] = "tnq_";
constexpr char kOutSuffix[] = "_out";
constexpr char kErrSuffix[] = "_err";

std::string Id_And_Pid() { return smbbackup::Create_New_ID() + "_" + std::to_string(getpid()); }

bool Ends_With(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

// The pid of "<id>_<pid>" (a fresh id, then the digits of a pid); 0 for any other name.
pid_t Owner_Of(const std::string& idAndPid) {
    const std::string::size_type us = idAndPid.rfind('_');
    if (us == std::string::npos) return 0;
    const std::string id = idAndPid.substr(0, us), digits = idAndPid.substr(us + 1);
    if (!Is_Id_Form(id.c_str()) || digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return static_cast<pid_t>(std::stol(digits));
}

// The process that named a worker's tool file; 0 when the name is no such file's.
pid_t Tool_File_Owner(const std::string& name) {
    if (name.rfind(kListingPrefix, 0) == 0) return Owner_Of(name.substr(sizeof kListingPrefix - 1));
    for (const char* tail : {kOutSuffix, kErrSuffix})
        if (Ends_With(name, tail)) return Owner_Of(name.substr(0, name.size() - strlen(tail)));
    return 0;
}

}  // namespace

std::string Worker_Listing_Path() { return Tmp_Dir() + "/" + kListingPrefix + Id_And_Pid(); }
std::string Worker_Out_Path() { return Tmp_Dir() + "/" + Id_And_Pid() + kOutSuffix; }
std::string Worker_Err_Path() { return Tmp_Dir() + "/" + Id_And_Pid() + kErrSuffix; }

void Remove_Stale_Tool_Files() { Remove_Files_Of_Gone_Processes(Tmp_Dir(), Tool_File_Owner); }

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
