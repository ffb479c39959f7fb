// The request readers: a query string (first line of the input) and an urlencoded POST body (the
// rest), read by the CGI agent, then the checks the actions run over the parameters.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "fuzz_input.h"
#include "plat_cgi.h"
#include "web/request_params.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Error replies go to standard output; the fuzzer reports on standard error.
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string query, body;
    fuzz::Split_First_Line(data, size, query, body);
    setenv("QUERY_STRING", query.c_str(), 1);
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_TYPE", "application/x-www-form-urlencoded; charset=UTF-8", 1);
    setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
    int fd = fuzz::Memory_Fd(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    dup2(fd, STDIN_FILENO);
    close(fd);

    O_APP_CGI_AGENT agent(0);
    for (const char* name : {"task_id", "admin_email", "start", "limit", "path", "a", ""}) {
        const char* value = agent.Get_Param(name);
        size_t len = 0;
        int rc = agent.Get_Param_Length(name, len);
        // Both readers see the same parameter, and the text is the value up to a NUL.
        if ((value != nullptr) != (rc == 0)) abort();
        if (value && strlen(value) > len) abort();
        if (value && qlm::Param_Has_Nul(&agent, name) != (strlen(value) != len)) abort();
        int b = 0, i = 0;
        int64_t l = 0;
        (void)agent.Get_Boolean_Param(name, b);
        (void)agent.Get_Integer_Param(name, i);
        (void)agent.Get_Integer_Param(name, l);
    }
    bool refused = false;
    (void)qlm::Get_Admin_Email_Param(&agent, refused);
    int start = 0, limit = 0;
    (void)qlm::Get_Paging_Params(&agent, start, limit);
    std::string decoded = Cgi_Url_Decode(reinterpret_cast<const char*>(data), size);
    if (decoded.size() > size) abort();
    return 0;
}
