// The system's fixed paths. Every one is written here once and reached through these accessors,
// so a whole NAS can live inside one folder: when QLM_ROOT names an absolute, existing folder
// other than "/", every fixed path is prefixed with it; otherwise the paths are the constants.
#pragma once

#include <string>
#include <string_view>

namespace qlm {

// The constants as they stand on the NAS.
inline constexpr const char* kAppDir = "/usr/local/Kivora/quillmere";
inline constexpr const char* kBinDir = "/usr/local/Kivora/quillmere/bin";
inline constexpr const char* kWebmanDir = "/usr/local/Kivora/quillmere/webman";
inline constexpr const char* kCgiPath = "/usr/local/Kivora/quillmere/webman/orvenna.cgi";
inline constexpr const char* kDaemonPath = "/usr/local/Kivora/quillmere/bin/qlm_deamon";
inline constexpr const char* kZoneinfoDir = "/usr/local/Kivora/quillmere/etc/zoneinfo";
inline constexpr const char* kDbDir = "/usr/local/Kivora/quillmere/database/gws";
inline constexpr const char* kConfDir = "/usr/local/Kivora/quillmere/database/gws/conf";
inline constexpr const char* kMissionDir = "/usr/local/Kivora/quillmere/database/gws/conf/mission";
inline constexpr const char* kHistoryMissionDir = "/usr/local/Kivora/quillmere/database/gws/conf/mission/history_mission";
inline constexpr const char* kSchedulingMissionDir = "/usr/local/Kivora/quillmere/database/gws/conf/mission/scheduling_mission";
inline constexpr const char* kProgressMissionDir = "/usr/local/Kivora/quillmere/database/gws/conf/mission/progress_mission";
inline constexpr const char* kBackupDir = "/usr/local/Kivora/quillmere/database/gws/backup";
inline constexpr const char* kDbTmpDir = "/usr/local/Kivora/quillmere/database/gws/tmp";
inline constexpr const char* kSaDir = "/usr/local/Kivora/quillmere/database/gws/sa";
inline constexpr const char* kLogDbPath = "/usr/local/Kivora/quillmere/database/gws/quillmere_log_datebase.db";
inline constexpr const char* kSqlLockPath = "/usr/local/Kivora/quillmere/database/gws/sqldb.lck";
inline constexpr const char* kDaemonLockPath = "/usr/local/Kivora/quillmere/database/gws/qlm_deamon.lck";
inline constexpr const char* kTmpDir = "/usr/local/tmp";
inline constexpr const char* kGamDir = "/root/.gam";

// QLM_ROOT when it is usable, else the empty text. Re-read when the variable changes.
std::string Root();
// True when the system runs under a test root; test-only knobs are honoured only then.
bool Under_Test_Root();
// The one function every fixed path goes through: the root followed by the constant.
std::string Fixed_Path(std::string_view constant);

inline std::string App_Dir() { return Fixed_Path(kAppDir); }
inline std::string Bin_Dir() { return Fixed_Path(kBinDir); }
inline std::string Cgi_Path() { return Fixed_Path(kCgiPath); }
inline std::string Daemon_Path() { return Fixed_Path(kDaemonPath); }
inline std::string Zoneinfo_Dir() { return Fixed_Path(kZoneinfoDir); }
inline std::string Db_Dir() { return Fixed_Path(kDbDir); }
inline std::string Conf_Dir() { return Fixed_Path(kConfDir); }
inline std::string Mission_Dir() { return Fixed_Path(kMissionDir); }
inline std::string History_Mission_Dir() { return Fixed_Path(kHistoryMissionDir); }
inline std::string Scheduling_Mission_Dir() { return Fixed_Path(kSchedulingMissionDir); }
inline std::string Progress_Mission_Dir() { return Fixed_Path(kProgressMissionDir); }
inline std::string Backup_Dir() { return Fixed_Path(kBackupDir); }
inline std::string Db_Tmp_Dir() { return Fixed_Path(kDbTmpDir); }
inline std::string Sa_Dir() { return Fixed_Path(kSaDir); }
inline std::string Log_Db_Path() { return Fixed_Path(kLogDbPath); }
inline std::string Sql_Lock_Path() { return Fixed_Path(kSqlLockPath); }
// Held by the one running scheduler daemon for its whole life.
inline std::string Daemon_Lock_Path() { return Fixed_Path(kDaemonLockPath); }
inline std::string Tmp_Dir() { return Fixed_Path(kTmpDir); }
inline std::string Gam_Dir() { return Fixed_Path(kGamDir); }
// A tool of the app's bin folder: gam, scoutix, lettrix, tallyx, emlsift.
inline std::string Tool_Path(std::string_view tool) { return Bin_Dir() + "/" + std::string(tool); }
// A service folder of the backup store ("drive", "gmail_db", ...).
inline std::string Backup_Service_Dir(std::string_view service) { return Backup_Dir() + "/" + std::string(service); }

}  // namespace qlm
