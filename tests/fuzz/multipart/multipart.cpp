// The multipart parser of the key upload: the first line of the input is the Content-Type, the
// rest the body, streamed as the upload does (passing to the file part, then its data).
#include <unistd.h>

#include <cstdlib>

#include "fuzz_input.h"
#include "plat_upload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string contentType, body;
    fuzz::Split_First_Line(data, size, contentType, body);
    std::string boundary = Multipart_Boundary(contentType.c_str());
    if (boundary.empty()) boundary = "b";
    int fd = fuzz::Memory_Fd(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    {
        // A declared length below, at and beyond the body's real one.
        int64_t length = body.empty() ? -1 : static_cast<int64_t>(body.size()) - (data[0] % 3) + 1;
        Multipart_Parser parser(fd, boundary, length);
        int64_t stored = 0;
        parser.Set_Upload_File_Callback(
            nullptr,
            [&stored](Part_Info&, char*, int len) {
                stored += len;
                return len;
            },
            nullptr, nullptr, nullptr);
        for (int parts = 0; parts < 8 && parser.Parse_Until_File_Upload() == 1; ++parts) {
            if (parser.Parse_One_Part() != 0) break;
        }
        // No part hands out more bytes than the body holds.
        if (stored > static_cast<int64_t>(body.size())) abort();
    }
    close(fd);
    return 0;
}
