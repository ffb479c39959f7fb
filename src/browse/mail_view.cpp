#include "browse/mail_view.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string_view>

#include "web/browse_params.h"
#include "browse/mail_files.h"
#include "browse/safe_html.h"
#include "common/filehelpers.h"
#include "dbcontrol/gmail_db.h"
#include "web/reply.h"
#include "web/request_params.h"
#include "orvenna_task.h"
#include "plat_cgi.h"
#include "plat_json.h"

namespace qlm {

const char* const kNoBodyHtml =
    "<div style=\"margin:24px auto;max-width:420px;padding:16px 20px;border:1px dashed #c9ccd1;border-radius:8px;"
    "background:#f6f7f9;color:#8a9099;font-size:13px;line-height:1.5;text-align:center;font-family:system-ui,"
    "-apple-system,'Segoe UI',sans-serif;\"><div style=\"font-size:11px;letter-spacing:.08em;text-transform:"
    "uppercase;color:#aab0b8;margin-bottom:4px;\">System message</div>This email has no body content.</div>";

namespace {

constexpr const char* kLocalIdParam = "gmail_localid";
constexpr const char* kAccountParam = "domain_user_email";

// The most image data one view embeds, whatever the mail's size: a few images named by thousands
// of tags would otherwise multiply a small mail into a reply of gigabytes.
constexpr size_t kMaxEmbeddedBytes = 32u << 20;

constexpr std::string_view kDataUriPrefix = "data:image/jpeg;base64,";

// The quoted value that starts at text[open] (a quote), as [open + 1, close); false when text[open]
// is not a quote or the value is not closed.
bool Quoted_Value(std::string_view text, size_t open, size_t& close) {
    if (open >= text.size() || (text[open] != '"' && text[open] != '\'')) return false;
    close = text.find(text[open], open + 1);
    return close != std::string::npos;
}

// In the tag, the first "name=" followed by a quoted value: its bounds [begin, end).
bool Tag_Value(std::string_view tag, const char* name, size_t& begin, size_t& end) {
    const std::string key = std::string(name) + "=";
    for (size_t at = tag.find(key); at != std::string::npos; at = tag.find(key, at + 1)) {
        const size_t open = at + key.size();
        if (Quoted_Value(tag, open, end)) {
            begin = open + 1;
            return true;
        }
    }
    return false;
}

// The compact JSON text of a list holding one text: ["Bob"].
std::string One_Element_List_Text(const std::string& text) {
    RAIIful_Json list(Json_List_Init());
    Json_List_Add_Str(list.get(), text.c_str());
    const char* out = Json_To_Plain_String(list.get());
    return out ? out : "[]";
}

}  // namespace

std::vector<std::string> extractImgAltTexts(const std::string& html) {
    std::vector<std::string> alts;
    size_t pos = 0;
    for (;;) {
        const size_t img = html.find("<img", pos);
        if (img == std::string::npos) break;
        const size_t alt = html.find("alt=", img);
        if (alt == std::string::npos) break;
        size_t close = 0;
        const size_t open = alt + 4;
        if (open < html.size() && html[open] != '"' && html[open] != '\'') {
            pos = open;
            continue;
        }
        if (!Quoted_Value(html, open, close)) break;
        alts.push_back(html.substr(open + 1, close - open - 1));
        pos = close;
    }
    return alts;
}

std::string Embed_Images_By_Alt(const std::string& html, const Base64_Parts& images, size_t budget) {
    std::string out;
    size_t copied = 0, pos = 0;  // html before copied is in out; the next tag is searched from pos
    for (;;) {
        const size_t start = html.find("<img", pos);
        if (start == std::string::npos) break;
        const size_t end = html.find('>', start);
        if (end == std::string::npos) break;
        const std::string_view tag = std::string_view(html).substr(start, end - start + 1);
        pos = end + 1;
        size_t altBegin = 0, altEnd = 0, srcBegin = 0, srcEnd = 0;
        if (!Tag_Value(tag, "alt", altBegin, altEnd) || !Tag_Value(tag, "src", srcBegin, srcEnd)) continue;
        const auto image = images.find(std::string(tag.substr(altBegin, altEnd - altBegin)));
        if (image == images.end()) continue;
        const size_t uriSize = kDataUriPrefix.size() + image->second->size();
        if (uriSize > budget) continue;  // shown by its alt text, as a remote image is
        budget -= uriSize;
        out.append(html, copied, start + srcBegin - copied);
        out += kDataUriPrefix;
        out += *image->second;
        copied = start + srcEnd;
        pos = copied;
    }
    if (copied == 0) return html;
    out.append(html, copied, std::string::npos);
    return out;
}

void replaceImgSrcByAlt(std::string& html, const std::string& targetAlt, const std::string& base64Data) {
    const Base64_Parts one{{targetAlt, std::make_shared<const std::string>(base64Data)}};
    html = Embed_Images_By_Alt(html, one, SIZE_MAX);
}

std::string Mail_View_Html(const std::string& html, const std::string& eml) {
    if (html.empty()) return kNoBodyHtml;
    const std::vector<std::string> alts = extractImgAltTexts(html);
    Base64_Parts images = Base64_Parts_By_Filename(eml, std::set<std::string>(alts.begin(), alts.end()));
    // Only base64's own characters may go into the attribute: a crafted part could close it. Each
    // body is looked at once, however many names share it.
    std::map<const std::string*, bool> clean;
    for (auto it = images.begin(); it != images.end();) {
        const auto known = clean.emplace(it->second.get(), false);
        if (known.second) known.first->second = Is_Base64_Text(*it->second);
        it = known.first->second ? std::next(it) : images.erase(it);
    }
    // Without images to embed the HTML is read as it stands, not copied first: a large mail's
    // view holds one copy less.
    if (images.empty()) return Safe_Mail_Html(html);
    const int64_t size = getFileSize(eml);
    const size_t budget = std::min(kMaxEmbeddedBytes, static_cast<size_t>(std::max<int64_t>(size, 0)) * 2);
    return Safe_Mail_Html(Embed_Images_By_Alt(html, images, budget));
}

int Gmail_Single_Info(O_APP_CGI_AGENT* agent) {
    GWSTask loaded;
    if (Load_Request_Task(agent, loaded) != 0) return 0;
    const char* account = Account_Param(agent, kAccountParam);
    if (account == nullptr) return 0;
    if (loaded.Validate_Task_Data() != 0) {
        Reply_Error(kReplyFailed, "task_id");
        return 0;
    }
    const char* task = loaded.Get_Task_ID();
    int counts[6];
    if (!Is_Dir(Mail_Store_Dir(task, account)) || Gmail_Get_Folder_Counts(account, task, counts) != 0) {
        Reply_Error(kReplyBadParam, kAccountParam);
        return 0;
    }
    const char* localid = Required_Param(agent, kLocalIdParam);
    if (localid == nullptr || Checked_Component(localid, kLocalIdParam) == nullptr) return 0;
    const std::string eml = Eml_Path(task, account, localid);
    RAIIful_Json headersOut, bodyOut, attachmentsOut;
    PT_JSON headers = nullptr;
    // A name that is not a plain file of the store (gone, a folder, a link) is not a mail.
    if (!Is_Regular_File(eml) || Run_Emlsift(eml, "--header", headersOut) != 0 ||
        Run_Emlsift(eml, "--html", bodyOut) != 0 || Run_Emlsift(eml, "--a", attachmentsOut) != 0 ||
        Json_Dict_Find_Dict(headersOut.get(), "headers", headers) != 0) {
        Reply_Error(kReplyFailed, kLocalIdParam);
        return 0;
    }

    // The added keys win over headers of the same spelling.
    PT_JSON header = Json_Obj_Dup(headers);
    const Mail_Fields f = Fields_Of(headersOut.get(), nullptr);
    Json_Dict_Add_Int64(header, "date", f.date);
    Json_Dict_Add_Str(header, "sender", removeOuterQuotes(f.sender).c_str());
    Json_Dict_Add_Str(header, "sender_mail", f.senderMail.c_str());
    Json_Dict_Add_Str(header, "recipient", One_Element_List_Text(removeOuterQuotes(f.recipient)).c_str());
    Json_Dict_Add_Str(header, "recipient_mail", One_Element_List_Text(f.recipientMail).c_str());

    PT_JSON body = Json_Obj_Dup(bodyOut.get());
    const char* html = nullptr;
    Json_Dict_Find_Str(body, "html", html);
    Json_Dict_Add_Str(body, "html", Mail_View_Html(html ? html : "", eml).c_str());

    PT_JSON list = nullptr;
    PT_JSON attachments = Json_Dict_Find_List(attachmentsOut.get(), "attachments", list) == 0 ? Json_Obj_Dup(list)
                                                                                              : Json_List_Init();
    RAIIful_Json reply(Json_Dict_Init());
    Json_Dict_Add_Bool(reply.get(), "success", true);
    Json_Dict_Add_Dict(reply.get(), "header", header);
    Json_Dict_Add_Dict(reply.get(), "body", body);
    Json_Dict_Add_List(reply.get(), "attachments", attachments);
    Reply_Json(reply.get());
    return 0;
}

}  // namespace qlm
