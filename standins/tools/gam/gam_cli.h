// The command lines gam understands, parsed into one plain record.
// Every keyword takes exactly the next argv item, whatever it holds (a leading "-", blanks,
// quotes, a newline): values are never split or looked at as options.
#pragma once

#include <string>
#include <vector>

enum class GamOp {
    None,          // bare run: create the default configuration
    FileList,      // user U print filelist [select SD] fields F excludetrashed
    FileTree,      // user U print filetree [select SD] fields F noindent excludetrashed
    ShowAcls,      // user U show drivefileacls ID [adminaccess] formatjson
    GetFile,       // user U get drivefile id ID targetfolder F targetname -
    CountMessages, // user U print messages includespamtrash countsonly
    ExportMessage, // user U export messages ids ID targetname PATH
    PrintEvents,   // calendars U print events
    PrintGroups,   // user U print contactgroup
    PrintContacts, // user U print contacts allfields
    CreateFolder,  // user U create drivefile drivefilename N mimetype gfolder [parentid P] returnidonly
    UploadFile,    // user U create drivefile drivefilename N localfile PATH [mimetype T] [parentid P] returnidonly
    InsertMessage, // user U insert messages emlfile PATH [charset C] deleted false addlabel L
    ImportEvent,   // calendar C import event icaluid UID [summary S] [location L] start.. end..
    CreateContact, // user U create contacts [firstname ..] [familyname ..] [phone T V] ...
};

// A typed value of a contact (phone, e-mail, organization): "phone work VALUE primary".
struct GamTyped {
    bool set = false;
    std::string type;
    std::string value;
};

struct GamCmd {
    GamOp op = GamOp::None;
    std::string user;  // the account (or calendar) the command acts as
    // Drive
    std::string select;              // shared drive id
    std::vector<std::string> fields; // canonical field names, in the order asked
    std::string item_id;             // drivefileacls / get drivefile / export messages id
    bool admin_access = false;
    bool exclude_trashed = false;
    std::string target_folder, target_name;
    std::string name, parent_id, local_file;
    std::string mime_type;           // upload: the type asked for (lower-cased, checked); empty: guessed
    bool has_parent = false;
    // Gmail
    bool include_spam_trash = false;
    std::string eml_file;
    std::string charset = "ascii";   // how the EML file is read: ascii, latin1 or utf-8
    bool deleted = false;
    std::vector<std::string> labels;
    // Calendar
    std::string ical_uid, summary, location, start, end;
    bool start_all_day = false, end_all_day = false;
    // Contacts
    std::string given_name, family_name, title, department;
    GamTyped phone, email, organization;
};

// 0 and the command, or 2 with a usage text in err.
int Gam_Parse(int argc, char** argv, GamCmd& cmd, std::string& err);
