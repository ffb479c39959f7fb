// The Drive service of a backup run and its pre-count (Backup_Drive and Count_Drive are declared
// with the other services in backup_service.h).
//
// Store: BK/drive/<task>/<account>/<local id>, flat; catalog drive_db/<task>/<account>.db.
// Locks: BK/drive/<task>.drive_lck (one Drive backup or restore per task) and
// BK/drive/<task>/<account>.drive_lck (one writer per account).
#pragma once

#include <string>

#include "backup/backup_service.h"

// True for the Google types that are catalogued but never downloaded (shortcuts, forms, sites,
// maps, fusion tables, jams, drive-sdk), compared exactly.
bool Is_NonDownloadable_Drive_MimeType(const std::string& strMime);
