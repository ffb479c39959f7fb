// Header text with RFC 2047 encoded words, decoded to UTF-8.
//
// GMime's own decoder stops after the first of several adjacent base64 words whose text ends in
// padding ("...=?=" followed by another word), which cut folded subjects short. This one follows
// the RFC: an encoded word is "=?charset[*lang]?B|Q?text?=" with no blank or "?" in text; the
// blanks between two adjacent encoded words are dropped; adjacent words of one charset are
// converted together, so a character split across two words survives. A word that cannot be
// decoded stays as written.
#include "emlsift.h"

#include <cstring>

namespace emlsift {

namespace {

struct Word {
  std::string charset;
  std::string bytes;
};

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Decode_Q(const std::string& text, std::string& out) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=') {
      if (i + 2 >= text.size()) return false;
      const int hi = Hex(text[i + 1]), lo = Hex(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += c;
    }
  }
  return true;
}

bool Decode_B(const std::string& text, std::string& out) {
  for (char c : text)
    if (!g_ascii_isalnum(c) && c != '+' && c != '/' && c != '=') return false;
  gsize n = 0;
  guchar* raw = g_base64_decode(text.c_str(), &n);
  if (raw == nullptr && !text.empty()) return false;
  out.assign(reinterpret_cast<const char*>(raw), n);
  g_free(raw);
  return true;
}

// An encoded word starting at text[at]; its end (one past "?=") in end.
bool Parse_Word(const std::string& text, size_t at, Word& word, size_t& end) {
  if (text.compare(at, 2, "=?") != 0) return false;
  const size_t q1 = text.find('?', at + 2);
  if (q1 == std::string::npos || q1 + 2 >= text.size() || text[q1 + 2] != '?') return false;
  const char enc = static_cast<char>(g_ascii_toupper(text[q1 + 1]));
  const size_t close = text.find("?=", q1 + 3);
  if (close == std::string::npos) return false;
  const std::string encoded = text.substr(q1 + 3, close - q1 - 3);
  if (encoded.find_first_of(" \t\r\n?") != std::string::npos) return false;
  std::string charset = text.substr(at + 2, q1 - at - 2);
  if (charset.empty() || charset.find_first_of(" \t\r\n") != std::string::npos) return false;
  charset = charset.substr(0, charset.find('*'));  // RFC 2231 language tag
  word.charset = charset;
  word.bytes.clear();
  const bool ok = enc == 'B' ? Decode_B(encoded, word.bytes) : enc == 'Q' ? Decode_Q(encoded, word.bytes) : false;
  end = close + 2;
  return ok;
}

std::string To_Utf8(const Word& w) {
  gsize n = 0;
  gchar* text = g_convert(w.bytes.data(), static_cast<gssize>(w.bytes.size()), "UTF-8", w.charset.c_str(), nullptr,
                          &n, nullptr);
  if (text == nullptr) return Valid_Utf8(g_strndup(w.bytes.data(), w.bytes.size()));
  std::string out(text, n);
  g_free(text);
  return out;
}

}  // namespace

std::string Decode_Header_Text(const std::string& text) {
  std::string out;
  Word run;          // adjacent encoded words of one charset, not yet converted
  bool inRun = false;
  size_t i = 0;
  auto flush = [&]() {
    if (inRun) out += To_Utf8(run);
    inRun = false;
  };
  while (i < text.size()) {
    Word w;
    size_t end = 0;
    if (text.compare(i, 2, "=?") == 0 && Parse_Word(text, i, w, end)) {
      if (inRun && g_ascii_strcasecmp(w.charset.c_str(), run.charset.c_str()) == 0) {
        run.bytes += w.bytes;
      } else {
        flush();
        run = w;
        inRun = true;
      }
      i = end;
      // Blanks up to the next encoded word belong to no one.
      size_t j = i;
      while (j < text.size() && (text[j] == ' ' || text[j] == '\t' || text[j] == '\r' || text[j] == '\n')) ++j;
      if (j > i && text.compare(j, 2, "=?") == 0) {
        Word next;
        size_t nextEnd = 0;
        if (Parse_Word(text, j, next, nextEnd)) {
          i = j;
          continue;
        }
      }
      continue;
    }
    flush();
    out += text[i++];
  }
  flush();
  return Valid_Utf8(g_strndup(out.data(), out.size()));
}

}  // namespace emlsift
