// The domain's users and shared drives as the web page needs them: live from scoutix while a task
// is set up or its users are picked, and through a per-task cache of a day for what a task covers.
//
// Cache folder backup/domain_user_and_shared_dirve_db/<task id>/ (0700, the name spelled so):
//   domain_user    the `scoutix -info` object plus "validity" (seconds since 1970 of the listing)
//   shared_drive   the `scoutix -shared` object plus "validity"
// Both are valid together while each validity is at most a day in the past (never in the future).
#pragma once

#include <ctime>

class GWSTask;
class O_APP_CGI_AGENT;
struct json_object;

namespace qlm {

inline constexpr time_t kListingCacheSeconds = 86400;

// task_id, or auth_id with admin_email (a key just uploaded).
// Reply: success, domain_user_list, shared_drive_list, as listed.
int Get_Online_Domain_User_And_Shared_Drive(O_APP_CGI_AGENT* agent);
// task_id. Reply: success, user_list (left out when the listing has none).
int Get_Domain_User(O_APP_CGI_AGENT* agent);
// task_id. Reply: success, domain_user_list, shared_drive_list narrowed to what the task backs up.
int Get_User_And_Shared_Drive(O_APP_CGI_AGENT* agent);

// The users of the listing (a `scoutix -info` object) that the task backs up, as a new list:
// the whole user_list with auto-add on, the picked ids' entries in the order picked with it off,
// none when Drive, Contacts, Calendar and Gmail are all off.
json_object* Select_Task_Users(const GWSTask& task, json_object* pUserListing);
// The shared drives of the listing (a `scoutix -shared` object) that the task backs up, as a new
// list of mapping rows; pMappingRows NULL means the task's mapping could not be read, and the
// listed drives stand in for their rows (their "id" renamed "shared_drive_id").
json_object* Select_Task_Shared_Drives(const GWSTask& task, json_object* pDriveListing, json_object* pMappingRows);

// True when the cached object's validity is set and lies within the last kListingCacheSeconds.
bool Listing_Cache_Fresh(json_object* pCached, time_t tNow);

}  // namespace qlm
