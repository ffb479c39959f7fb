// The command-line reader of the command runner: the input is a tool command line. A line it takes
// has a program path, and its words quoted again read back as the same words.
#include <cstdlib>

#include "common/cmdline.h"
#include "common/shellquote.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    qlm::SimpleCommand cmd;
    if (!qlm::Parse_Simple_Command(line, cmd)) return 0;
    if (cmd.argv.empty() || cmd.argv[0].find('/') == std::string::npos) abort();
    std::string quoted;
    for (const std::string& word : cmd.argv) quoted += (quoted.empty() ? "" : " ") + qlm::ShellQuote(word);
    qlm::SimpleCommand again;
    if (!qlm::Parse_Simple_Command(quoted, again) || again.argv != cmd.argv) abort();
    return 0;
}
