#include "restore/restore_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "common/atomicfile.h"
#include "common/clock.h"
#include "plat_json.h"

namespace qlm {

RestoreState::~RestoreState() {
    Mission_Progress_Watch(nullptr);
    if (fdJournal >= 0) close(fdJournal);
}

void Read_Restore_Journal(const std::string& path, std::unordered_map<std::string, std::string>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) break;  // no line end: a write cut short
        size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        out[line.substr(0, tab)] = line.substr(tab + 1);
    }
}

int Restore_State_Begin(RestoreState& st, const std::string& strMissionPath, const char* pszCurrentKey) {
    st.strJournalPath = Restore_Journal_Path(strMissionPath);
    st.mapResume.clear();
    Read_Restore_Journal(st.strJournalPath, st.mapResume);
    if (st.fdJournal >= 0) close(st.fdJournal);
    st.fdJournal = open(st.strJournalPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (st.fdJournal < 0) return -12;
    Mission_Progress_Begin(st.progress, strMissionPath, pszCurrentKey);
    Mission_Progress_Watch(&st.progress);  // counters of items done reach the record while a command runs
    const int64_t n = static_cast<int64_t>(st.mapResume.size());
    if (st.progress.nServiceCurrent < n) {
        Mission_Progress_Add(st.progress, n - st.progress.nServiceCurrent);
        Mission_Progress_Flush(st.progress);
    }
    return 0;
}

bool Restore_State_Has(const RestoreState& st, const std::string& key) { return st.mapResume.count(key) != 0; }

std::string Restore_State_Get(const RestoreState& st, const std::string& key) {
    auto it = st.mapResume.find(key);
    return it == st.mapResume.end() ? std::string() : it->second;
}

int Restore_State_Put(RestoreState& st, const std::string& key, const std::string& value) {
    if (key.find_first_of("\t\r\n") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
        return -22;
    if (st.fdJournal < 0) return -12;
    const std::string line = key + "\t" + value + "\n";
    size_t done = 0;
    while (done < line.size()) {
        ssize_t w = write(st.fdJournal, line.data() + done, line.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -12;
        done += static_cast<size_t>(w);
    }
    st.mapResume[key] = value;
    return 0;
}

void Restore_State_Count(RestoreState& st) { Mission_Progress_Add(st.progress); }

void Restore_State_Flush(RestoreState& st) {
    if (!st.progress.strPath.empty()) Mission_Progress_Flush(st.progress);
}

std::string Restore_Stamp(const std::string& strMissionPath, const char* pszStampKey) {
    RAIIful_Json record(Json_Read_Object_File(strMissionPath));
    const char* stamp = nullptr;
    if (record && Json_Dict_Find_Str(record.get(), pszStampKey, stamp) == 0 && stamp[0] != '\0') return stamp;
    time_t now = Now();
    struct tm tmNow {};
    localtime_r(&now, &tmNow);
    char name[64];
    snprintf(name, sizeof name, "Quillmere_Restore_%d%02d%02d_%02d%02d%02d", tmNow.tm_year + 1900, tmNow.tm_mon + 1,
             tmNow.tm_mday, tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec);
    if (record) {
        Json_Dict_Add_Str(record.get(), pszStampKey, name);
        Replace_File_Atomic(strMissionPath, Json_To_Plain_String(record.get()));
    }
    return name;
}

}  // namespace qlm
