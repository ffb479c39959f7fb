// The view of one backed-up mail: its headers, its HTML body with the mail's own inline images
// embedded, made safe to show in the admin page, and its attachment list.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/filehelpers.h"

class O_APP_CGI_AGENT;

namespace qlm {

// Parameters task_id, domain_user_email, gmail_localid. {"success": true, "header", "body",
// "attachments"}.
int Gmail_Single_Info(O_APP_CGI_AGENT* agent);

// The alt texts of the HTML's images in order, duplicates kept. The search for "alt=" is not
// limited to the tag (an image without one takes the next), and an unquoted value is skipped.
std::vector<std::string> extractImgAltTexts(const std::string& html);

// Points the src of every <img ...> tag whose quoted alt equals targetAlt at
// "data:image/jpeg;base64," + base64Data. Tags without a quoted alt or src stay as they are.
void replaceImgSrcByAlt(std::string& html, const std::string& targetAlt, const std::string& base64Data);

// The HTML with the src of every <img ...> tag whose quoted alt names one of images pointed at
// "data:image/jpeg;base64," + its data, in one pass, while the data URIs written stay within
// budget bytes; a tag whose image no longer fits is left as it is (and shows its alt text).
std::string Embed_Images_By_Alt(const std::string& html, const Base64_Parts& images, size_t budget);

// The body HTML as shown: the placeholder for an empty body; otherwise the images whose alt text
// names a base64 part of the EML file embedded (only when the part is wholly base64; the file
// read once), at most twice the mail's size or 32 MiB of image data in all, and the result made
// safe (Safe_Mail_Html).
std::string Mail_View_Html(const std::string& html, const std::string& eml);

// The block shown for a mail without an HTML body.
extern const char* const kNoBodyHtml;

}  // namespace qlm
