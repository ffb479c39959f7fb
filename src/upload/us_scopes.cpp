#include "upload/auth.h"

namespace qlm {

namespace {

// Google's published OAuth 2.0 scope identifiers of the APIs the stored key may be used for.
#define QLM_SCOPE(s) "\"https://www.googleapis.com/auth/" s "\""

const char kUsScopes[] =
    "{"
    "\"alertcenter\":[" QLM_SCOPE("apps.alerts") "],"
    "\"analytics\":[" QLM_SCOPE("analytics.readonly") "],"
    "\"analyticsadmin\":[" QLM_SCOPE("analytics.readonly") "],"
    "\"calendar\":[" QLM_SCOPE("calendar") "],"
    "\"chatmemberships\":[" QLM_SCOPE("chat.memberships") "],"
    "\"chatmessages\":[" QLM_SCOPE("chat.messages") "],"
    "\"chatspaces\":[" QLM_SCOPE("chat.spaces") "],"
    "\"chatspacesdelete\":[" QLM_SCOPE("chat.delete") "],"
    "\"classroom\":[" QLM_SCOPE("classroom.announcements") "," QLM_SCOPE("classroom.topics") ","
        QLM_SCOPE("classroom.courseworkmaterials") "," QLM_SCOPE("classroom.coursework.students") ","
        QLM_SCOPE("classroom.profile.emails") "," QLM_SCOPE("classroom.profile.photos") ","
        QLM_SCOPE("classroom.rosters") "],"
    "\"cloudidentitydevices\":[" QLM_SCOPE("cloud-identity") "],"
    "\"datastudio\":[" QLM_SCOPE("datastudio") "],"
    "\"docs\":[" QLM_SCOPE("documents") "],"
    "\"drive2\":[" QLM_SCOPE("drive") "],"
    "\"drive3\":[" QLM_SCOPE("drive") "],"
    "\"driveactivity\":[" QLM_SCOPE("drive.activity") "," QLM_SCOPE("drive") "],"
    "\"drivelabelsadmin\":[" QLM_SCOPE("drive.admin.labels") "],"
    "\"drivelabelsuser\":[" QLM_SCOPE("drive.labels") "],"
    "\"drivetd\":[" QLM_SCOPE("drive") "],"
    "\"forms\":[" QLM_SCOPE("drive") "],"
    "\"gmail\":[\"https://mail.google.com/\"],"
    "\"iam\":[" QLM_SCOPE("cloud-platform") "],"
    "\"keep\":[" QLM_SCOPE("keep") "],"
    "\"oauth2\":[" QLM_SCOPE("userinfo.profile") "],"
    "\"people\":[" QLM_SCOPE("contacts") "],"
    "\"peopledirectory\":[" QLM_SCOPE("directory.readonly") "],"
    "\"peopleothercontacts\":[" QLM_SCOPE("contacts.other.readonly") "],"
    "\"sheets\":[" QLM_SCOPE("spreadsheets") "],"
    "\"sheetstd\":[" QLM_SCOPE("spreadsheets") "],"
    "\"sites\":[\"https://sites.google.com/feeds\"],"
    "\"tasks\":[" QLM_SCOPE("tasks") "],"
    "\"youtube\":[" QLM_SCOPE("youtube.readonly") "]"
    "}";

#undef QLM_SCOPE

}  // namespace

const char* Us_Scopes_Json() { return kUsScopes; }

}  // namespace qlm
