#include "common/listing_check.h"

#include <fstream>
#include <sstream>

#include "common/csvreader.h"

namespace qlm::listing {

json_object* Load_Json_Listing(const std::string& path, std::string& problem) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem = "is unreadable: the output is missing";
        return nullptr;
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    const std::string text = buf.str();
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        problem = "is unreadable: the output is empty";
        return nullptr;
    }
    json_tokener* tok = json_tokener_new();
    if (tok == nullptr) {
        problem = "is unreadable: it cannot be parsed";
        return nullptr;
    }
    json_object* value = json_tokener_parse_ex(tok, text.data(), static_cast<int>(text.size()));
    const json_tokener_error err = json_tokener_get_error(tok);
    const size_t end = json_tokener_get_parse_end(tok);
    json_tokener_free(tok);
    if (err == json_tokener_continue) {
        problem = "is incomplete: the JSON reply is cut short";
    } else if (err != json_tokener_success || value == nullptr) {
        problem = "is unreadable: the output is not JSON";
    } else if (text.find_first_not_of(" \t\r\n", end) != std::string::npos) {
        problem = "is unreadable: text follows the JSON reply";
    } else {
        return value;
    }
    json_object_put(value);
    return nullptr;
}

std::string Check_Tree_Count_Line(const std::string& path, long long topRows) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::getline(in, line);
    const std::string mark = ", Print ";
    const size_t at = line.find(mark);
    int64_t stated = -1;
    if (at != std::string::npos) {
        const size_t from = at + mark.size();
        const size_t to = line.find(' ', from);
        if (to != std::string::npos && line.compare(to, 11, " Drive File") == 0)
            csvx::ToInt64(line.substr(from, to - from), stated);
    }
    if (stated < 0) return "is unreadable: its first line states no count";
    if (stated == topRows) return std::string();
    return "is incomplete: it states " + std::to_string(stated) + " top rows but holds " + std::to_string(topRows);
}

std::string Check_Against_Count(size_t listed, int64_t counted) {
    if (counted < 0 || static_cast<uint64_t>(listed) * 10 >= static_cast<uint64_t>(counted) * 9) return std::string();
    return "is incomplete: it holds " + std::to_string(listed) + " of the " + std::to_string(counted) +
           " messages counted";
}

std::string Listing_Problem_Text(const std::string& what, const std::string& who, const std::string& problem) {
    return what + " of " + who + " " + problem + ".";
}

}  // namespace qlm::listing
