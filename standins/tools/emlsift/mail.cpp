// Reading a mail file with GMime and walking its parts.
#include "emlsift.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

struct FormatFree {
  void operator()(GMimeFormatOptions* p) const { g_mime_format_options_free(p); }
};
using FormatPtr = std::unique_ptr<GMimeFormatOptions, FormatFree>;

bool Ends_Lines_In_Crlf(GMimeMessage* message) {
  GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message));
  if (!list || g_mime_header_list_get_count(list) == 0) return false;
  const char* raw = g_mime_header_get_raw_value(g_mime_header_list_get_header_at(list, 0));
  size_t n = raw ? strlen(raw) : 0;
  return n >= 2 && raw[n - 2] == '\r' && raw[n - 1] == '\n';
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

// The parent multipart of an object below root, or nullptr.
GMimeMultipart* Parent_Of(GMimeObject* root, GMimeObject* object) {
  std::vector<GMimeObject*> pending{root};
  while (!pending.empty()) {
    GMimeObject* o = pending.back();
    pending.pop_back();
    if (!o || !GMIME_IS_MULTIPART(o)) continue;
    GMimeMultipart* m = GMIME_MULTIPART(o);
    for (int i = 0; i < g_mime_multipart_get_count(m); ++i) {
      GMimeObject* child = g_mime_multipart_get_part(m, i);
      if (child == object) return m;
      pending.push_back(child);
    }
  }
  return nullptr;
}

// The body of an attached mail as the file holds it: from after the part's header block to the
// line break before the next boundary of its multipart, decoded when the part declares base64 or
// quoted-printable. false when the file does not show where it lies (GMime then writes it anew).
bool Raw_Message_Part(const Mail& mail, GMimeObject* object, std::string& out) {
  GMimeHeaderList* headers = g_mime_object_get_header_list(object);
  const int count = headers ? g_mime_header_list_get_count(headers) : 0;
  GMimeMultipart* parent = Parent_Of(g_mime_message_get_mime_part(mail.message.get()), object);
  const char* boundary = parent ? g_mime_multipart_get_boundary(parent) : nullptr;
  if (count == 0 || !boundary || !*boundary) return false;
  const gint64 last = g_mime_header_get_offset(g_mime_header_list_get_header_at(headers, count - 1));
  if (last < 0) return false;
  // Read on from the last header in blocks until the delimiter line turns up.
  const std::string delimiter = std::string("\n--") + boundary;
  std::string text;
  size_t start = std::string::npos, end = std::string::npos;
  for (gint64 at = last;;) {
    const std::string block = File_Bytes(mail, at, 1 << 16);
    text += block;
    at += static_cast<gint64>(block.size());
    if (start == std::string::npos) {
      const size_t blank = text.find("\n\r\n"), lf = text.find("\n\n");
      if (blank != std::string::npos && (lf == std::string::npos || blank < lf)) start = blank + 3;
      else if (lf != std::string::npos) start = lf + 2;
    }
    if (start != std::string::npos) {
      for (size_t f = text.find(delimiter, start - 1); f != std::string::npos; f = text.find(delimiter, f + 1)) {
        const size_t after = f + delimiter.size();
        if (after >= text.size() && !block.empty()) break;  // the next block says what follows
        const char c = after < text.size() ? text[after] : '\n';
        if (c == '-' || c == '\r' || c == '\n' || c == ' ' || c == '\t') {
          end = f > start && text[f - 1] == '\r' ? f - 1 : f;
          break;
        }
      }
    }
    if (end != std::string::npos) break;
    if (block.empty()) return false;
  }
  if (end < start) end = start;
  std::string body = text.substr(start, end - start);
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
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  mail.options.reset(New_Options());
  mail.message.reset(g_mime_parser_construct_message(parser.get(), mail.options.get()));
  if (!mail.message) {
    fprintf(stderr, "emlsift: %s is not a MIME message\n", path);
    return -1;
  }
  mail.crlf = Ends_Lines_In_Crlf(mail.message.get());
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
  if (GMIME_IS_MESSAGE_PART(object) && Raw_Message_Part(mail, object, raw)) {
    written = g_mime_stream_write(stream, raw.data(), raw.size());
    if (written >= 0 && static_cast<size_t>(written) != raw.size()) written = -1;
  } else if (GMIME_IS_MESSAGE_PART(object)) {
    // GMime writes an attached mail anew; with the file's own line ends it comes out as it was.
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    FormatPtr format(g_mime_format_options_new());
    g_mime_format_options_set_newline_format(
        format.get(), mail.crlf ? GMIME_NEWLINE_FORMAT_DOS : GMIME_NEWLINE_FORMAT_UNIX);
    if (inner) written = g_mime_object_write_to_stream(GMIME_OBJECT(inner), format.get(), stream);
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
