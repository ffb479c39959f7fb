// What the gwssim CLI does, as functions (the CLI only parses its arguments).
#pragma once

#include <string>
#include <vector>

struct GwsInitOptions {
    int users = 4;                 // the first four are the demo people
    int files = 3;                 // generated files per user, beside the demo items
    int messages = 3;              // generated messages per user
    int events = 2;                // generated events per user
    int contacts = 2;              // generated contacts per user
    int shared_drives = 2;         // with members; two or more also bring the member-less "Hidden Drive"
    unsigned long long seed = 1;
    std::string domain;            // the primary domain of the users; empty: example.test (with example2.test)
};

// Builds a fresh domain in dir (created when missing; refused when it already holds one).
// Errors are described in err.
int Gwssim_Init(const std::string& dir, const GwsInitOptions& opt, std::string& err);

// Registers a new key with the given grants for domain (empty: the primary domain) and gives the
// key file's JSON text.
int Gwssim_Make_Key(const std::string& dir, const std::vector<std::string>& grants, const std::string& domain,
                    bool enabled, std::string& key_json, std::string& err);

// The state as JSON lines in a fixed order, free of ids that a restore would change.
// what: "" (all), "drive", "gmail", "calendar", "contacts", "shared".
// With ids, calendar and contact lines keep Google's ids as well, for comparing a backup, which
// keeps them: every event field, and the resource names of groups, contacts and memberships.
int Gwssim_Dump(const std::string& dir, const std::string& what, std::string& out, std::string& err,
                bool ids = false);
