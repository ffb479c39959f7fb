// Counting the messages of Gmail mailboxes with GAM: the count workers the backup's ordering and
// the counting job share, and the reading of a count listing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qlm::gmailbk {

inline constexpr int kMaxCountWorkers = 4;

// "gam user U print messages includespamtrash countsonly", without its redirections.
std::string Gmail_Count_Line(const std::string& user);

// The work folder of one counting: "<tmp>/qlm_<auth>_<id>/Gmail_count/".
std::string Count_Work_Folder(const std::string& authID, const std::string& id);
// Its parent "<tmp>/qlm_<auth>_<id>", which a counting removes when it is done with it.
std::string Count_Work_Root(const std::string& authID, const std::string& id);
// The id of a backup's own counting, "<new id>_<pid>": a backup killed while it counts cannot remove
// its folder, and the pid lets Remove_Stale_Backup_Counts tell it from a live one's.
std::string Backup_Count_ID();
// Removes the counting folders of backups whose process is gone (never a count job's).
void Remove_Stale_Backup_Counts();

// Counts every user's mailbox in a child process of its own, at most kMaxCountWorkers at once, in
// list order; standard output goes to <workDir><user>.out, standard error to <workDir><user>.err.
// A user whose name cannot name a file, or whose fork fails, counts as done without a worker.
// beforeStart runs before each round of starts and waits (the job's stop check); may be empty.
// Returns when every worker has ended or a wait fails.
void Run_Count_Workers(const std::vector<std::string>& users, const std::string& workDir,
                       const std::function<void()>& beforeStart);

// The first data row of a count listing: the user (column "User", else "user", else the first)
// and the count (column "messages", else "Messages", else the second). false when the file is
// missing, no whole listing (csvx::Document::LoadListing), without a data row, or the count is no
// decimal number.
bool Read_Count_Row(const std::string& path, std::string& user, int64_t& count);

}  // namespace qlm::gmailbk
