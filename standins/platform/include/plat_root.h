// Where the stand-in platform keeps its own files (sessions, users, shares, named locks).
// Like the system, it lives under QLM_ROOT when that names an absolute, existing folder other than "/".
#pragma once

#include <string>

// The root followed by a fixed platform path such as "/etc/nasplat/passwd".
std::string Plat_Root_Path(const char* fixed);
