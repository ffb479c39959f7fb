// One backup run of one task in the calling process (the backup mode and scheduled runs).
#pragma once

// pszMissionID may be nullptr for a fresh mission id; the switches are 1 for on.
void Run_Backup(const char* pszMissionID, const char* pszTaskID, int nDrive, int nSharedDrive, int nCalendar,
                int nGmail, int nContact, const char* pszLoginUser);
