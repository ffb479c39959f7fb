#include "restore/restore_cmd.h"

#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>

#include "common/clock.h"
#include "common/cmdrun.h"
#include "common/dlnames.h"
#include "common/paths.h"
#include "common/shellquote.h"
#include "common/toolcmd.h"
#include "mission/worker.h"
#include "plat_file.h"
#include "plat_string.h"

bool g_bGwsRestoreConnAbort = false;

namespace qlm {

std::string Drive_Stored_Copy_Path(const std::string& strTaskID, const std::string& strUser,
                                   const std::string& strLocalID) {
    return Backup_Service_Dir("drive") + "/" + strTaskID + "/" + strUser + "/" + strLocalID;
}

std::string Shared_Drive_Stored_Copy_Path(const std::string& strTaskID, const std::string& strUUID,
                                          const std::string& strLocalID) {
    return Backup_Service_Dir("shared_drive") + "/" + strTaskID + "/" + strUUID + "/" + strLocalID;
}

std::string Upload_Mime_Type(const std::string& strCatalogued) {
    std::string t = strCatalogued;
    for (char& c : t) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (const EditorExport* e = Editor_Export(t)) return e->odf;
    if (t.rfind("application/vnd.google-apps.", 0) == 0) return "";
    // GAM's check: a registered top-level type before "/", something after it.
    const size_t slash = t.find('/');
    if (slash == std::string::npos || slash + 1 == t.size()) return "";
    static const char* const kTops[] = {"application", "audio", "font",  "image", "message",
                                        "model",       "multipart", "text", "video"};
    for (const char* top : kTops)
        if (t.compare(0, slash, top) == 0 && slash == strlen(top)) return t;
    return "";
}

}  // namespace qlm

