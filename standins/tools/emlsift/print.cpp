// The three JSON answers: headers, body, attachment list (shapes in emlsift.cpp).
#include "emlsift.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

namespace emlsift {

namespace {

// Callers look headers up by these exact spellings, whatever case the sender used.
constexpr const char* kKnownNames[] = {
    "From",        "To",          "Cc",          "Bcc",
    "Subject",     "Date",        "Reply-To",    "Sender",
    "Message-ID",  "In-Reply-To", "References",  "Return-Path",
    "Received",    "MIME-Version", "Content-Type", "Content-Transfer-Encoding",
    "Content-Disposition", "Content-ID", "Delivered-To", "List-Unsubscribe",
};

std::string Ascii_Lower(const std::string& s) {
  GStr lower(g_ascii_strdown(s.c_str(), -1));
  return lower.get();
}

// One key per header name, case-insensitively: a known name gets its usual spelling, any
// other the spelling of its first occurrence.
std::string Header_Key(const std::string& name, std::map<std::string, std::string>& keys) {
  std::string lower = Ascii_Lower(name);
  auto found = keys.find(lower);
  if (found != keys.end()) return found->second;
  std::string key = name;
  for (const char* known : kKnownNames)
    if (g_ascii_strcasecmp(known, name.c_str()) == 0) key = known;
  keys.emplace(lower, key);
  return key;
}

// GMime keeps the top-level Content-* headers on the body part; both lists together, in file
// order, are the mail's header block.
std::vector<GMimeHeader*> Top_Headers(const Mail& mail) {
  std::vector<GMimeHeader*> headers;
  auto add = [&headers](GMimeObject* object) {
    GMimeHeaderList* list = object ? g_mime_object_get_header_list(object) : nullptr;
    int count = list ? g_mime_header_list_get_count(list) : 0;
    for (int i = 0; i < count; ++i) headers.push_back(g_mime_header_list_get_header_at(list, i));
  };
  add(GMIME_OBJECT(mail.message.get()));
  add(g_mime_message_get_mime_part(mail.message.get()));
  std::stable_sort(headers.begin(), headers.end(), [](GMimeHeader* a, GMimeHeader* b) {
    return g_mime_header_get_offset(a) < g_mime_header_get_offset(b);
  });
  return headers;
}

// The value as written, unfolded, with encoded words decoded; quotes around display names stay.
std::string Header_Value(GMimeHeader* header) {
  const char* raw = g_mime_header_get_raw_value(header);
  GStr unfolded(g_mime_utils_header_unfold(raw ? raw : ""));
  return Decode_Header_Text(unfolded.get());
}

json_object* New_String(const std::string& s) {
  return json_object_new_string_len(s.data(), static_cast<int>(s.size()));
}

int Print_Member(const char* key, JsonPtr value) {
  JsonPtr root(json_object_new_object());
  json_object_object_add(root.get(), key, value.release());
  return Print_Json(root.get());
}

}  // namespace

int Print_Json(json_object* root) {
  const char* text =
      json_object_to_json_string_ext(root, JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_NOSLASHESCAPE);
  if (!text || fputs(text, stdout) < 0 || fputc('\n', stdout) < 0 || fflush(stdout) != 0) {
    fprintf(stderr, "emlsift: cannot write the output\n");
    return -1;
  }
  return 0;
}

int Print_Headers(const Mail& mail) {
  JsonPtr headers(json_object_new_object());
  std::map<std::string, std::string> keys;
  for (GMimeHeader* header : Top_Headers(mail)) {
    const char* name = g_mime_header_get_name(header);
    std::string key = Header_Key(Valid_Utf8(g_strdup(name ? name : "")), keys);
    json_object* values = nullptr;
    if (!json_object_object_get_ex(headers.get(), key.c_str(), &values)) {
      values = json_object_new_array();
      json_object_object_add(headers.get(), key.c_str(), values);
    }
    json_object_array_add(values, New_String(Header_Value(header)));
  }
  return Print_Member("headers", std::move(headers));
}

int Print_Body(const Mail& mail) {
  std::string html, text;
  Body_Text(mail, "html", html);
  Body_Text(mail, "plain", text);
  JsonPtr root(json_object_new_object());
  json_object_object_add(root.get(), "html", New_String(html));
  json_object_object_add(root.get(), "text", New_String(text));
  return Print_Json(root.get());
}

int Print_Attachments(const Mail& mail) {
  std::vector<Attachment> attachments;
  Collect_Attachments(mail, attachments);
  JsonPtr list(json_object_new_array());
  for (const Attachment& a : attachments) {
    GPtr<GMimeStream> counter(g_mime_stream_null_new());
    if (Write_Attachment(mail, a.object, counter.get()) != 0) {
      fprintf(stderr, "emlsift: cannot decode attachment %d\n", a.index);
      return -1;
    }
    GStr type(g_mime_content_type_get_mime_type(g_mime_object_get_content_type(a.object)));
    GStr type_lower(g_ascii_strdown(type ? type.get() : "application/octet-stream", -1));
    const char* content_id = g_mime_object_get_content_id(a.object);
    const char* disposition = g_mime_object_get_disposition(a.object);
    bool is_inline = disposition && g_ascii_strcasecmp(disposition, "inline") == 0;

    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "index", json_object_new_int(a.index));
    json_object_object_add(entry, "filename", New_String(a.filename));
    json_object_object_add(entry, "content_type", json_object_new_string(type_lower.get()));
    json_object_object_add(entry, "size",
                           json_object_new_int64(static_cast<int64_t>(GMIME_STREAM_NULL(counter.get())->written)));
    json_object_object_add(entry, "content_id",
                           New_String(Valid_Utf8(g_strdup(content_id ? content_id : ""))));
    json_object_object_add(entry, "disposition",
                           json_object_new_string(is_inline ? "inline" : "attachment"));
    json_object_array_add(list.get(), entry);
  }
  return Print_Member("attachments", std::move(list));
}

}  // namespace emlsift
