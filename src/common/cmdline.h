// Reading a finished tool command line as the shell would, for the lines simple enough to start
// without one: a program named by a path, its words, and output redirections.
#pragma once

#include <string>
#include <vector>

namespace qlm {

// One output redirection, applied in the order of the line: "N>path" (truncate), "N>>path"
// (append) or "N>&M" (descriptor N becomes a copy of M, shown by an empty path and dupFrom >= 0).
struct Redirection {
    int fd = 1;
    std::string path;
    bool append = false;
    int dupFrom = -1;
};

struct SimpleCommand {
    std::vector<std::string> argv;
    std::vector<Redirection> redirections;
};

// True when line is one program with arguments and redirections whose meaning to /bin/sh is plain:
// words of unquoted safe characters, single-quoted parts and backslash-escaped characters (what the
// quoting helper writes), separated by blanks, and ">", ">>", "N>", "N>>", "N>&M" with a single-digit
// N and M. The program word must hold a '/', so no builtin, function or search of PATH is involved.
// cmd then holds each word as the shell would pass it. False for anything else (expansions, globs,
// pipes, lists, input redirections, assignments, comments, line breaks...): run that through the shell.
bool Parse_Simple_Command(const std::string& line, SimpleCommand& cmd);

}  // namespace qlm
