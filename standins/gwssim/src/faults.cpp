#include "faults.h"

#include <gwssim/state.h>

#include <gwssim/json_util.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

bool Gwssim_Is_Fault_Action(const std::string& a) {
    for (const char* k : {"fail", "conn", "unreachable", "empty", "hang", "hang_noterm", "truncate", "garbage", "fail_after",
                          "conn_after", "delay"})
        if (a == k) return true;
    return false;
}

int Gwssim_Load_Faults(const std::string& root, std::vector<GwsFaultRule>& rules) {
    rules.clear();
    GwsJson o;
    int rc = Gwssim_Json_Load(root + "/faults.json", o);
    if (rc == -2) return 0;
    if (rc != 0) return rc;
    json_object* a = Gwssim_Json_Array(o.get(), "rules");
    size_t n = a ? json_object_array_length(a) : 0;
    for (size_t i = 0; i < n; ++i) {
        json_object* e = json_object_array_get_idx(a, i);
        GwsFaultRule r;
        r.tool = Gwssim_Json_Str(e, "tool");
        r.match = Gwssim_Json_Str_List(e, "match");
        r.action = Gwssim_Json_Str(e, "action");
        r.times = Gwssim_Json_Int(e, "times", 0);
        r.skip = Gwssim_Json_Int(e, "skip", 0);
        r.exit = Gwssim_Json_Int(e, "exit", -1);
        r.seen = Gwssim_Json_Int(e, "seen", 0);
        r.ms = Gwssim_Json_Int(e, "ms", 0);
        rules.push_back(std::move(r));
    }
    return 0;
}

int Gwssim_Save_Faults(const std::string& root, const std::vector<GwsFaultRule>& rules) {
    GwsJson o(json_object_new_object());
    json_object* a = json_object_new_array();
    for (const auto& r : rules) {
        json_object* e = json_object_new_object();
        Gwssim_Json_Put_Str(e, "tool", r.tool);
        Gwssim_Json_Put_Str_List(e, "match", r.match);
        Gwssim_Json_Put_Str(e, "action", r.action);
        Gwssim_Json_Put_Int(e, "times", r.times);
        Gwssim_Json_Put_Int(e, "skip", r.skip);
        if (r.exit >= 0) Gwssim_Json_Put_Int(e, "exit", r.exit);
        Gwssim_Json_Put_Int(e, "seen", r.seen);
        if (r.ms > 0) Gwssim_Json_Put_Int(e, "ms", r.ms);
        json_object_array_add(a, e);
    }
    json_object_object_add(o.get(), "rules", a);
    return Gwssim_Write_File(root + "/faults.json", Gwssim_Json_Text(o.get(), true) + "\n");
}

bool Gwssim_Rule_Matches(const GwsFaultRule& r, const std::string& tool, const std::string& joined) {
    if (r.tool != "*" && r.tool != tool) return false;
    for (const auto& m : r.match)
        if (joined.find(m) == std::string::npos) return false;
    return true;
}

int Gwssim_Lock_Calls(const std::string& root, int& fd) {
    fd = open((root + "/calls.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            fd = -1;
            return -1;
        }
    }
    return 0;
}

int Gwssim_Append_Call(const std::string& root, const std::string& line) {
    int fd = open((root + "/calls.jsonl").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    std::string text = line + "\n";
    // One write: an O_APPEND write of a line lands whole at the end.
    ssize_t w = write(fd, text.data(), text.size());
    close(fd);
    return w == (ssize_t)text.size() ? 0 : -1;
}
