// Fault rules and the call log, shared by the tool frame and the gwssim CLI.
//
// faults.json: {"rules": [{"tool", "match": [texts], "action", "times", "skip", "exit", "seen"}]}
// A rule matches a call of its tool ("*": any tool) whose arguments, joined with blanks, contain
// every match text. "seen" counts the matching calls so far; the rule fires on the matching calls
// after the first "skip" ones, "times" of them (0: all). calls.lock guards both files.
#pragma once

#include <string>
#include <vector>

struct GwsFaultRule {
    std::string tool;
    std::vector<std::string> match;
    std::string action;
    long long times = 0;
    long long skip = 0;
    long long exit = -1;     // -1: the action's own exit status
    long long ms = 0;        // "delay": the pause before the body runs
    long long seen = 0;
};

// The actions a rule may name.
bool Gwssim_Is_Fault_Action(const std::string& action);
// Missing file: 0 with no rules.
int Gwssim_Load_Faults(const std::string& root, std::vector<GwsFaultRule>& rules);
int Gwssim_Save_Faults(const std::string& root, const std::vector<GwsFaultRule>& rules);
bool Gwssim_Rule_Matches(const GwsFaultRule& r, const std::string& tool, const std::string& joined_args);

// Exclusive lock on calls.lock for the call log and the rules; -1 when the folder is missing.
int Gwssim_Lock_Calls(const std::string& root, int& fd);
// Appends one line (a JSON object without its line end) to calls.jsonl.
int Gwssim_Append_Call(const std::string& root, const std::string& line);
