// emlsift: reads one stored mail (EML) and answers what the mail browser and the backup need.
//
//   emlsift -i FILE --format json --header
//     {"headers": {"From": ["\"Ann\" <ann@x.org>"], "Subject": ["..."], ...}}
//     Every top-level header, in file order; names merged case-insensitively (From, To, Cc,
//     Subject, Date, Message-ID... get their usual spelling); each value unfolded, encoded words
//     decoded to UTF-8, quotes around display names kept as written.
//   emlsift -i FILE --format json --html
//     {"html": "<first text/html body>", "text": "<first text/plain body>"}
//     Both converted to UTF-8; a member is "" when the mail has no such body. A plain-text mail
//     thus has an empty "html" (the viewer shows its placeholder) and its words in "text".
//   emlsift -i FILE --format json --a
//     {"attachments": [{"index": 0, "filename": "report.pdf", "content_type": "application/pdf",
//                       "size": 1234, "content_id": "", "disposition": "attachment"}, ...]}
//     One entry per leaf of the MIME tree that is not a plain or HTML body (named parts, attached
//     mails as one .eml each, nameless files), in walk order, index from 0. "filename" is the
//     decoded name (RFC 2231 and encoded words), an attached mail without one gets
//     "<its subject>.eml"; "size" is the decoded size; "disposition" is "inline" or "attachment".
//   emlsift -i FILE -ea N -o DIR
//     Writes attachment N, decoded, into DIR under a safe name (one path component, never
//     overwriting: a taken name gets "(1)", "(2)"... before its extension) and prints
//       Saved attachment N to "NAME"
//     NAME being the bare file name; callers take the first double-quoted text of the output.
//
// Every option takes exactly the next argument, whatever it looks like. Exit 0 on success;
// 1 when the file is missing, unreadable or not a mail, the index is out of range or DIR is
// missing; 2 on bad arguments. On failure nothing goes to standard output. Standard input is
// never read.
#include "emlsift.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace emlsift;

enum class Mode { None, Header, Html, Attachments, Extract };

struct Sift_Args {
  const char* input = nullptr;
  const char* format = nullptr;
  const char* index_text = nullptr;
  const char* out_dir = nullptr;
  Mode mode = Mode::None;
};

int Usage(const char* problem) {
  fprintf(stderr,
          "emlsift: %s\n"
          "usage: emlsift -i FILE --format json (--header | --html | --a)\n"
          "       emlsift -i FILE -ea INDEX -o DIR\n",
          problem);
  return kExitUsage;
}

int Take_Value(int argc, char** argv, int& i, const char*& slot) {
  if (slot || i + 1 >= argc) return -1;  // repeated, or no value left
  slot = argv[++i];
  return 0;
}

int Set_Mode(Sift_Args& args, Mode mode) {
  if (args.mode != Mode::None) return -1;
  args.mode = mode;
  return 0;
}

int Parse_Args(int argc, char** argv, Sift_Args& args) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    int rc;
    if (strcmp(a, "-i") == 0) {
      rc = Take_Value(argc, argv, i, args.input);
    } else if (strcmp(a, "--format") == 0) {
      rc = Take_Value(argc, argv, i, args.format);
    } else if (strcmp(a, "-o") == 0) {
      rc = Take_Value(argc, argv, i, args.out_dir);
    } else if (strcmp(a, "-ea") == 0) {
      rc = Set_Mode(args, Mode::Extract) == 0 ? Take_Value(argc, argv, i, args.index_text) : -1;
    } else if (strcmp(a, "--header") == 0) {
      rc = Set_Mode(args, Mode::Header);
    } else if (strcmp(a, "--html") == 0) {
      rc = Set_Mode(args, Mode::Html);
    } else if (strcmp(a, "--a") == 0) {
      rc = Set_Mode(args, Mode::Attachments);
    } else {
      return -1;
    }
    if (rc != 0) return -1;
  }
  if (!args.input || args.mode == Mode::None) return -1;
  if (args.format && strcmp(args.format, "json") != 0) return -1;
  if ((args.mode == Mode::Extract) != (args.out_dir != nullptr)) return -1;
  return 0;
}

int Parse_Index(const char* text, long& index) {
  if (!*text) return -1;
  char* end = nullptr;
  errno = 0;
  index = strtol(text, &end, 10);
  return (errno != 0 || *end != '\0') ? -1 : 0;
}

// GMime's global state lives exactly as long as one run; objects must be gone before it ends.
struct GMime_Session {
  GMime_Session() { g_mime_init(); }
  ~GMime_Session() { g_mime_shutdown(); }
};

int Run(const Sift_Args& args, long index) {
  Mail mail;
  if (Load_Mail(args.input, mail) != 0) return -1;
  switch (args.mode) {
    case Mode::Header: return Print_Headers(mail);
    case Mode::Html: return Print_Body(mail);
    case Mode::Attachments: return Print_Attachments(mail);
    case Mode::Extract: return Extract_Attachment(mail, index, args.out_dir);
    case Mode::None: break;
  }
  return -1;
}

}  // namespace

int Emlsift_Body(int argc, char** argv) {
  Sift_Args args;
  if (Parse_Args(argc, argv, args) != 0) return Usage("bad arguments");
  long index = 0;
  if (args.mode == Mode::Extract && Parse_Index(args.index_text, index) != 0)
    return Usage("the attachment index must be a whole number");
  GMime_Session session;
  return Run(args, index) == 0 ? kExitOk : kExitFail;
}
