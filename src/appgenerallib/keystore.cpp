#include "appgenerallib/keystore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "common/atomicfile.h"
#include "common/cmdrun.h"
#include "common/filehelpers.h"
#include "common/paths.h"
#include "common/procinfo.h"
#include "common/reqcheck.h"
#include "common/shellquote.h"
#include "common/toolcmd.h"
#include "plat_conf.h"
#include "plat_file.h"
#include "plat_json.h"
#include "plat_secret.h"
#include "plat_string.h"

namespace {

// The one passphrase of the key store; both directions use it.
constexpr char kKeyPassphrase[] = "Vq7#Lm2!Rk9@Tz4$Wn6^Hd8&P";
static_assert(sizeof(kKeyPassphrase) - 1 == 25, "the passphrase has 25 characters");

// Creates path exclusively with mode 0600 (never through a link) and writes data into it.
// 0, or -errno with no file left.
int Write_Private_File(const std::string& path, const char* data, size_t len) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -errno;
    int rc = 0;
    for (size_t done = 0; done < len && rc == 0;) {
        ssize_t n = write(fd, data + done, len - done);
        if (n < 0 && errno != EINTR) rc = -errno;
        if (n == 0) rc = -EIO;
        if (n > 0) done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 && rc == 0) rc = -errno;
    if (rc != 0) unlink(path.c_str());
    return rc;
}

// The first white-space-separated word of the file; empty when it is missing or unreadable.
std::string Read_Token(const std::string& path) {
    std::ifstream in(path);
    std::string token;
    in >> token;
    return token;
}

// Decrypts the token stored in srcPath into a fresh file of its own (tmp/<auth>_<pid>_<id>_de), so
// two processes decrypting one key never remove each other's file.
int Decrypt_Key_File(std::string& strKeyPath, const std::string& srcPath, const char* pszAuthID) {
    // Every request that handles a key first removes the plain keys that killed ones left.
    Remove_Stale_Plain_Keys();
    // Decryption is slow on purpose (key stretching), and one run needs its key several times: the
    // process keeps the last token it decrypted with its plain text, and the same token is never
    // decrypted twice. A changed or missing token is decrypted again.
    static std::string s_token, s_plain;
    const std::string token = Read_Token(srcPath);
    if (s_token.empty() || token != s_token) {
        RAIIful_Char_Pointer plain;
        if (int rc = Decrypt_Str(token.c_str(), plain.out(), kKeyPassphrase); rc != 0) return rc < 0 ? rc : -161;
        s_plain = plain.get();
        s_token = token;
    }
    std::string tmpDir = qlm::Db_Tmp_Dir();
    smbbackup::Create_Path(tmpDir.c_str(), 0700);
    std::string out = tmpDir + "/" + pszAuthID + "_" + std::to_string(getpid()) + "_" + smbbackup::Create_New_ID() + "_de";
    if (Write_Private_File(out, s_plain.data(), s_plain.size()) != 0) return -161;
    strKeyPath = out;
    return 0;
}

// The set-up's listing of the key: domain_list[0] and customer_id, both required before GAM's
// folder is touched. 0 or -161.
int Read_Key_Domain(const std::string& listing, std::string& domain, std::string& customer) {
    RAIIful_Json info(Json_From_File(listing.c_str()));
    if (!info || !json_object_is_type(info.get(), json_type_object)) return -161;
    PT_JSON domains = nullptr;
    const char* first = nullptr;
    const char* cust = nullptr;
    if (Json_Dict_Find_List(info.get(), "domain_list", domains) != 0) return -161;
    first = Json_Get_String(Json_List_Child(domains, 0));
    if (first == nullptr || *first == '\0') return -161;
    if (Json_Dict_Find_Str(info.get(), "customer_id", cust) != 0) return -161;
    domain = first;
    customer = cust;
    return 0;
}

int Run_Ok(int rc, int status) { return rc >= 0 && status == 0 ? 0 : -161; }

