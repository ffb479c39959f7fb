// The action table of orvenna.cgi: one row per `act`, with its handler and whether it streams a file.
// A new action is one row and one function; main does not change.
#pragma once

class O_APP_CGI_AGENT;

namespace qlm {

// Every handler prints exactly one reply; its result is not a reply code.
using Action_Handler = int (*)(O_APP_CGI_AGENT* agent);

struct Action_Row {
    const char* pszAct;
    Action_Handler handler;  // nullptr until the action is built: it then answers as an unknown action
    bool bStreaming;         // streams a file: the entry point prints no content-type header for it
};

inline constexpr int kActionCount = 57;
extern const Action_Row g_ActionTable[kActionCount];

// The row whose name equals act byte for byte (the first one in table order), or nullptr.
const Action_Row* Find_Action(const char* act);
// True when act names one of the streaming actions.
bool Is_Streaming_Action(const char* act);

}  // namespace qlm
