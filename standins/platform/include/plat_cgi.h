// The CGI agent of the platform: request parameters, the JSON content-type header and the
// signed-in NAS session of a request.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class Multipart_Parser;

// The signed-in user of the request, filled by O_APP_CGI_AGENT::Revive_Session.
class O_LOGIN_LOG {
public:
    char m_szUser[129] = {};
    int m_idUserType = -1;
};

// The parameters of one request, read once when the agent is built:
// QUERY_STRING always (also for POST), and an application/x-www-form-urlencoded POST body of
// CONTENT_LENGTH bytes from standard input. A multipart body stays unread for the upload parser.
// When a name occurs more than once the first occurrence wins, the query string before the body.
// The body can be read only once: a request has one agent.
class O_CGI_AGENT {
public:
    O_CGI_AGENT();

    // The decoded text of a parameter, or NULL when absent; a bare "name" or "name=" gives "".
    // The text belongs to the agent.
    const char* Get_Param(const char* name) const;

    // The length in bytes of that parameter's decoded value, also past a NUL byte in it (where
    // Get_Param's text ends): 0 and len set; non-zero when absent.
    int Get_Param_Length(const char* name, size_t& len) const;

    // 0 and out set for "1", "0", "true", "false", "yes", "no", "on", "off" (any case);
    // non-zero, out untouched, when absent or anything else.
    int Get_Boolean_Param(const char* name, int& out) const;

    // 0 and out set for an optional sign followed by decimal digits to the end, within range;
    // non-zero, out untouched, otherwise.
    int Get_Integer_Param(const char* name, int& out) const;
    int Get_Integer_Param(const char* name, int64_t& out) const;

    // Prints "Content-Type: application/json; charset=UTF-8\r\n\r\n" on standard output the first
    // time it is called in the process, later calls print nothing.
    // Static as well, so any reply path can make sure the header went out first.
    static void Print_Content_Type_Header();

    // The request's multipart parser, or NULL when the body is not multipart/form-data.
    // The parser belongs to the process; every call gives the same one.
    static Multipart_Parser* Get_Multipart_Parser();

private:
    std::vector<std::pair<std::string, std::string>> m_vParams;
};

// The agent of an app: parameters plus the NAS login session.
class O_APP_CGI_AGENT : public O_CGI_AGENT, public O_LOGIN_LOG {
public:
    explicit O_APP_CGI_AGENT(int flags);

    // Checks the session named by the cookie NAS_SID for the app appId.
    // 0: valid, m_szUser and m_idUserType filled; -256: the session may not use this app;
    // -1: no cookie, a malformed id, a missing, expired or malformed session.
    int Revive_Session(int flags, const char* appId);
};

// True once the JSON content-type header, or a download's own response header, went out.
bool Content_Type_Header_Printed();

// For the platform's own response writers (downloads): their header is the response's header,
// so a later Print_Content_Type_Header must print nothing.
void Mark_Content_Type_Header_Printed();

// Decodes one urlencoded text: "+" is a blank, "%XX" a byte; a bad "%" escape stays as it is.
std::string Cgi_Url_Decode(const char* text, size_t len);
