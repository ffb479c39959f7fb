// Writing one attachment into a folder under a name that cannot escape it.
#include "emlsift.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace emlsift {

namespace {

// Room for a "(9999)" suffix within NAME_MAX, and short enough for any browser.
constexpr size_t kMaxNameBytes = 200;
constexpr size_t kMaxExtensionBytes = 16;
constexpr int kMaxClashSuffix = 9999;

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// Removes a half-written attachment: the caller must find either the whole file or none.
struct Unlink_Unless_Kept {
  int dir;
  const std::string& name;
  bool keep = false;
  ~Unlink_Unless_Kept() {
    if (!keep) unlinkat(dir, name.c_str(), 0);
  }
};

bool Is_Unsafe_Char(gunichar c) {
  // The caller reads the name back as the first double-quoted text of a line, so quotes and
  // line breaks must not survive; format characters (bidi overrides) would disguise the name.
  return c == '/' || c == '\\' || c == '"' || g_unichar_iscntrl(c) ||
         g_unichar_type(c) == G_UNICODE_FORMAT;
}

void Strip_Dots_And_Blanks(std::string& s) {
  size_t first = s.find_first_not_of(" .");
  if (first == std::string::npos) {
    s.clear();
    return;
  }
  s = s.substr(first, s.find_last_not_of(" .") - first + 1);
}

// Cuts to kMaxNameBytes on a character boundary, keeping a short extension.
void Limit_Length(std::string& s) {
  if (s.size() <= kMaxNameBytes) return;
  size_t dot = s.rfind('.');
  std::string extension;
  if (dot != std::string::npos && dot > 0 && s.size() - dot <= kMaxExtensionBytes)
    extension = s.substr(dot);
  size_t cut = kMaxNameBytes - extension.size();
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  std::string stem = s.substr(0, cut);
  Strip_Dots_And_Blanks(stem);  // the stem starts with a kept character, so it stays non-empty
  s = stem + extension;
}

int Create_Exclusive(int dir, const std::string& base, std::string& name) {
  for (int n = 0; n <= kMaxClashSuffix; ++n) {
    name = n == 0 ? base : Numbered_Name(base, n);
    int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) {
      fprintf(stderr, "emlsift: cannot create %s: %s\n", name.c_str(), strerror(errno));
      return -1;
    }
  }
  fprintf(stderr, "emlsift: every name for %s is taken\n", base.c_str());
  return -1;
}

}  // namespace

std::string Safe_File_Name(const std::string& name, long index) {
  std::string out;
  const char* p = name.data();
  const char* end = p + name.size();
  while (p < end) {
    gunichar c = g_utf8_get_char_validated(p, end - p);
    if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
      out += '_';
      ++p;
      continue;
    }
    const char* next = g_utf8_next_char(p);
    if (Is_Unsafe_Char(c)) {
      out += '_';
    } else if (c != '.' || out.empty() || out.back() != '.') {
      out.append(p, next);  // runs of dots collapse, so no ".." is left anywhere
    }
    p = next;
  }
  Strip_Dots_And_Blanks(out);  // no hidden files, no "." or ".."
  Limit_Length(out);
  if (out.empty()) out = "attachment_" + std::to_string(index);
  return out;
}

std::string Numbered_Name(const std::string& name, int n) {
  std::string suffix = "(" + std::to_string(n) + ")";
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

int Extract_Attachment(const Mail& mail, long index, const char* out_dir) {
  Fd dir;
  dir.fd = open(out_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir.fd < 0) {
    fprintf(stderr, "emlsift: cannot open folder %s: %s\n", out_dir, strerror(errno));
    return -1;
  }
  std::vector<Attachment> attachments;
  Collect_Attachments(mail, attachments);
  if (index < 0 || static_cast<size_t>(index) >= attachments.size()) {
    fprintf(stderr, "emlsift: no attachment %ld (the mail has %zu)\n", index, attachments.size());
    return -1;
  }
  const Attachment& attachment = attachments[static_cast<size_t>(index)];
  std::string name;
  int fd = Create_Exclusive(dir.fd, Safe_File_Name(attachment.filename, index), name);
  if (fd < 0) return -1;
  GPtr<GMimeStream> out(g_mime_stream_fs_new(fd));  // owns fd
  Unlink_Unless_Kept written{dir.fd, name};
  if (Write_Attachment(mail, attachment.object, out.get()) != 0 || g_mime_stream_close(out.get()) != 0) {
    fprintf(stderr, "emlsift: cannot write %s: %s\n", name.c_str(), strerror(errno));
    return -1;
  }
  if (printf("Saved attachment %ld to \"%s\"\n", index, name.c_str()) < 0 || fflush(stdout) != 0) {
    fprintf(stderr, "emlsift: cannot write the output\n");
    return -1;
  }
  written.keep = true;
  return 0;
}

}  // namespace emlsift
