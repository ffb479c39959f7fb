// Command-line parsing and output shared by the gwssim CLI and the tool stand-ins.
#pragma once

#include <string>
#include <vector>

// One option: a value option stores into value (or appends to list when it may repeat); a flag
// option sets flag. Exactly one of the three is set.
struct GwsOpt {
    const char* name;
    std::string* value = nullptr;
    std::vector<std::string>* list = nullptr;
    bool* flag = nullptr;
    bool seen = false;
};

// Parses argv[first..argc). A value option takes the next item, whatever it holds (a leading "-",
// blanks, quotes, "$", "%", a newline). An unknown item, a missing value or a repeated
// single-value option: -1 with a message in err.
int Gwssim_Parse_Options(int argc, char** argv, int first, std::vector<GwsOpt>& opts, std::string& err);

// A tool's named output file: removed on every way out but success (keep = true), so an output
// of an earlier run is never taken for this one. Only a regular file is ever removed.
struct GwsOutputGuard {
    std::string path;
    bool keep = false;
    ~GwsOutputGuard();
};

// Writes all of text to standard output; -1 when it could not.
int Gwssim_Print(const std::string& text);

// A non-negative decimal number that fits an int; false otherwise.
bool Gwssim_Parse_Count(const std::string& s, long long& out);
