#include "backup/run_backup.h"

#include <cstdio>

// The backup engine is not part of this build yet: say so where an operator can see it.
void Run_Backup(const char* pszMissionID, const char* pszTaskID, int, int, int, int, int, const char*) {
    fprintf(stderr, "orvenna.cgi: backup engine not available (mission %s, task %s)\n",
            pszMissionID ? pszMissionID : "-", pszTaskID ? pszTaskID : "-");
}
