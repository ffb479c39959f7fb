// Configuration files of the platform library: named sections of key and value pairs.
//
// The file is INI text that an ordinary INI reader (Python's configparser with interpolation off)
// reads the same way:
//     # comment            ; comment too (whole lines only; "a = b ; c" has the value "b ; c")
//     [section]
//     key = value
// Keys and values are trimmed of blanks; a pair line splits at its first "=" or ":". Keys compare
// case-sensitively. A key that appears twice in a section, or a section that appears twice, reads
// as one with the later pairs winning. Pairs before the first section belong to none. [DEFAULT]
// is a section like any other here.
//
// Results: 0 success, -22 bad argument, -2 key (or file) absent, -12 out of memory, -errno for a
// failed file operation. Keys and values holding CR, LF or NUL are refused (-22), as are keys
// that are empty, have blanks at either end, start with "[", "#" or ";", or hold "=" or ":", and
// section names holding "]", CR or LF: any of them would change the file's structure.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

struct _T_STR_PAIR_NODE_ {
    char* key;
    char* value;
    _T_STR_PAIR_NODE_* next;
};

struct _T_STR_SECT_NODE_ {
    char* name;
    _T_STR_PAIR_NODE_* pairs;  // in file order
    _T_STR_SECT_NODE_* next;
};

// Reads section `section` of `file` into a new node (*out, free with Release_Sect_List). 0 with
// *out NULL when the file has no such section; -2 for a missing file, -errno when it cannot be read.
int Get_Conf_File_Section(const char* file, const char* section, _T_STR_SECT_NODE_** out);

// Replaces section `section` of `file` by the pairs of node, or appends it when missing; a missing
// file is created (mode 0600). Everything else is kept as it was: the other sections in their
// order, comment and blank lines, and within the section the place of each key that stays (new
// keys follow the last pair; a repeated section is folded into the first). The
// file is written to a temporary file in its folder and renamed over it (keeping its mode).
int Set_Conf_File_Section(const char* file, const char* section, const _T_STR_SECT_NODE_* node);

_T_STR_SECT_NODE_* Create_Sect_Node(const char* name);  // empty section; NULL on bad name or memory

// Copies every pair of src into dst, in src's order, replacing pairs of dst with the same key.
int Clone_Pair_List(_T_STR_SECT_NODE_* dst, const _T_STR_SECT_NODE_* src);

// Writes "[name]", its pairs and a blank line to fp; the number of bytes written, or negative.
// Nothing is written when a key or value is not writable (-22).
int Write_Sect_Node(FILE* fp, const _T_STR_SECT_NODE_* node);

void Release_Sect_List(_T_STR_SECT_NODE_* list);  // frees the node and every node after it

// Selects the pair layout of later writes. 0, the only layout, is "key = value"; others: -22.
int Set_Pair_Format(int format);

// Add or replace a pair. Booleans are written "true" and "false".
int Set_Pair_String_Value(_T_STR_SECT_NODE_* node, const char* key, const char* value);
int Set_Pair_Integer_Value(_T_STR_SECT_NODE_* node, const char* key, int64_t value);
int Set_Pair_Boolean_Value(_T_STR_SECT_NODE_* node, const char* key, int value);  // non-zero: true

// 0 when the key is present and its value reads as asked; -2 absent; -22 when the value is not
// a number in range (decimal, optional sign) or not one of true/false, yes/no, on/off, 1/0 (any
// case) for a boolean, which is given as 1 or 0. The out value changes only on 0.
// The buffer form gives -28 (ENOSPC) when value and NUL do not fit, leaving buf unchanged.
int Get_Pair_String_Buffer(const _T_STR_SECT_NODE_* node, const char* key, char* buf, size_t size);
int Get_Pair_String_Buffer(const _T_STR_SECT_NODE_* node, const char* key, std::string& out);
int Get_Pair_Integer_Value(const _T_STR_SECT_NODE_* node, const char* key, int& out);
int Get_Pair_Int64_Value(const _T_STR_SECT_NODE_* node, const char* key, int64_t& out);
int Get_Pair_Boolean_Value(const _T_STR_SECT_NODE_* node, const char* key, int& out);

// 0 when folder is a folder this process can create files in; -errno otherwise (-20 not a folder).
int Check_Conf_DIR(const char* folder);

// Scope guard for a section list.
struct Sect_List_Releaser {
    void operator()(_T_STR_SECT_NODE_* list) const { Release_Sect_List(list); }
};
using Sect_List_Ptr = std::unique_ptr<_T_STR_SECT_NODE_, Sect_List_Releaser>;
