// The index beside a whole-state JSON file (a Drive's "drive.json", a mailbox's "mail.json"), so
// that a tool reads or adds one item without parsing or rewriting the whole file.
//
// The base file stays what init, the whole-state saves and tests write: an object whose array
// members ("items", "labels", "messages") hold objects with an "id". The index (the base's name
// with ".idx", SQLite) holds the base's rows, each as its JSON text, plus the rows tools added
// since. It records which base it was built from (inode, size, times, MD5); when the base no
// longer matches (rewritten whole, or edited by hand) the base's rows are read again, while
// added rows that the new base does not hold are kept after them. A whole save empties the index
// in the same exclusive transaction that replaces the base.
//
// Functions return 0; -2 for a missing base or row; -1 for anything else.
#pragma once

#include <gwssim/json_util.h>

#include <string>
#include <utility>
#include <vector>

// The whole state: the base's object with every array as the index holds it (added rows last).
// -2 when neither a base nor added rows exist.
int Gwssim_Index_Load(const std::string& base, GwsJson& out);
// Replaces the base with o (taken) and resets the index. pretty as Gwssim_Json_Text.
int Gwssim_Index_Save(const std::string& base, json_object* o);
// The first row of list with that id (-2 when none); head (optional) gets the base's non-array
// members as an object.
int Gwssim_Index_Find(const std::string& base, const char* list, const std::string& id, GwsJson& row,
                      GwsJson* head = nullptr);
// Every row of list, in order.
int Gwssim_Index_List(const std::string& base, const char* list, std::vector<GwsJson>& rows);
// The base's non-array members as an object (empty object when there is no base).
int Gwssim_Index_Head(const std::string& base, GwsJson& head);
// Appends rows (list name, object taken) in one transaction; head_set members are stored in the
// head first (hold the state lock).
int Gwssim_Index_Add(const std::string& base, std::vector<std::pair<std::string, json_object*>> rows,
                     const std::vector<std::pair<std::string, std::string>>& head_set = {});
