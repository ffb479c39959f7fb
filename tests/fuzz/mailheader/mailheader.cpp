// The mail header readers: the first line is a From or To text, the rest an emlsift headers object.
#include <cstdlib>

#include "common/mailheader.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line, rest;
    fuzz::Split_First_Line(data, size, line, rest);
    std::string name, addr;
    qlm::parseNameEmail(line, name, addr);
    if (name.size() > line.size() || addr.size() > line.size()) abort();

    RAIIful_Json headers(Json_From_String(rest.c_str()));
    for (const char* key : {"From", "To", "Subject", "Date", ""}) (void)qlm::Get_First_Header_Value(headers.get(), key);
    return 0;
}
