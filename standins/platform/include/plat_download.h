// Downloads to the browser: the platform writes the whole CGI response itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One download request. Build it value-initialised (`_FILE_DL_OP_ op{};`); the texts and the
// name list are malloc'd by the caller, who frees them afterwards.
struct _FILE_DL_OP_ {
    int iPathType = 0;
    int iMode = 0;                 // non-zero: a single file's Content-Type is detected from its bytes
    char* pszpPath = nullptr;      // the folder holding the names
    int32_t nFiles = 0;
    char** pFileNames = nullptr;   // nFiles names, each one entry directly inside pszpPath
    char* pszBrowser = nullptr;    // the browser's name; the response is the same for every browser
    char* pszShareRoot = nullptr;  // unused
    std::vector<std::string> vsFilePath;  // when not empty: absolute paths sent in place of the names

    // Set by Download_Files once the response has begun: a failure after that broke off a
    // response of which the browser may already have a part.
    int bBegun = 0;
    // When set, called once for each regular file sent, right after the last of its bytes (for a
    // zip entry, its trailer too) was handed to the web server, with its path relative to
    // pszpPath ("a/b.txt" for a file b.txt in the sent folder a). A file cut short is never named.
    void (*pfnFileSent)(void* ctx, const char* path) = nullptr;
    // When set, called each time the response has waited half a second for the web server to
    // take more bytes (a stalled or slow browser), before it waits on.
    void (*pfnWaiting)(void* ctx) = nullptr;
    void* pCallbackCtx = nullptr;
};

// Checks every name, then writes the response on standard output: one regular file as it is
// (Content-Type, Content-Disposition, Content-Length, body), a folder or several entries as one
// zip stream (folders recursively; links and special files are left out, never followed).
// 0 when the response was written; -2 for no names, a bad name or a name that does not exist;
// -13 when something to send cannot be read (Get_Lacked_ACL_Value then tells what was lacking);
// -22 for a bad request; another negative errno when writing failed after the response began.
int Download_Files(int userTypeId, const char* user, _FILE_DL_OP_* op);

// The access the last refused download lacked: 0x0001 read; 0 when nothing was lacking.
int16_t Get_Lacked_ACL_Value();

// Splits text at every sep into exactly count malloc'd strings (empty pieces included; an empty
// text is zero pieces) and stores the malloc'd, NULL-terminated list in *out.
// 0 on success; -22 when the number of pieces is not count or an argument is bad; -12 without memory.
int Parse_String(int count, const char* text, const char* sep, char*** out);
