// The Shared Drive service of a backup run and its pre-count (declared with the other services in
// backup_service.h).
//
// Store: BK/shared_drive/<task>/<uuid>/<local id>, flat; catalog shared_drive_db/<task>/<uuid>.db;
// the task's uuid mapping in shared_drive_map_db. A drive keeps its uuid for as long as the task
// lives: the mapping keeps the rows of drives this run does not back up, and a new uuid is saved
// before anything is stored under it.
// Locks: BK/shared_drive/<task>.shared_drive_lck and BK/shared_drive/<task>/<Google id>.shared_drive_lck,
// both taken without waiting.
#pragma once

#include "backup/backup_service.h"