// Sets the four keys of section DEFAULT of gam.cfg, keeping everything else GAM put there.
int Configure_Gam(const std::string& cfg, const char* admin, const std::string& domain, const std::string& customer) {
    _T_STR_SECT_NODE_* raw = nullptr;
    if (int rc = Get_Conf_File_Section(cfg.c_str(), "DEFAULT", &raw); rc != 0) {
        Release_Sect_List(raw);
        return rc;
    }
    Sect_List_Ptr sect(raw ? raw : Create_Sect_Node("DEFAULT"));
    if (!sect) return -12;
    for (auto [key, value] : {std::pair{"admin_email", admin}, std::pair{"domain", domain.c_str()},
                              std::pair{"customer_id", customer.c_str()}})
        if (int rc = Set_Pair_String_Value(sect.get(), key, value); rc < 0) return rc;
    if (int rc = Set_Pair_Boolean_Value(sect.get(), "enable_dasa", 1); rc < 0) return rc;
    Set_Pair_Format(0);
    return Set_Conf_File_Section(cfg.c_str(), "DEFAULT", sect.get());
}

// GAM's copy of the plain key: 0600 whatever the source's mode, never written through a link.
int Copy_Key_Private(const std::string& key, const std::string& dst) {
    int fd = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -161;
    int rc = fchmod(fd, 0600) == 0 && Copy_File_To_Fd(key.c_str(), fd) == 0 ? 0 : -161;
    if (close(fd) != 0) rc = -161;
    return rc;
}

constexpr char kUploadedTail[] = "_up";
constexpr char kDecryptedTail[] = "_de";

bool Ends_With(const std::string& s, const char* tail) {
    const size_t n = strlen(tail);
    return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

// The pid of "<auth>_<pid>"; 0 for any other text.
pid_t Auth_And_Pid_Owner(const std::string& text) {
    const size_t at = text.rfind('_');
    if (at == std::string::npos || !qlm::Is_Id_Form(text.substr(0, at).c_str())) return 0;
    const std::string digits = text.substr(at + 1);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return static_cast<pid_t>(std::stol(digits));
}

// The process that holds a plain key file of the key store: "<auth>_<pid>_up" (an upload being
// checked) or "<auth>_<pid>_<id>_de" (a decrypted key); 0 for any other name.
pid_t Plain_Key_Owner(const std::string& name) {
    if (Ends_With(name, kUploadedTail)) return Auth_And_Pid_Owner(name.substr(0, name.size() - strlen(kUploadedTail)));
    if (!Ends_With(name, kDecryptedTail)) return 0;
    const std::string rest = name.substr(0, name.size() - strlen(kDecryptedTail));
    const size_t idAt = rest.rfind('_');
    if (idAt == std::string::npos || !qlm::Is_Id_Form(rest.substr(idAt + 1).c_str())) return 0;
    return Auth_And_Pid_Owner(rest.substr(0, idAt));
}

// The process of a per-process GAM folder "<gam>.<pid>" (the folder itself, Gam_Dir(), is no
// process's); 0 for any other name.
pid_t Gam_Dir_Owner(const std::string& prefix, const std::string& name) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return 0;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return static_cast<pid_t>(std::stol(digits));
}

using Decrypt_Fn = int (*)(std::string&, const char*);

int Set_Up_Gam(Decrypt_Fn decrypt, const char* pszAuthID, const char* pszAdminEmail) {
    if (pszAdminEmail == nullptr || strpbrk(pszAdminEmail, "\r\n") != nullptr) return -161;
    std::string key;
    if (int rc = decrypt(key, pszAuthID); rc != 0) return rc;
    UnlinkGuard keyGuard = Guard_File(key);

    std::string tmpDir = qlm::Tmp_Dir();
    smbbackup::Create_Path(tmpDir.c_str(), 0700);
    // The listing names every user of the domain: a private file, its name unique to this call.
    std::string result = qlm::Worker_Listing_Path();
    UnlinkGuard resultGuard = Guard_File(result);
    if (qlm::Run_Scoutix("-info", key, pszAdminEmail, result) != 0) return -161;

    using qlm::ShellQuote;
    int status = -1;
    int rc = 0;
    std::string domain, customer;
    if (Read_Key_Domain(result, domain, customer) != 0) return -161;

    // From here on a failure removes the folder: no half-built configuration or key copy stays.
    std::string dir = qlm::Gam_Process_Dir();
    DirGuard gamGuard = Guard_Dir(dir);
    if (Is_Folder(dir.c_str()) == 1) {
        if (int removed = Remove_Folder_Tree(dir.c_str(), 0, nullptr); removed != 0) return removed;
    }
    std::string gam = ShellQuote(qlm::Tool_Path("gam"));
    for (int i = 0; i < 2; ++i) {
        rc = Execute_Tool_Line(status, "%s >%s 2>%s", gam.c_str(), "/dev/null", "/dev/null");
        if (Run_Ok(rc, status) != 0) return -161;
    }
    if (Is_Folder(dir.c_str()) != 1 || chmod(dir.c_str(), 0700) != 0) return -161;
    if (int set = Configure_Gam(dir + "/gam.cfg", pszAdminEmail, domain, customer); set != 0) return set;
    if (Copy_Key_Private(key, dir + "/oauth2service.json") != 0) return -161;
    Disarm(gamGuard);
    return 0;
}

}  // namespace

