// Files of one user's My Drive shared with other users of the domain.
//
// The share itself is a user entry in the item's permissions (state.h). Beside it, shares.json in
// the state folder ({"shares": [{"owner", "with"}]}) says whose Drives hold items shared with a
// user, so that a listing of that user reads those Drives only, never every Drive of the domain.
#pragma once

#include <gwssim/state.h>

#include <string>
#include <vector>

// Shares the item of owner's My Drive with another user of the domain (role: reader, commenter,
// writer). 0; -1 with err set (unknown user or item, the item is the owner's root, state not
// writable). Sharing twice keeps one entry (with the later role).
int Gwssim_Share_Item(const std::string& root, const std::string& owner, const std::string& item_id,
                      const std::string& with, const std::string& role, std::string& err);

// The owners whose My Drives may hold items shared with email, each once. A missing shares.json:
// none.
int Gwssim_Sharers_Of(const std::string& root, const std::string& email, std::vector<std::string>& owners);

// True when the item's permissions share it with email.
bool Gwssim_Is_Shared_With(const GwsDriveItem& it, const std::string& email);
