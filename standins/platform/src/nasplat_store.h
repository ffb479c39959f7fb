// The NAS side's own files (users, sessions, shares): small text files under the platform root,
// read whole and written whole. Private to the platform library.
#pragma once

#include "plat_fd.h"

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace nasplat {

// Plat_Root_Path("/etc/nasplat/" + name).
std::string Store_Path(const std::string& name);

// Reads a regular file of at most limit bytes. 0, -2 when missing, -27 when larger, else -errno.
int Read_Text_File(const std::string& path, std::string& out, size_t limit = 1 << 20);

// Writes a temporary file beside path with the given mode, then renames it over path, so a reader
// sees the old content or the new, never a part. Creates the folder when missing. 0 or -errno.
int Write_File_Atomic(const std::string& path, const std::string& content, mode_t mode);

// Serialises read-modify-write cycles of one store file: an flock on "<path>.lck" held for the
// scope (released by closing). ok() tells whether it was taken.
class Store_Lock {
public:
    explicit Store_Lock(const std::string& path);
    bool ok() const { return static_cast<bool>(m_fd); }
    int error() const { return m_err; }

private:
    plat::Fd m_fd;
    int m_err = 0;
};

// The lines of a text, without their line ends; a last line without one counts.
std::vector<std::string_view> Split_Lines(std::string_view text);

// Pieces of text between sep; "" gives one empty piece.
std::vector<std::string_view> Split(std::string_view text, char sep);

// 1 to 128 of [A-Za-z0-9._-], not starting with "-": user names and app ids.
bool Is_Plain_Name(std::string_view name);

// "*" (every app) or a comma list of app ids; an empty list (no app) only when allowEmpty.
bool Is_App_List(std::string_view apps, bool allowEmpty);

// A decimal integer with an optional sign, digits to the end, within [lo, hi].
bool Parse_Int64(std::string_view text, long long lo, long long hi, long long& out);

}  // namespace nasplat