void Remove_Stale_Plain_Keys() {
    const std::string tmpDir = qlm::Db_Tmp_Dir();
    qlm::Remove_Files_Of_Gone_Processes(tmpDir, Plain_Key_Owner);
    // An upload named by its auth id alone was written by an earlier build, whose auth left it
    // when it was killed; no auth of this build names one so.
    std::vector<std::string> names;
    GetFolderList(names, tmpDir.c_str());
    for (const std::string& name : names)
        if (qlm::Is_Id_Form(name.c_str())) unlink((tmpDir + "/" + name).c_str());
    // GAM folders hold a plain copy of the key; a worker ended by SIGTERM leaves through _exit,
    // past the guard that removes its folder.
    const std::string base = qlm::Gam_Dir();
    const size_t slash = base.rfind('/');
    const std::string parent = slash == 0 ? "/" : base.substr(0, slash), prefix = base.substr(slash + 1) + ".";
    qlm::Remove_Files_Of_Gone_Processes(
        parent, [&prefix](const std::string& name) { return Gam_Dir_Owner(prefix, name); },
        [](const std::string& path) { Remove_Folder_Tree(path.c_str(), 0, nullptr); });
}

namespace qlm {

std::string Uploaded_Key_Path(const std::string& strAuthID) {
    return Db_Tmp_Dir() + "/" + strAuthID + "_" + std::to_string(getpid()) + kUploadedTail;
}
std::string User_List_Path(const std::string& strAuthID) { return Db_Tmp_Dir() + "/" + strAuthID + "_userlist"; }
std::string Pending_Key_Path(const std::string& strAuthID) { return Db_Tmp_Dir() + "/" + strAuthID + "_en"; }
std::string Stored_Key_Path(const std::string& strAuthID) { return Sa_Dir() + "/" + strAuthID; }

int Store_Pending_Service_Account_Key(const char* pszPlainKey, const char* pszAuthID) {
    if (pszPlainKey == nullptr || !Is_Id_Form(pszAuthID)) return -22;
    RAIIful_Char_Pointer token;
    if (int rc = Encrypt_Str(pszPlainKey, token.out(), kKeyPassphrase); rc != 0) return rc < 0 ? rc : -5;
    smbbackup::Create_Path(Db_Tmp_Dir().c_str(), 0700);
    return Write_File_Atomic(Pending_Key_Path(pszAuthID), token.get(), 0600);
}

std::string Gam_Process_Dir() {
    std::string dir = Gam_Dir() + "." + std::to_string(getpid());
    setenv("GAMCFGDIR", dir.c_str(), 1);
    return dir;
}

std::string Gam_Process_Key_Path() { return Gam_Process_Dir() + "/oauth2service.json"; }

}  // namespace qlm

int Get_Encrypt_Service_Account_Key(std::string& strKeyPath, const char* pszAuthID) {
    if (!qlm::Is_Id_Form(pszAuthID)) return -22;
    return Decrypt_Key_File(strKeyPath, qlm::Stored_Key_Path(pszAuthID), pszAuthID);
}

int TMP_Get_Encrypt_Service_Account_Key(std::string& strKeyPath, const char* pszAuthID) {
    if (!qlm::Is_Id_Form(pszAuthID)) return -22;
    return Decrypt_Key_File(strKeyPath, qlm::Pending_Key_Path(pszAuthID), pszAuthID);
}

int Initial_GAM_Conf(const char* pszAuthID, const char* pszAdminEmail) {
    return Set_Up_Gam(Get_Encrypt_Service_Account_Key, pszAuthID, pszAdminEmail);
}

int TMP_Initial_GAM_Conf(const char* pszAuthID, const char* pszAdminEmail) {
    return Set_Up_Gam(TMP_Get_Encrypt_Service_Account_Key, pszAuthID, pszAdminEmail);
}
