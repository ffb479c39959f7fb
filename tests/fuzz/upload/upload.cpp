// The key upload of a raw body: the first line of the input is CONTENT_LENGTH, the rest the body on
// standard input; its first byte also picks how much an earlier attempt had stored. The file never
// holds more than the body, nor more than the key limit.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "fuzz_input.h"
#include "plat_upload.h"
#include "upload/upload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string length, body;
    fuzz::Split_First_Line(data, size, length, body);
    // Multipart bodies are read by the process's one parser; here the body is raw.
    unsetenv("CONTENT_TYPE");
    setenv("CONTENT_LENGTH", length.c_str(), 1);
    int fd = fuzz::Memory_Fd(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    dup2(fd, STDIN_FILENO);
    close(fd);

    std::string path = fuzz::Work_Dir() + "/key.json";
    unlink(path.c_str());
    Upload_Session session;
    session.strFilePath = path;
    session.iOffset = size ? data[0] % 4 : 0;
    const uint8_t stored[] = "xxx";
    if (session.iOffset > 0) fuzz::Write_File("key.json", stored, static_cast<size_t>(session.iOffset));
    int64_t rc = qlm::Upload_File(session);
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (st.st_size > qlm::kMaxKeyUploadBytes + 4) abort();
        if (rc >= 0 && rc != st.st_size) abort();
    }
    return 0;
}
