// The reply forms and reply codes of every action. Exactly one reply per request; every JSON reply
// is preceded by the content-type header, printed here when no one has printed it yet.
#pragma once

#include <json-c/json.h>

#include <string>
#include <string_view>

namespace qlm {

enum Reply_Code {
    kReplySessionInvalid = 5000,   // the NAS login session is not valid
    kReplyWrongPassword = 5001,    // wrong password, or every permission check of a key failed
    kReplyDownloadFailed = 5011,
    kReplyNoSharedDrive = 5021,    // the target shared drive of a restore does not exist
    kReplyLackedAcl = 5025,
    kReplyDownloadNoFile = 5028,
    kReplyDomainTaken = 5044,      // the mail domain already belongs to a task
    kReplyFailed = 5052,           // an operation failed or the task is not valid
    kReplySessionRefused = 5053,   // the session check refused the request
    kReplyNoAct = 5301,
    kReplyBadParam = 5302,         // bad value, unknown action or failed lookup
    kReplyMissingParam = 5303,
    kReplyTaskChangeFailed = 5401,
    kReplyPermissionCheckFailed = 5613,
    kReplyLogDbUnusable = 5623,
};

// The fixed messages that belong to the entry point.
inline constexpr const char* kMsgNoAct = "Unexpected action request";
inline constexpr const char* kMsgAct = "act";

// Prints the JSON content-type header unless this process has printed it already.
void Ensure_Reply_Header();
// { "success": false, "error_code": N, "error_msg": "..." } with the message JSON-escaped
// (a fixed message comes out byte for byte as written).
void Reply_Error(int code, const char* msg);
// { "success": false, "error_code": N }; also the form of the two session failures.
void Reply_Error_No_Msg(int code);
// A success object, printed in json-c's spaced one-line form.
void Reply_Json(json_object* obj);
// { "success": true } alone: the reply of an action that has nothing else to say.
void Reply_Success();
// The escaped body of a JSON string (without the surrounding quotes).
void Append_Json_Escaped(const char* text, std::string& out);

// Every reply goes out as valid UTF-8, whatever the texts in it hold (request texts stored as
// sent, names from Google): each ill-formed sequence (a byte that starts none, an overlong form, a
// surrogate, a code point beyond U+10FFFF, a sequence cut short) becomes one U+FFFD per maximal
// ill-formed part, as Unicode recommends. The stored data stays as it is.
// The text with that rule applied; valid text comes back unchanged.
std::string Valid_Utf8(std::string_view text);
// Writes a piece of a reply (as fputs does) with that rule applied: every writer of a JSON reply,
// also one that writes it row by row, prints through this or the reply forms above.
void Put_Reply_Text(const char* text);

}  // namespace qlm
