// The resume state of one restore: the restore folder's name kept in the running record, and the
// id map of what earlier attempts finished, kept in a journal beside the record.
//
// Journal: one line "<key>\t<value>\n" per finished item, appended and written out as the item is
// done, so an item costs one short write however long the restore. Every attempt reads it back at
// its start: lines without a TAB, and a last line cut short by a crash, are passed over; a later
// line replaces an earlier one of the same key. The journal goes away with the running record.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "mission/mission_record.h"

namespace qlm {

struct RestoreState {
    std::string strJournalPath;
    std::unordered_map<std::string, std::string> mapResume;
    int fdJournal = -1;
    MissionProgress progress;
    RestoreState() = default;
    RestoreState(const RestoreState&) = delete;
    RestoreState& operator=(const RestoreState&) = delete;
    ~RestoreState();
};

// Reads the journal and starts the service's counters (pszCurrentKey and "backup_current") from
// the running record; a service counter below the map's size is raised to it, and backup_current
// with it, written at once. 0; -12 when the journal cannot be opened for appending.
int Restore_State_Begin(RestoreState& st, const std::string& strMissionPath, const char* pszCurrentKey);

bool Restore_State_Has(const RestoreState& st, const std::string& key);
// The value, or "" when the key is absent.
std::string Restore_State_Get(const RestoreState& st, const std::string& key);
// Appends the entry, then takes it into the map. 0; -22 for a key or value holding a TAB or line
// break in the key, or a line break in the value; -12 when the line cannot be written.
int Restore_State_Put(RestoreState& st, const std::string& key, const std::string& value);
// One more item done: the counters grow; the record is written at most about once a second, and
// while a command runs once they have waited a second (the state watches its progress).
void Restore_State_Count(RestoreState& st);
// Writes the counters now (the end of every attempt).
void Restore_State_Flush(RestoreState& st);

// The restore folder's name from the record's stamp key, made from the local time now
// ("Quillmere_Restore_YYYYMMDD_HHMMSS") and stored in the record when absent or empty.
std::string Restore_Stamp(const std::string& strMissionPath, const char* pszStampKey);

// Reads a journal into a map by the rules above.
void Read_Restore_Journal(const std::string& path, std::unordered_map<std::string, std::string>& out);

}  // namespace qlm
