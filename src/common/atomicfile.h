// Files written whole (mission records, task caches and other files of listed folders): a reader
// sees the old content or the new one, never half a file, and no temporary file ever shows in the
// target's folder.
#pragma once

#include <string>
#include <sys/types.h>

struct json_object;

namespace qlm {

// Makes data the whole content of path, with the given mode. The data goes into a fresh temporary
// file in Db_Tmp_Dir() (created when missing), is flushed to disk and renamed over path; when the
// target lies on another file system, the temporary file is a dot-named one in the target's
// folder instead. 0, or -errno; on failure path is untouched and no temporary file is left.
int Write_File_Atomic(const std::string& path, const std::string& data, mode_t mode = 0600);

// Write_File_Atomic for a file that must exist: the content is put there only while path exists,
// so a file removed meanwhile (a record deleted while being patched) is never made again.
// -ENOENT (nothing written, no temporary file left) when path is gone.
int Replace_File_Atomic(const std::string& path, const std::string& data, mode_t mode = 0600);

// Writes obj in json-c's plain form through Write_File_Atomic. -22 for a NULL obj.
int Json_Write_File(const std::string& path, json_object* obj);
// The same through Replace_File_Atomic: only while path exists (-ENOENT when it is gone).
int Json_Replace_File(const std::string& path, json_object* obj);

// The temporary files in Db_Tmp_Dir() are named "w.<pid>.XXXXXX" after the writing process. A
// process killed between making one and renaming it leaves it behind: this removes those of every
// process that no longer exists (never this process's, never a live one's). Every worker calls it
// when it starts.
void Remove_Stale_Temp_Files();

// Reads a file that must hold one JSON object (a record, a tool's result); nullptr when it is
// missing, not JSON, or JSON of another kind. The caller owns the object.
json_object* Json_Read_Object_File(const std::string& path);

}  // namespace qlm
