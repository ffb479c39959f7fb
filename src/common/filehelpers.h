// Folder listings, sizes, non-overwriting copies, mail-domain and text helpers, and the default
// name of a new mission. No state is kept.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/guards.h"

// Appends every entry name but "." and ".." in directory order. 0, also when the folder cannot
// be opened.
int GetFolderList(std::vector<std::string>& vFolderList, const char* Path);
// Appends every entry name but "." and ".."; names ending in ".db" only when bIncloudDBFile.
// 0, or -161 when the folder cannot be opened (nothing appended then).
int Get_Folder_Name_List(std::vector<std::string>& vResult, const char* pszTarget, bool bIncloudDBFile);
// Appends path + name (so path ends in "/") of every entry that is, or links to, a regular file.
void listFiles(const std::string& path, std::vector<std::string>& files);
// Bytes of the regular files below the folder at any depth; links are never followed. 0 for a
// folder that cannot be opened.
int64_t get_folder_size(const std::string& folder_path);

// The accounts backed up by a task: the account folders of its Gmail or Drive store, or the names
// "<account>.db" of its Calendar or Contacts catalogs (callers cut the last three characters).
// Lock files, journals and links are never taken for accounts.
// 0; -22 when the task id is not one path component; -161 when the folder cannot be opened.
int List_Gmail_Backuped_User(const char* pszTaskID, std::vector<std::string>& vResult);
int List_Drive_Backuped_User(const char* pszTaskID, std::vector<std::string>& vResult);
int List_Calendar_Backuped_User(const char* pszTaskID, std::vector<std::string>& vResult);
int List_Contact_Backuped_User(const char* pszTaskID, std::vector<std::string>& vResult);

// Copies src to dst, or to the first free "stem(n).ext" (n = 1..99999) when dst exists; nothing
// when src and dst are the same file. The target is created exclusively and never through a
// link, so nothing existing is ever written, even by a racing writer or a planted symlink. A
// failed copy leaves no target behind.
void SafeCopyFile(const std::string& src, const std::string& dst);

// For a folder that is thrown away after use: the source must be a regular file reached through
// no link; the target (dst, or its first free "stem(n).ext" as for SafeCopyFile) shares the file
// by a hard link where the file system allows, else is an exclusive copy. The name made; empty
// when nothing was made.
std::string Link_Or_Copy_Free(const std::string& src, const std::string& dst);
// The same with the target name in the folder dirFd, which no path needs to reach (a tree may
// be deeper than the longest path): the name made, or empty.
std::string Link_Or_Copy_Free_At(const std::string& src, int dirFd, const std::string& name);

// The folder name in dirFd, made (mode 0700) or, when a real folder of that name is there, joined:
// two Drive folders of one name merge as they would in any folder tree. Anything else of that name
// (a file, a link, dangling or not) is never entered: the folder becomes "<name>(n)" for the
// first n that is free or a folder. The name made; empty when none can be made.
std::string Make_Or_Join_Folder_At(int dirFd, const std::string& name);

// A folder below a root folder's descriptor, reached one component at a time without following
// a link, so no path length limits how deep it may be. The last one opened is kept for the next
// call: a tree is mostly written one folder after another.
struct Folder_Below {
    std::string rel;  // the folder kept open, relative to the root
    FdGuard fd;
    // The folder rel ("" for the root itself, which stays the caller's) below rootFd; -1 when it
    // cannot be opened.
    int Open(int rootFd, const std::string& rel);
};

// True when both addresses have an "@" and the texts after the first "@" are equal but for the
// case of ASCII letters and one trailing dot: the one test of "the same domain".
bool IsSameDomain(std::string email1, std::string email2);

// s without leading and trailing blanks, tabs, CRs and LFs.
std::string trim(const std::string& s);

// The base64 body of the first MIME part of the mail file that names targetFilename in a
// filename="..." (or name="...") header and has base64 transfer encoding; empty when none.
std::string extractFirstBase64ByFilename(const std::string& filepath, const std::string& targetFilename);

// Name -> base64 body, shared by the names of one part.
using Base64_Parts = std::map<std::string, std::shared_ptr<const std::string>>;

// extractFirstBase64ByFilename for every name at once, the file read once: the bodies found
// (names without one are absent). Each body is held once, so the result is never larger than
// the file, however many names a part carries.
Base64_Parts Base64_Parts_By_Filename(const std::string& filepath, const std::set<std::string>& targetFilenames);

// "Task<yyyymmdd>-<n>" for today's local date and the smallest n from 1 that no scheduled or
// running mission has as its name. History records do not count.
std::string Get_New_Mission_Name();
