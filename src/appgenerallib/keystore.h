// The service-account key store and GAM's configuration.
//
// Files under database/gws (folders 0700):
//   tmp/<auth>_<pid>_up   the uploaded plain key, only while its auth checks it
//   tmp/<auth>_userlist   the upload's `scoutix -info` output, until a task is created with the key
//   tmp/<auth>_en         the encrypted key, when all four checks passed, until a task takes it
//   sa/<auth>             the same token, renamed there when a task takes the key
//   tmp/<auth>_<pid>_<id>_de   a decrypted key: mode 0600, a name no other process or call uses,
//                              removed by whoever asked for it (the GAM set-up removes its own)
// The token is Encrypt_Str over the key's compact JSON (with us_scopes) under one built-in
// passphrase; it holds no white space and is read back as the first word of its file.
//
// GAM's configuration folder is one per process, a sibling of Gam_Dir() named after the pid,
// exported to every gam through GAMCFGDIR; so tasks of different domains running at once never
// see each other's configuration, and the plain key copy in it goes with the process's guard.
// Gam_Dir() itself is no process's folder. The pid in the names of the plain files and folders
// lets any later request tell those of a killed process (Remove_Stale_Plain_Keys).
#pragma once

#include <string>

#include "common/guards.h"

namespace qlm {

// The key-store paths of an auth id (the caller checks the id form first).
std::string Uploaded_Key_Path(const std::string& strAuthID);  // tmp/<auth>_<pid>_up, this process's
std::string User_List_Path(const std::string& strAuthID);     // tmp/<auth>_userlist
std::string Pending_Key_Path(const std::string& strAuthID);   // tmp/<auth>_en
std::string Stored_Key_Path(const std::string& strAuthID);    // sa/<auth>

// Encrypts the plain key text under the built-in passphrase and makes the token the whole
// content of tmp/<auth>_en (mode 0600, written whole). 0; -22 for NULL texts or an auth id not
// of the id form; Encrypt_Str's negative result; -errno when the file cannot be written.
int Store_Pending_Service_Account_Key(const char* pszPlainKey, const char* pszAuthID);

// This process's GAM configuration folder (Gam_Dir() + "." + pid); also sets GAMCFGDIR to it,
// so every gam this process runs from now on reads it.
std::string Gam_Process_Dir();
// The plain key copy inside it, the key file the listings hand to scoutix.
std::string Gam_Process_Key_Path();
// Removes this process's GAM folder when the scope ends (Disarm it in a parent after fork).
inline DirGuard Guard_Gam_Process_Dir() { return Guard_Dir(Gam_Process_Dir()); }

}  // namespace qlm

// Decrypts sa/<auth> into a fresh 0600 file and sets strKeyPath to it; the caller removes it.
// 0; the negative result of Decrypt_Str (a missing or empty key file decrypts an empty token);
// -22 for an auth id that is NULL or not of the id form; -161 when the file cannot be written.
// strKeyPath is untouched on failure, and no file is left.
int Get_Encrypt_Service_Account_Key(std::string& strKeyPath, const char* pszAuthID);
// Removes the plain keys of processes that are gone (uploaded keys, decrypted keys, per-process
// GAM folders): a process killed (SIGKILL, a power cut) while it held one never reached its guard.
// Never those of this process or of a live one. Every decryption calls it first, and so do every
// worker when it starts and every auth: whatever request next handles a key.
void Remove_Stale_Plain_Keys();
// The same from tmp/<auth>_en: a key uploaded but not yet held by a task.
int TMP_Get_Encrypt_Service_Account_Key(std::string& strKeyPath, const char* pszAuthID);

// Builds this process's GAM folder for the key's domain: decrypt, `scoutix -info` (which must give
// a non-empty domain_list[0] and a customer_id; else -161 before the folder is touched), remove
// the old folder, run gam bare twice, set admin_email, domain, customer_id and enable_dasa in
// section DEFAULT of gam.cfg, and copy the key to oauth2service.json (0600).
// 0; the decryption's result; -161 when a command or file step fails; the platform call's own
// result (folder removal, section read or write, pair set). The decrypted file and the result
// file are removed on every way out, and on failure the GAM folder too (no plain key stays).
// On success the caller holds the folder (Guard_Gam_Process_Dir) and runs gam.
int Initial_GAM_Conf(const char* pszAuthID, const char* pszAdminEmail);
// The same through TMP_Get_Encrypt_Service_Account_Key.
int TMP_Initial_GAM_Conf(const char* pszAuthID, const char* pszAdminEmail);
