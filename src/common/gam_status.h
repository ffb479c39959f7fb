// GAM's exit statuses that the system tells apart, and the one rule for reading a GAM listing.
// Every reader of a listing ("print filelist", "print filetree", "print events", "print messages
// ... countsonly", contacts) decides through Gam_Listing_Readable whether there is a listing.
#pragma once

#include <string>

namespace qlm {

// The action could not be done on that item and never will (a Drawing or an Apps Script project
// has no export): trying again does not help.
inline constexpr int kGamNotPerformedStatus = 51;
// "No entities found": a listing without rows. GAM still prints its header line (a message count
// prints its row with 0).
inline constexpr int kGamNoEntitiesStatus = 60;

// True when a GAM listing run gave a listing to read: the run result is 0 or more, GAM exited 0 or
// kGamNoEntitiesStatus, and the output file starts with a header line (GAM never prints a listing
// without one, so an output without it is a broken answer, not an empty listing). Every other
// status is a failed listing.
bool Gam_Listing_Readable(int iRunResult, int iExitStatus, const std::string& strOutPath);

}  // namespace qlm
