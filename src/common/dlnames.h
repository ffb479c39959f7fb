// Text helpers of the downloads and exports: safe file names, comma lists of ids, and the file
// name a tool quotes in its output line. None keeps state.
#pragma once

#include <string>
#include <vector>

namespace qlm {

// The name an item without one goes by, as Google shows it.
inline constexpr const char* kUntitledName = "Untitled";

// A file name safe on common file systems, made of the text byte by byte: control bytes vanish,
// UTF-8 passes whole, blanks, "()-.[]_", digits and ASCII letters stay, and every other run of
// bytes becomes one "_"; outer blanks and dots are stripped, reserved device names (CON, COM1,
// ...) get a "_" in front, and the name is cut to 240 bytes on a character boundary. Never empty:
// a text with nothing left is "Untitled".
std::string CleanDownloadFileName(std::string name);

// The items of a comma list in order; empty items are dropped and nothing is trimmed.
std::vector<std::string> parseCommaSeparatedStrings(const std::string& text);
// True when an item equals the text exactly.
bool containsString(const std::vector<std::string>& list, const std::string& text);

// The items of a selection, each taken once, in order of first appearance: a request that lists
// one item thousands of times must not make that many copies. With byNumber, items that are whole
// numbers (Parse_Whole_Int) are one item when their values are ("7", "07"), as catalog indexes are.
std::vector<std::string> Distinct_Items(const std::vector<std::string>& items, bool byNumber = false);

// The text between the first two double quotes of the line that enclose at least one byte;
// empty when there is none.
std::string extract_filename_from_line(const std::string& line);

// A name from Google as one path component, kept as close to the original as possible: "/" and
// NUL become "_"; an empty name, "." and ".." become "Untitled"; a name longer than 240 bytes is
// cut to 240 on a character boundary, keeping an extension of up to 16 bytes.
std::string Drive_Name_Component(std::string name);

// A Google Doc, Sheet or Slides, which the backup stores as its OpenDocument export: its Drive type,
// the export's type and the export's extension.
struct EditorExport {
    const char* google;
    const char* odf;
    const char* ext;
};
// The export of a Google editor type; nullptr for any other type.
const EditorExport* Editor_Export(const std::string& mime);

// The file name a backed-up Drive item is written under in downloads and exports: its name as one
// path component (Drive_Name_Component), and for a Google Doc, Sheet or Slides, which the backup
// stores as its OpenDocument export, ".odt", ".ods" or ".odp" added unless the name already ends
// with it (in any letter case), so the file opens as what it is.
std::string Drive_File_Name(const std::string& name, const std::string& mime);

// A whole decimal integer (an optional "-", then digits only, nothing left over, in range) into
// value; false otherwise, so " 7", "7x" and "x7" are no numbers.
bool Parse_Whole_Int(const std::string& text, long long& value);

}  // namespace qlm
