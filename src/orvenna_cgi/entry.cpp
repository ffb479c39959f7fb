#include "orvenna_cgi/entry.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backup/run_backup.h"
#include "common/reqcheck.h"
#include "orvenna_cgi/actions.h"
#include "web/reply.h"
#include "plat_cgi.h"

namespace qlm {

bool Is_Backup_Mode(int argc, char** argv) {
    if (argc != 9 || argv == nullptr || argv[1] == nullptr || strcmp(argv[1], "-backup") != 0) return false;
    return getenv("REQUEST_METHOD") == nullptr && getenv("GATEWAY_INTERFACE") == nullptr;
}

int Parse_Service_Switch(const char* text, int& out) {
    if (text == nullptr) return -22;
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    const char* digits = p;
    if (*digits == '+' || *digits == '-') ++digits;
    if (*digits < '0' || *digits > '9') return -22;
    errno = 0;
    char* end = nullptr;
    long v = strtol(p, &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || v < INT_MIN || v > INT_MAX) return -22;
    out = static_cast<int>(v);
    return 0;
}

int Run_Backup_Mode(int argc, char** argv) {
    if (argc != 9) return 2;
    // The ids become file names of mission records and task files.
    for (int i = 2; i <= 3; ++i) {
        if (!Is_Id_Form(argv[i])) {
            fprintf(stderr, "orvenna.cgi: bad %s '%s'\n", i == 2 ? "mission id" : "task id", argv[i]);
            return 2;
        }
    }
    int sw[5] = {0, 0, 0, 0, 0};
    for (int i = 0; i < 5; ++i) {
        if (Parse_Service_Switch(argv[4 + i], sw[i]) != 0) {
            fprintf(stderr, "orvenna.cgi: bad service switch '%s'\n", argv[4 + i]);
            return 2;
        }
    }
    // Order on the command line: drive, shared drive, calendar, gmail, contact.
    Run_Backup(argv[2], argv[3], sw[0], sw[1], sw[2], sw[3], sw[4], "admin");
    return 0;
}

int Run_Cgi_Request() {
    O_APP_CGI_AGENT agent(0);
    const char* act = agent.Get_Param("act");
    if (act == nullptr) {
        Reply_Error(kReplyNoAct, kMsgNoAct);
        return 0;
    }
    // Streaming actions print their own header before whatever they send.
    if (!Is_Streaming_Action(act)) Ensure_Reply_Header();
    int session = agent.Revive_Session(0, kAppId);
    if (session != 0) {
        Reply_Error_No_Msg(session == -256 ? kReplySessionRefused : kReplySessionInvalid);
        return session;
    }
    const Action_Row* row = Find_Action(act);
    if (row == nullptr || row->handler == nullptr) {
        Reply_Error(kReplyBadParam, kMsgAct);
        return 0;
    }
    row->handler(&agent);
    return 0;
}

int Orvenna_Main(int argc, char** argv) {
    if (Is_Backup_Mode(argc, argv)) return Run_Backup_Mode(argc, argv);
    return Run_Cgi_Request();
}

}  // namespace qlm
