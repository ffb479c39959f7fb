// Helpers the fuzz targets share: handing an input to code that reads a file or a descriptor.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// A private folder for the whole run, removed at exit.
inline const std::string& Work_Dir() {
    static std::string dir = [] {
        const char* tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qlmfuzz.XXXXXX";
        if (!mkdtemp(templ.data())) abort();
        static std::string s_dir = templ;
        atexit([] { std::string cmd = "rm -rf '" + s_dir + "'"; (void)!system(cmd.c_str()); });
        return templ;
    }();
    return dir;
}

// Writes the bytes into name in the work folder, replacing what was there; its path.
inline std::string Write_File(const char* name, const uint8_t* data, size_t size) {
    std::string path = Work_Dir() + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
    return path;
}

// A descriptor positioned at the start of an in-memory file holding the bytes; the caller closes it.
inline int Memory_Fd(const uint8_t* data, size_t size) {
    int fd = memfd_create("fuzz", MFD_CLOEXEC);
    if (fd < 0) abort();
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
    if (lseek(fd, 0, SEEK_SET) != 0) abort();
    return fd;
}

// Splits the input at its first line break: the line (without it) and the rest.
inline void Split_First_Line(const uint8_t* data, size_t size, std::string& line, std::string& rest) {
    std::string all(reinterpret_cast<const char*>(data), size);
    size_t nl = all.find('\n');
    line = all.substr(0, nl);
    rest = nl == std::string::npos ? std::string() : all.substr(nl + 1);
}

}  // namespace fuzz
