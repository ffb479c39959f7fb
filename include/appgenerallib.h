// The plain records that carry one backed-up item between the tools' output, the catalogs,
// the backup and restore engines and the browse and export code. No base class, no virtual
// operations: the compiler's member-wise copy and move are exactly what they need.
// Time fields start at 0 ("unset"), so an unfilled record never carries garbage into a catalog.
#pragma once

#include <string>

static_assert(sizeof(long long) == 8, "the records' 64-bit fields are long long");

// One backed-up Drive file or folder of a user (also a tree node of Drive exports and restores).
struct DriveData {
    std::string strOwner;           // the owning user's e-mail
    std::string strDriveID;         // Google's id of the item
    std::string strRestoreDriveID;  // the id a restore created for the item
    std::string strName;
    std::string strMD5;             // Google's MD5 checksum of the content
    std::string strModifyTime;      // Google's modification time text
    std::string strMimeType;        // folders carry Google's folder type
    long long llIndex = 0;          // position in its listing
    long long llDepth = -2;         // depth in the folder tree; -2 until known
    long long llSize = -1;          // bytes; -1 until known
    std::string strLocalID;         // id of the stored content in the backup store
    std::string strParentDriveID;
    long long llCreateTime = 0;      // seconds since 1970
    long long llLastBackupTime = 0;  // seconds since 1970
    std::string strStructure;        // the item's path of folders
    long long llModifyTime = 0;      // seconds since 1970
};

// One backed-up item of a shared drive: DriveData without the owner, with the member list.
struct SharedDriveData {
    std::string strDriveID;
    std::string strRestoreDriveID;
    std::string strName;
    std::string strMD5;
    std::string strModifyTime;
    std::string strMimeType;
    long long llIndex = 0;
    long long llDepth = -2;
    long long llSize = -1;
    std::string strLocalID;
    std::string strParentDriveID;
    std::string strMember;  // the item's member list
    long long llCreateTime = 0;
    long long llLastBackupTime = 0;
    std::string strStructure;
    long long llModifyTime = 0;
};

// A shared drive's identity, kept per uuid in the shared-drive mapping catalog.
struct SharedDriveInfo {
    std::string strSharedDriveID;  // Google's id of the shared drive
    std::string strSharedDriveName;
};

// One backed-up message, as a catalog row. The flags are 1 when the message carries that label.
struct GmailData {
    std::string strLocalID;  // id of the stored mail file
    std::string strSenderName;
    std::string strSenderMail;
    std::string strRecipientName;
    std::string strRecipientMail;
    std::string strSubject;
    std::string strDate;  // the Date header text
    long long tDate = 0;  // the date, seconds since 1970
    int bHasAttachment = 0;
    int nStarred = 0;
    int nImportant = 0;
    int nSent = 0;
    int nDraft = 0;
    int nTrash = 0;
};

// One calendar event, flattened from GAM's event listing: the local id, then one text per event
// column (named in the comments), then the start and end instants.
struct CalendarData {
    std::string strLocalID;
    std::string strCalendarID;  // calendarId
    std::string strID;          // id
    std::string strStatus;
    std::string strLocation;
    std::string strSummary;
    std::string strCreated;
    std::string strUpdated;
    std::string strICalUID;
    std::string strAttendees;                 // attendees
    std::string strAttendees0Email;           // attendees.0.email
    std::string strAttendees0Organizer;       // attendees.0.organizer
    std::string strAttendees0ResponseStatus;  // attendees.0.responseStatus
    std::string strAttendees0Self;            // attendees.0.self
    std::string strAttendees1DisplayName;     // attendees.1.displayName
    std::string strAttendees1ResponseStatus;
    std::string strAttendees2Email;
    std::string strAttendees2ResponseStatus;
    std::string strAttendees3Email;
    std::string strAttendees3ResponseStatus;
    std::string strAttendees4Email;
    std::string strAttendees4ResponseStatus;
    std::string strCDCID;   // conferenceData.conferenceId
    std::string strCDCSIU;  // conferenceData.conferenceSolution.iconUri
    std::string strCDCSKT;  // conferenceData.conferenceSolution.key.type
    std::string strCDCSN;   // conferenceData.conferenceSolution.name
    std::string strCDEP;      // conferenceData.entryPoints
    std::string strCDEP0EPT;  // entry point 0: entryPointType
    std::string strCDEP0L;    //               label
    std::string strCDEP0U;    //               uri
    std::string strCDEP1EPT;  // entry point 1: entryPointType
    std::string strCDEP1P;    //               pin
    std::string strCDEP1U;    //               uri
    std::string strCDEP2EPT;  // entry point 2: entryPointType
    std::string strCDE2L;     //               label (the name breaks the pattern; kept as the catalogs know it)
    std::string strCDEP2P;    //               pin
    std::string strCDEP2R;    //               regionCode
    std::string strCDEP2U;    //               uri
    std::string strCreatorEmail;   // creator.email
    std::string strCreatorSelf;    // creator.self
    std::string strEndDate;        // end.date
    std::string strEndDateTime;    // end.dateTime
    std::string strEndTimeZone;    // end.timeZone
    std::string strEventType;
    std::string strHangoutLink;
    std::string strHtmlLink;
    std::string strOrgEmail;       // organizer.email
    std::string strOrgSelf;        // organizer.self
    std::string strReminders;      // reminders.useDefault
    std::string strSequence;
    std::string strStartDate;      // start.date
    std::string strStartDateTime;  // start.dateTime
    std::string strStartTimeZone;  // start.timeZone
    std::string strTransparency;
    long long llStartTimeStamp = 0;  // seconds since 1970
    long long llEndTimeStamp = 0;
};

// One contact of a user, flattened from GAM's contact listing (columns resourceName,
// emailAddresses, emailAddresses.0.formattedType and so on, in this order).
struct ContactData {
    std::string strLocalID;
    std::string strUser;
    std::string strResourceName;
    std::string strEmailAddresses;
    std::string strEmailAddresses_0_FormattedType;
    std::string strEmailAddresses_0_Type;
    std::string strEmailAddresses_0_Value;
    std::string strNames;
    std::string strNames_0_DisplayName;
    std::string strNames_0_DisplayNameLastFirst;
    std::string strNames_0_FamilyName;
    std::string strNames_0_GivenName;
    std::string strNames_0_UnstructuredName;
    std::string strPhoneNumbers;
    std::string strPhoneNumbers_0_FormattedType;
    std::string strPhoneNumbers_0_Type;
    std::string strPhoneNumbers_0_Value;
    std::string strOrganizations_0_Department;
    std::string strOrganizations_0_Name;
    std::string strOrganizations_0_Title;
    std::string strMembershipList;  // the contact's group memberships
};

// One contact group of a user (columns User, resourceName, formattedName, groupType, name, memberCount).
struct ContactGroupData {
    std::string strUser;
    std::string strResourceName;
    std::string strFormattedName;
    std::string strGroupType;
    std::string strName;
    std::string strMemberCount;
};
