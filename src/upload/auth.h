// Service-account onboarding: the action `auth` stores an uploaded key under a fresh auth id,
// asks scoutix which of the four permissions it grants for the admin account, lists the domain's
// users into tmp/<auth>_userlist and, when all four pass, keeps the key encrypted in tmp/<auth>_en
// for the task that takes it.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// The scopes added to every stored key as "us_scopes": 31 API names, 38 scope identifiers.
const char* Us_Scopes_Json();

// Parameter admin_email (query string; the body is the key, a multipart file part or raw).
// Reply: success, check_drive_permission_passed, check_contact_permission_passed,
// check_calendar_permission_passed, check_gmail_permission_passed, auth_id.
int Auth(O_APP_CGI_AGENT* agent);

}  // namespace qlm
