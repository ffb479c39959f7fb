// emlsift: pieces shared by the argument reader, the mail reader and the extractor.
#pragma once

#include <gmime/gmime.h>
#include <json-c/json.h>

#include <memory>
#include <string>
#include <vector>

int Emlsift_Body(int argc, char** argv);

namespace emlsift {

// Exit statuses: the callers only tell 0 from the rest, the tests tell all three apart.
constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;

template <class T>
struct GObjectUnref {
  void operator()(T* p) const { g_object_unref(p); }
};
template <class T>
using GPtr = std::unique_ptr<T, GObjectUnref<T>>;

struct GFree {
  void operator()(void* p) const { g_free(p); }
};
using GStr = std::unique_ptr<char, GFree>;

struct OptionsFree {
  void operator()(GMimeParserOptions* p) const { g_mime_parser_options_free(p); }
};
using OptionsPtr = std::unique_ptr<GMimeParserOptions, OptionsFree>;

struct JsonPut {
  void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// A parsed mail. Parts read their content lazily from the file's stream, which the message
// references, so the message must stay alive while any part is used. The options outlive it.
struct Mail {
  OptionsPtr options;
  GPtr<GMimeMessage> message;
  GPtr<GMimeStream> stream;  // the file: parts are extracted from its bytes where GMime would rewrite them
};

// One attachment as listed and extracted; `index` is its number in MIME walk order.
struct Attachment {
  int index = 0;
  GMimeObject* object = nullptr;  // owned by the Mail
  std::string filename;           // decoded UTF-8, may be empty
};

int Load_Mail(const char* path, Mail& mail);
int Collect_Attachments(const Mail& mail, std::vector<Attachment>& out);
// The first plain or HTML body part ("plain", "html") as UTF-8; empty when the mail has none.
int Body_Text(const Mail& mail, const char* subtype, std::string& out);
// Writes the decoded bytes of an attachment to the stream; negative on a write error.
int Write_Attachment(const Mail& mail, GMimeObject* object, GMimeStream* stream);

int Print_Headers(const Mail& mail);
int Print_Body(const Mail& mail);
int Print_Attachments(const Mail& mail);
int Extract_Attachment(const Mail& mail, long index, const char* out_dir);

// The name an attachment gets on disk: one harmless path component, never empty.
std::string Safe_File_Name(const std::string& name, long index);
// The n-th alternative of a name that is already taken: "report(1).pdf".
std::string Numbered_Name(const std::string& name, int n);

// Unfolded header text with its RFC 2047 encoded words decoded, as UTF-8.
std::string Decode_Header_Text(const std::string& text);

// UTF-8 text from possibly invalid bytes; frees the input.
std::string Valid_Utf8(char* owned);
int Print_Json(json_object* root);

}  // namespace emlsift