namespace {

using qlm::ShellQuote;

bool Empty(const char* text) { return text == nullptr || text[0] == '\0'; }

// A scratch file of this operation, removed when the scope ends (or by an abort's handler).
struct Scratch {
    int slot;
    std::string path;
    Scratch(int s, std::string p) : slot(s), path(std::move(p)) { qlm::Worker_Scratch_File(slot, path); }
    ~Scratch() {
        qlm::Worker_Scratch_File(slot, "");
        unlink(path.c_str());
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

std::string New_Err_File() {
    smbbackup::Create_Path(qlm::Tmp_Dir().c_str(), 0700);
    // Named with the worker's pid, so the next worker sweeps it if this one is killed.
    return qlm::Worker_Err_Path();
}

// "<gam> user ACCOUNT create drivefile drivefilename NAME" and what follows.
std::string Create_Head(const char* pszAccount, const char* pszName) {
    return ShellQuote(qlm::Tool_Path("gam")) + " user " + ShellQuote(pszAccount) +
           " create drivefile drivefilename " + ShellQuote(pszName);
}

// A folder named pszName as pszAccount, in pszParent or (nullptr) at the top of the My Drive.
std::string Create_Folder(const char* pszAccount, const char* pszName, const char* pszParent) {
    if (Empty(pszAccount) || Empty(pszName) || (pszParent != nullptr && pszParent[0] == '\0')) return "";
    const Scratch idScratch(0, qlm::Worker_Listing_Path());
    const Scratch errScratch(1, New_Err_File());
    const std::string &idFile = idScratch.path, &errFile = errScratch.path;
    std::string line = Create_Head(pszAccount, pszName) + " mimetype gfolder";
    if (pszParent != nullptr) line += " parentid " + ShellQuote(pszParent);
    line += " returnidonly >" + ShellQuote(idFile) + " 2>" + ShellQuote(errFile);
    std::string id;
    if (qlm::Prepare_Tool_Output(idFile) == 0 && GWS_Run_Restore_Cmd_With_Retry(line, errFile) == 0) {
        std::ifstream in(idFile, std::ios::binary);
        if (in) std::getline(in, id);
    }
    return id;
}

int Upload(const char* pszAccount, const std::string& source, const char* pszName, const char* pszParent,
           const char* pszMimeType) {
    if (Empty(pszAccount) || Empty(pszName) || Empty(pszParent)) return -161;
    const Scratch errScratch(1, New_Err_File());
    const std::string& errFile = errScratch.path;
    const std::string mime = qlm::Upload_Mime_Type(pszMimeType != nullptr ? pszMimeType : "");
    const std::string line = Create_Head(pszAccount, pszName) + " localfile " + ShellQuote(source) +
                             (mime.empty() ? "" : " mimetype " + ShellQuote(mime)) + " parentid " +
                             ShellQuote(pszParent) + " returnidonly >/dev/null 2>" + ShellQuote(errFile);
    return GWS_Run_Restore_Cmd_With_Retry(line, errFile) == 0 ? 0 : -161;
}

}  // namespace

int GWS_Run_Restore_Cmd_With_Retry(const std::string& strCmd, const std::string& strErrFile, int iTimeoutSec) {
    for (int r = 0; r < 5; ++r) {
        int status = -1;
        int ret = Execute_Command_Line_Timeout(status, qlm::Tool_Timeout_Sec(iTimeoutSec), "%s", strCmd.c_str());
        if (IsConnectionError(strErrFile)) {
            g_bGwsRestoreConnAbort = true;
            return -1;
        }
        if (ret >= 0 && status == 0) return 0;
        if (r == 4) break;
        qlm::Sleep_Seconds(static_cast<double>(1 << r));
    }
    return -1;
}

int Upload_Gmail_With_Retry(const char* pszTargetAccount, const std::string& strSourceFile,
                            const std::string& strLabel) {
    if (Empty(pszTargetAccount) || strSourceFile.empty() || strLabel.empty()) return 1;
    g_bGwsRestoreConnAbort = false;
    const Scratch errScratch(1, New_Err_File());
    const Scratch outScratch(0, qlm::Worker_Out_Path());
    const std::string line = ShellQuote(qlm::Tool_Path("gam")) + " user " + ShellQuote(pszTargetAccount) +
                             " insert messages emlfile " + ShellQuote(strSourceFile) +
                             " charset latin1 deleted false addlabel " + ShellQuote(strLabel) + " >" +
                             ShellQuote(outScratch.path) + " 2>" + ShellQuote(errScratch.path);
    if (qlm::Prepare_Tool_Output(outScratch.path) != 0) return 1;
    if (GWS_Run_Restore_Cmd_With_Retry(line, errScratch.path) == 0) return 0;
    return g_bGwsRestoreConnAbort ? -1 : 1;
}

std::string Create_Drive_Folder(const char* pszUserEmail, const char* pszCreateFolderName,
                                const char* pszDriveParentID) {
    return Create_Folder(pszUserEmail, pszCreateFolderName, pszDriveParentID ? pszDriveParentID : "");
}

std::string Create_Shared_Drive_Folder(const char* pszUserEmail, const char* pszCreateFolderName,
                                       const char* pszDriveParentID) {
    return Create_Folder(pszUserEmail, pszCreateFolderName, pszDriveParentID ? pszDriveParentID : "");
}

std::string Create_Drive_Folder_Without_ParentID(const char* pszCreateFolderName, const char* pszUserEmail) {
    return Create_Folder(pszUserEmail, pszCreateFolderName, nullptr);
}

int Upload_Drive_File(const char* pszTaskID, const char* pszUserEmail, const char* pszFileName, const char* pszLocalID,
                      const char* pszDriveParentID, const char* pszTargetEmail, const char* pszMimeType) {
    if (Empty(pszTaskID) || Empty(pszUserEmail) || Empty(pszLocalID)) return -161;
    const char* pszAccount = Empty(pszTargetEmail) ? pszUserEmail : pszTargetEmail;
    return Upload(pszAccount, qlm::Drive_Stored_Copy_Path(pszTaskID, pszUserEmail, pszLocalID), pszFileName,
                  pszDriveParentID, pszMimeType);
}

int Upload_Drive_File_Specify(const char* pszTaskID, const char* pszUserEmail, const char* pszTargetAccount,
                              const char* pszFileName, const char* pszLocalID, const char* pszDriveParentID,
                              const char* pszMimeType) {
    return Upload_Drive_File(pszTaskID, pszUserEmail, pszFileName, pszLocalID, pszDriveParentID, pszTargetAccount,
                             pszMimeType);
}

int Upload_Shared_Drive_File(const char* pszTaskID, const char* pszOwnerEmail, const char* pszSharedDriveUUID,
                             const char* pszFileName, const char* pszLocalID, const char* pszDriveParentID,
                             const char* pszMimeType) {
    if (Empty(pszTaskID) || Empty(pszSharedDriveUUID) || Empty(pszLocalID)) return -161;
    return Upload(pszOwnerEmail, qlm::Shared_Drive_Stored_Copy_Path(pszTaskID, pszSharedDriveUUID, pszLocalID),
                  pszFileName, pszDriveParentID, pszMimeType);
}
