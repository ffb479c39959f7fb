// GAM's exit statuses that the system tells apart, and the one rule for a GAM listing run's status.
// Every reader of a GAM listing ("print filelist", "print filetree", "print events", contacts, ...)
// goes through it before it checks the output itself (csvx::Document::LoadListing).
#pragma once

namespace qlm {

// The action could not be done on that item and never will (a Drawing or an Apps Script project
// has no export): trying again does not help.
inline constexpr int kGamNotPerformedStatus = 51;
// "No entities found": a listing without rows. GAM still prints its header line (a message count
// prints its row with 0).
inline constexpr int kGamNoEntitiesStatus = 60;

// True when a GAM listing run ended with a listing to read: the run result is 0 or more and GAM
// exited 0 or kGamNoEntitiesStatus. Every other status is a failed listing. Whether the output is a
// whole listing (its header line included: GAM never prints a listing without one) is the
// output's own check.
bool Gam_Listing_Ended(int iRunResult, int iExitStatus);

}  // namespace qlm
