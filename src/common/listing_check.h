// The checks every listing a backup reads goes through before anything is taken from it, beside the
// CSV reader's own (csvx::Document::LoadListing): a tool may exit 0 with its output cut short, garbled
// or missing, and a backup that trusted it would skip items or prune what it holds. Problems are
// worded to follow "<listing> of <account> ", as Listing_Problem_Text puts them together.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string>

namespace qlm::listing {

// How often one listing is run within an attempt while the tool ends well but its output fails
// its check (a reply cut short by the network is usually whole the next time).
inline constexpr int kListingTries = 3;

// A JSON reply read whole: the file parses as one JSON value with nothing but blanks after it.
// The value (to be put with json_object_put), or nullptr with problem set.
json_object* Load_Json_Listing(const std::string& path, std::string& problem);

// GAM's file tree states the number of its top rows on its first line ("User: U, Print N Drive
// Files/Folders"). Empty when topRows agrees with the line in the file at path, else the problem.
std::string Check_Tree_Count_Line(const std::string& path, long long topRows);

// A message listing that holds fewer than nine tenths of what the same run's count found is cut
// short (a mailbox changes a little between the two, never that much). counted < 0: no count.
std::string Check_Against_Count(size_t listed, int64_t counted);

// Removing more than half of what an account holds (and more than 10 items) is checked against a
// second listing first: one listing that came back short must never prune a backup.
inline bool Removal_Needs_Second_Listing(size_t held, size_t removed) { return removed > 10 && removed * 2 > held; }

// "<what> of <who> <problem>.", e.g. "Drive file tree listing of a@b.c is incomplete: the last row is
// cut short."
std::string Listing_Problem_Text(const std::string& what, const std::string& who, const std::string& problem);

}  // namespace qlm::listing
