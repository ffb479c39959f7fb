// Google editor files: which types Drive can export, and the OpenDocument file an export gives.
// The export is a real OpenDocument package (a zip whose first entry is the uncompressed
// "mimetype"), written with stored entries and a fixed date so the same text gives the same bytes.
#include <gwssim/state.h>

#include <cstdint>

namespace {

const char kDoc[] = "application/vnd.google-apps.document";
const char kSheet[] = "application/vnd.google-apps.spreadsheet";
const char kSlides[] = "application/vnd.google-apps.presentation";

uint32_t Crc32(const std::string& s) {
    uint32_t c = 0xffffffffu;
    for (unsigned char b : s) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return ~c;
}

void Le(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += (char)((v >> (8 * i)) & 0xff);
}

struct Entry {
    std::string name, data;
};

std::string Zip_Stored(const std::vector<Entry>& entries) {
    const uint32_t kDosTime = 9u << 11, kDosDate = ((2024u - 1980u) << 9) | (1u << 5) | 8u;  // 2024-01-08 09:00
    std::string out, central;
    for (const Entry& e : entries) {
        uint32_t offset = (uint32_t)out.size(), crc = Crc32(e.data), n = (uint32_t)e.data.size();
        Le(out, 0x04034b50u, 4);
        Le(out, 10, 2);  // version needed
        Le(out, 0, 2);   // flags
        Le(out, 0, 2);   // stored
        Le(out, kDosTime, 2);
        Le(out, kDosDate, 2);
        Le(out, crc, 4);
        Le(out, n, 4);
        Le(out, n, 4);
        Le(out, (uint32_t)e.name.size(), 2);
        Le(out, 0, 2);
        out += e.name;
        out += e.data;
        Le(central, 0x02014b50u, 4);
        Le(central, 20, 2);  // made by
        Le(central, 10, 2);
        Le(central, 0, 2);
        Le(central, 0, 2);
        Le(central, kDosTime, 2);
        Le(central, kDosDate, 2);
        Le(central, crc, 4);
        Le(central, n, 4);
        Le(central, n, 4);
        Le(central, (uint32_t)e.name.size(), 2);
        Le(central, 0, 2);  // extra
        Le(central, 0, 2);  // comment
        Le(central, 0, 2);  // disk
        Le(central, 0, 2);  // internal attributes
        Le(central, 0, 4);  // external attributes
        Le(central, offset, 4);
        central += e.name;
    }
    uint32_t cd_offset = (uint32_t)out.size();
    out += central;
    Le(out, 0x06054b50u, 4);
    Le(out, 0, 2);
    Le(out, 0, 2);
    Le(out, (uint32_t)entries.size(), 2);
    Le(out, (uint32_t)entries.size(), 2);
    Le(out, (uint32_t)central.size(), 4);
    Le(out, cd_offset, 4);
    Le(out, 0, 2);
    return out;
}

std::string Xml_Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

}  // namespace

bool Gwssim_Is_Editor_Type(const std::string& mime) { return mime == kDoc || mime == kSheet || mime == kSlides; }

bool Gwssim_Is_Unexportable_Type(const std::string& mime) {
    return mime == "application/vnd.google-apps.drawing" || mime == "application/vnd.google-apps.script";
}

std::string Gwssim_Odf_Export(const std::string& mime, const std::string& text) {
    const char* odf = mime == kSheet    ? "application/vnd.oasis.opendocument.spreadsheet"
                      : mime == kSlides ? "application/vnd.oasis.opendocument.presentation"
                                        : "application/vnd.oasis.opendocument.text";
    std::string body;
    for (const std::string& line : Lines(text)) {
        std::string p = "<text:p>" + Xml_Escape(line) + "</text:p>";
        if (mime == kSheet)
            body += "<table:table-row><table:table-cell office:value-type=\"string\">" + p +
                    "</table:table-cell></table:table-row>";
        else
            body += p;
    }
    if (mime == kSheet) body = "<office:spreadsheet><table:table table:name=\"Sheet1\">" + body + "</table:table></office:spreadsheet>";
    else if (mime == kSlides)
        body = "<office:presentation><draw:page draw:name=\"page1\"><draw:frame><draw:text-box>" + body +
               "</draw:text-box></draw:frame></draw:page></office:presentation>";
    else body = "<office:text>" + body + "</office:text>";
    const std::string ns =
        " xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\""
        " xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\""
        " xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\""
        " xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\"";
    std::string content = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content" + ns +
                          " office:version=\"1.2\"><office:body>" + body + "</office:body></office:document-content>\n";
    std::string manifest =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" "
        "manifest:version=\"1.2\">\n <manifest:file-entry manifest:full-path=\"/\" manifest:media-type=\"" +
        std::string(odf) +
        "\"/>\n <manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/>\n"
        "</manifest:manifest>\n";
    return Zip_Stored({{"mimetype", odf}, {"META-INF/manifest.xml", manifest}, {"content.xml", content}});
}
