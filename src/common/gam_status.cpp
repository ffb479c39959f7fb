#include "common/gam_status.h"

#include <fstream>

namespace qlm {

namespace {

// The output's first line holds something other than blanks.
bool Has_Header_Line(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) return false;
    return line.find_first_not_of(" \t\r") != std::string::npos;
}

}  // namespace

bool Gam_Listing_Readable(int iRunResult, int iExitStatus, const std::string& strOutPath) {
    if (iRunResult < 0 || (iExitStatus != 0 && iExitStatus != kGamNoEntitiesStatus)) return false;
    return Has_Header_Line(strOutPath);
}

}  // namespace qlm
