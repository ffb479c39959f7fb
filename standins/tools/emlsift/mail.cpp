// Reading a mail file with GMime and walking its parts.
#include "emlsift.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace emlsift {

namespace {

// 8-bit text without a usable charset is most often Windows mail; Latin-1 takes any byte.
GMimeParserOptions* New_Options() {
  GMimeParserOptions* options = g_mime_parser_options_new();
  const char* fallback[] = {"utf-8", "windows-1252", "iso-8859-1", nullptr};
  g_mime_parser_options_set_fallback_charsets(options, fallback);
  return options;
}

bool Is_Standard_Input(const struct stat& st) {
  struct stat in;
  return fstat(STDIN_FILENO, &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino;
}

// Only a regular file other than standard input is read: the CGI's standard input is the
// request body, and a FIFO or a terminal would block.
int Open_Regular_File(const char* path, int& fd) {
  fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    fprintf(stderr, "emlsift: cannot open %s: %s\n", path, strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || Is_Standard_Input(st)) {
    fprintf(stderr, "emlsift: %s is not a regular file\n", path);
    close(fd);
    fd = -1;
    return -1;
  }
  return 0;
}

// Leaves of the MIME tree in walk order. An attached message is one leaf: its own parts belong
// to it, not to the mail. Iterative, so a hostile nesting depth cannot exhaust the stack.
void Collect_Leaves(GMimeObject* root, std::vector<GMimeObject*>& leaves) {
  std::vector<GMimeObject*> pending;
  if (root) pending.push_back(root);
  while (!pending.empty()) {
    GMimeObject* object = pending.back();
    pending.pop_back();
    if (!GMIME_IS_MULTIPART(object)) {
      leaves.push_back(object);
      continue;
    }
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    for (int i = g_mime_multipart_get_count(multipart) - 1; i >= 0; --i)
      pending.push_back(g_mime_multipart_get_part(multipart, i));
  }
}

std::string Declared_File_Name(GMimeObject* object) {
  const char* name = g_mime_object_get_content_disposition_parameter(object, "filename");
  if (!name || !*name) name = g_mime_object_get_content_type_parameter(object, "name");
  return name ? Valid_Utf8(g_strdup(name)) : std::string();
}

// An attached mail without a declared name is still offered as a file, named after its subject.
std::string Attachment_File_Name(GMimeObject* object) {
  std::string name = Declared_File_Name(object);
  if (!name.empty() || !GMIME_IS_MESSAGE_PART(object)) return name;
  GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
  const char* subject = inner ? g_mime_message_get_subject(inner) : nullptr;
  std::string base = subject ? Valid_Utf8(g_strdup(subject)) : std::string();
  return (base.empty() ? std::string("message") : base) + ".eml";
}

// RFC 2045 reads a Content-Type that names no subtype ("text", "text/") as text/plain, the
// default; GMime gives such a part application/octet-stream.
bool Names_No_Subtype(GMimeObject* object) {
  const char* declared = g_mime_object_get_header(object, "Content-Type");
  if (declared == nullptr) return false;
  std::string type(declared, strcspn(declared, ";"));
  const size_t slash = type.find('/');
  return slash == std::string::npos || type.find_first_not_of(" \t\r\n", slash + 1) == std::string::npos;
}

bool Is_Text_Body(GMimeObject* object, const char* subtype) {
  if (!GMIME_IS_TEXT_PART(object)) return false;
  const bool isType = Names_No_Subtype(object)
                          ? strcmp(subtype, "plain") == 0
                          : g_mime_content_type_is_type(g_mime_object_get_content_type(object), "text", subtype);
  if (!isType) return false;
  const char* disposition = g_mime_object_get_disposition(object);
  if (disposition && g_ascii_strcasecmp(disposition, "attachment") == 0) return false;
  return Declared_File_Name(object).empty();
}

// Every leaf that is not a plain or HTML body is a file the user may want: named parts,
// attached mails, and also nameless images or documents that some mailers send.
bool Is_Attachment(GMimeObject* object) {
  return !Is_Text_Body(object, "plain") && !Is_Text_Body(object, "html");
}

std::vector<GMimeObject*> Mail_Leaves(const Mail& mail) {
  std::vector<GMimeObject*> leaves;
  Collect_Leaves(g_mime_message_get_mime_part(mail.message.get()), leaves);
  return leaves;
}

bool Identity_Encoding(GMimeContentEncoding e) {
  return e == GMIME_CONTENT_ENCODING_DEFAULT || e == GMIME_CONTENT_ENCODING_7BIT ||
         e == GMIME_CONTENT_ENCODING_8BIT || e == GMIME_CONTENT_ENCODING_BINARY;
}

// Bytes [from, from + n) of the mail file; fewer at its end.
std::string File_Bytes(const Mail& mail, gint64 from, size_t n) {
  std::string out;
  if (!mail.stream || !GMIME_IS_STREAM_FS(mail.stream.get()) || from < 0) return out;
  const int fd = GMIME_STREAM_FS(mail.stream.get())->fd;
  out.resize(n);
  size_t got = 0;
  while (got < n) {
    ssize_t r = pread(fd, &out[got], n - got, from + static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

// A part that GMime ends at `end` with a CR as its last byte, where the file goes on with
// "\n--": that CR begins the line break of the boundary.
bool Cr_Of_A_Closing_Delimiter(const Mail& mail, gint64 end) {
  const std::string around = File_Bytes(mail, end - 1, 4);
  return around.size() == 4 && around.compare(0, 4, "\r\n--") == 0;
}

// The nearest multipart around an object, looking through attached mails too, or nullptr; index
// is the object's place in it when it is a direct child, else -1.
GMimeMultipart* Enclosing_Multipart(GMimeObject* root, GMimeObject* object, int& index) {
  struct Step {
    GMimeObject* o;
    GMimeMultipart* around;  // nearest multipart above o
    int index;               // o's place in it, -1 when o lies deeper
  };
  std::vector<Step> pending{{root, nullptr, -1}};
  while (!pending.empty()) {
    const Step step = pending.back();
    pending.pop_back();
    if (!step.o) continue;
    if (step.o == object) {
      index = step.index;
      return step.around;
    }
    if (GMIME_IS_MULTIPART(step.o)) {
      GMimeMultipart* m = GMIME_MULTIPART(step.o);
      for (int i = 0; i < g_mime_multipart_get_count(m); ++i)
        pending.push_back({g_mime_multipart_get_part(m, i), m, i});
    } else if (GMIME_IS_MESSAGE_PART(step.o)) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(step.o));
      if (inner) pending.push_back({g_mime_message_get_mime_part(inner), step.around, -1});
    }
  }
  index = -1;
  return nullptr;
}

// The mail file from an offset on, read in blocks as far as a search needs.
struct FileText {
  const Mail& mail;
  gint64 from;
  std::string text;
  bool at_end = false;
  // Reads one more block; false at the end of the file.
  bool More() {
    if (at_end) return false;
    const std::string block = File_Bytes(mail, from + static_cast<gint64>(text.size()), 1 << 16);
    at_end = block.empty();
    text += block;
    return !at_end;
  }
  // Where the line after the one holding `at` begins; npos when the file ends first.
  size_t Next_Line(size_t at) {
    for (;;) {
      const size_t nl = text.find('\n', at);
      if (nl != std::string::npos) return nl + 1;
      at = std::max(at, text.size());  // a long line is searched once, not again per block
      if (!More()) return std::string::npos;
    }
  }
  // Where the body after a header block begins: after the first empty line at or after `at`.
  size_t Body_Start(size_t at) {
    while (at != std::string::npos) {
      while (at + 2 > text.size() && More()) {
      }
      if (text.compare(at, 1, "\n") == 0) return at + 1;
      if (text.compare(at, 2, "\r\n") == 0) return at + 2;
      at = Next_Line(at);
    }
    return std::string::npos;
  }
  // The first delimiter line of a boundary ("--b" or "--b--" and blanks) at a line start at or
  // after `at`; npos when there is none.
  size_t Delimiter(const std::string& boundary, size_t at) {
    const std::string dash = "--" + boundary;
    for (; at != std::string::npos; at = Next_Line(at)) {
      const size_t line_end = Next_Line(at);
      const std::string line = text.substr(at, line_end == std::string::npos ? std::string::npos : line_end - at);
      if (line.compare(0, dash.size(), dash) != 0) continue;
      size_t rest = dash.size();
      if (line.compare(rest, 2, "--") == 0) rest += 2;
      if (line.find_first_not_of(" \t\r\n", rest) == std::string::npos) return at;
    }
    return std::string::npos;
  }
};

// The body of an attached mail as the file holds it, decoded when the part declares base64 or
// quoted-printable: from the end of the part's header block (a digest member may have none) to
// the line break before the next delimiter of the multipart around it, or to the file's end when
// the attached mail is a mail's whole body. false when the file does not show where it lies: an
// attached mail is never written anew, since GMime would not write it as it was.
bool Raw_Message_Part(const Mail& mail, GMimeObject* object, std::string& out) {
  GMimeHeaderList* headers = g_mime_object_get_header_list(object);
  const int count = headers ? g_mime_header_list_get_count(headers) : 0;
  int index = -1;
  GMimeMultipart* around = Enclosing_Multipart(g_mime_message_get_mime_part(mail.message.get()), object, index);
  const char* boundary = around ? g_mime_multipart_get_boundary(around) : nullptr;
  if (around && (!boundary || !*boundary)) return false;
  // The header block the part's body follows: its own, or for a part without headers, that of
  // the multipart, whose delimiters are then counted up to the part's own.
  GMimeHeaderList* block = count > 0    ? headers
                           : index >= 0 ? g_mime_object_get_header_list(GMIME_OBJECT(around))
                                        : nullptr;
  const int block_count = block ? g_mime_header_list_get_count(block) : 0;
  if (block_count == 0) return false;
  const gint64 last = g_mime_header_get_offset(g_mime_header_list_get_header_at(block, block_count - 1));
  if (last < 0) return false;
  FileText file{mail, last, {}};
  size_t start = file.Body_Start(0);
  if (count == 0) {
    // The (index + 1)-th delimiter line opens the part; its empty header block follows.
    for (int i = 0; i <= index && start != std::string::npos; ++i) {
      start = file.Delimiter(boundary, start);
      if (start != std::string::npos) start = file.Next_Line(start);
    }
    if (start != std::string::npos) start = file.Body_Start(start);
  }
  if (start == std::string::npos) return false;
  // To the line break before the next delimiter, which belongs to the delimiter; to the file's
  // end for a mail's whole body, and for a multipart that is never closed, as GMime reads it.
  const size_t delimiter = around ? file.Delimiter(boundary, start) : std::string::npos;
  while (delimiter == std::string::npos && file.More()) {
  }
  size_t end = delimiter == std::string::npos ? file.text.size() : delimiter;
  if (delimiter != std::string::npos && end > start && file.text[end - 1] == '\n') --end;
  if (delimiter != std::string::npos && end > start && file.text[end - 1] == '\r') --end;
  std::string body = file.text.substr(start, end - start);
  const char* declared = g_mime_object_get_header(object, "Content-Transfer-Encoding");
  const GMimeContentEncoding enc =
      declared ? g_mime_content_encoding_from_string(declared) : GMIME_CONTENT_ENCODING_DEFAULT;
  if (enc == GMIME_CONTENT_ENCODING_BASE64 || enc == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) {
    GMimeEncoding state;
    g_mime_encoding_init_decode(&state, enc);
    std::string decoded(g_mime_encoding_outlen(&state, body.size()) + 16, '\0');
    size_t n = g_mime_encoding_flush(&state, body.data(), body.size(), &decoded[0]);
    decoded.resize(n);
    body = std::move(decoded);
  }
  out = std::move(body);
  return true;
}

// The offset of the next line after the one at `at`; the file's size when none follows.
gint64 Next_Line_Start(int fd, gint64 at) {
  for (;;) {
    char block[512];
    const ssize_t n = pread(fd, block, sizeof block, at);
    if (n <= 0) return at;
    const void* nl = memchr(block, '\n', static_cast<size_t>(n));
    if (nl) return at + (static_cast<const char*>(nl) - block) + 1;
    at += n;
  }
}

// Where the header block begins, read as the common readers read it: after a UTF-8 byte-order
// mark (a text editor's), after an mbox "From " line, and after lines that begin with a blank
// before any header (continuations of nothing, which Python's email package drops). GMime reads
// such a head as no mail at all.
gint64 Header_Block_Start(GMimeStream* stream) {
  const int fd = GMIME_STREAM_FS(stream)->fd;
  gint64 at = 0;
  char head[5];
  if (pread(fd, head, 3, 0) == 3 && memcmp(head, "\xEF\xBB\xBF", 3) == 0) at = 3;
  if (pread(fd, head, 5, at) == 5 && memcmp(head, "From ", 5) == 0) at = Next_Line_Start(fd, at);
  while (pread(fd, head, 1, at) == 1 && (head[0] == ' ' || head[0] == '\t')) at = Next_Line_Start(fd, at);
  return at;
}

}  // namespace

std::string Valid_Utf8(char* owned) {
  GStr text(owned);
  if (!text) return {};
  if (g_utf8_validate(text.get(), -1, nullptr)) return text.get();
  GStr valid(g_utf8_make_valid(text.get(), -1));
  return valid.get();
}

int Load_Mail(const char* path, Mail& mail) {
  int fd = -1;
  if (Open_Regular_File(path, fd) != 0) return -1;
  GPtr<GMimeStream> stream(g_mime_stream_fs_new(fd));  // owns fd from here
  // The parse starts at the header block, on the file's own offsets, so that parts are still
  // found where the file holds them.
  GPtr<GMimeStream> from_headers(g_mime_stream_substream(stream.get(), Header_Block_Start(stream.get()), -1));
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(from_headers.get()));
  mail.options.reset(New_Options());
  mail.message.reset(g_mime_parser_construct_message(parser.get(), mail.options.get()));
  if (!mail.message) {
    fprintf(stderr, "emlsift: %s is not a MIME message\n", path);
    return -1;
  }
  mail.stream = std::move(stream);
  return 0;
}

int Collect_Attachments(const Mail& mail, std::vector<Attachment>& out) {
  int index = 0;
  for (GMimeObject* leaf : Mail_Leaves(mail)) {
    if (!Is_Attachment(leaf)) continue;
    out.push_back(Attachment{index++, leaf, Attachment_File_Name(leaf)});
  }
  return 0;
}

int Body_Text(const Mail& mail, const char* subtype, std::string& out) {
  out.clear();
  for (GMimeObject* leaf : Mail_Leaves(mail)) {
    if (!Is_Text_Body(leaf, subtype)) continue;
    GStr text(g_mime_text_part_get_text(GMIME_TEXT_PART(leaf)));
    if (!text) return 0;
    // An unknown or missing charset leaves the raw bytes; guess from the fallback list.
    if (g_utf8_validate(text.get(), -1, nullptr)) {
      out = text.get();
    } else {
      out = Valid_Utf8(g_mime_utils_decode_8bit(mail.options.get(), text.get(), strlen(text.get())));
    }
    return 0;
  }
  return 0;
}

int Write_Attachment(const Mail& mail, GMimeObject* object, GMimeStream* stream) {
  ssize_t written = 0;
  std::string raw;
  if (GMIME_IS_MESSAGE_PART(object)) {
    if (!Raw_Message_Part(mail, object, raw)) return -1;
    written = g_mime_stream_write(stream, raw.data(), raw.size());
    if (written >= 0 && static_cast<size_t>(written) != raw.size()) written = -1;
  } else if (GMIME_IS_PART(object)) {
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(object));
    if (content) {
      GMimeStream* bytes = g_mime_data_wrapper_get_stream(content);
      const gint64 end = bytes ? bytes->bound_end : -1;
      if (end > 0 && Identity_Encoding(g_mime_data_wrapper_get_encoding(content)) &&
          Cr_Of_A_Closing_Delimiter(mail, end)) {
        // GMime leaves the CR of "CRLF--boundary" in the part when the closing boundary is the
        // file's last line: the part is one byte shorter than GMime says.
        GPtr<GMimeStream> part(g_mime_stream_substream(bytes, bytes->bound_start, end - 1));
        written = g_mime_stream_write_to_stream(part.get(), stream);
      } else {
        written = g_mime_data_wrapper_write_to_stream(content, stream);
      }
    }
  }
  if (written < 0) return -1;
  return g_mime_stream_flush(stream) < 0 ? -1 : 0;
}

}  // namespace emlsift
