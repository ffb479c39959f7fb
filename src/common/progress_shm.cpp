#include "progress_shm.h"

#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kRecordSize = sizeof(SharedProgressData);
constexpr size_t kTextField = 256;

void Store_Text(char (&field)[kTextField], std::string_view s) {
    size_t n = s.size() < kTextField - 1 ? s.size() : kTextField - 1;
    memset(field, 0, kTextField);
    memcpy(field, s.data(), n);
}

std::string Load_Text(const char (&field)[kTextField]) { return std::string(field, strnlen(field, kTextField)); }

}  // namespace

SharedProgress::SharedProgress(const char* shmName, bool create) : name(shmName ? shmName : ""), owner(create) {
    if (name.empty()) {
        owner = false;
        return;
    }
    if (create) {
        fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0) return;
        if (ftruncate(fd, kRecordSize) != 0) {
            // The handle never comes to exist, so nothing else would remove the name it made.
            close(fd);
            fd = -1;
            shm_unlink(name.c_str());
            throw std::runtime_error("ftruncate failed");
        }
        void* p = mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            close(fd);
            fd = -1;
            shm_unlink(name.c_str());
            throw std::runtime_error("mmap failed");
        }
        data = static_cast<SharedProgressData*>(p);
        __atomic_store_n(&data->lCurrent, 0, __ATOMIC_SEQ_CST);
        data->lTotal = 0;
        return;
    }
    fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return;
    // A creator between shm_open and ftruncate leaves an object too small for the record; touching
    // the mapping past its end would raise SIGBUS, so such an export counts as not running yet.
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kRecordSize)) {
        close(fd);
        fd = -1;
        return;
    }
    void* p = mmap(nullptr, kRecordSize, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        fd = -1;
        throw std::runtime_error("mmap failed");
    }
    data = static_cast<SharedProgressData*>(p);
}

SharedProgress::~SharedProgress() { Cleanup(owner); }

void SharedProgress::Close_Mapping() {
    if (data != nullptr) {
        munmap(data, kRecordSize);
        data = nullptr;
    }
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

void SharedProgress::Cleanup(bool unlink) {
    Close_Mapping();
    if (unlink && !name.empty()) shm_unlink(name.c_str());
    owner = false;
}

void SharedProgress::SetStartTime(int t) {
    if (Writable()) data->lStartTime = t;
}
void SharedProgress::SetTotal(int n) {
    if (Writable()) data->lTotal = n;
}
void SharedProgress::SetCurrent(int n) {
    if (Writable()) __atomic_store_n(&data->lCurrent, n, __ATOMIC_SEQ_CST);
}
void SharedProgress::AddProgress(int n) {
    if (Writable()) __atomic_fetch_add(&data->lCurrent, n, __ATOMIC_SEQ_CST);
}
void SharedProgress::SetMissionName(std::string_view s) {
    if (Writable()) Store_Text(data->szMissionName, s);
}
void SharedProgress::SetDomain(std::string_view s) {
    if (Writable()) Store_Text(data->szDomain, s);
}
void SharedProgress::SetService(std::string_view s) {
    if (Writable()) Store_Text(data->szService, s);
}
void SharedProgress::SetMode(std::string_view s) {
    if (Writable()) Store_Text(data->szMode, s);
}

int SharedProgress::GetProgress() const { return data ? __atomic_load_n(&data->lCurrent, __ATOMIC_SEQ_CST) : 0; }
int SharedProgress::GetTotal() const { return data ? data->lTotal : 0; }
int SharedProgress::GetStartTime() const { return data ? data->lStartTime : 0; }
std::string SharedProgress::GetMissionName() const { return data ? Load_Text(data->szMissionName) : std::string(); }
std::string SharedProgress::GetDomain() const { return data ? Load_Text(data->szDomain) : std::string(); }
std::string SharedProgress::GetService() const { return data ? Load_Text(data->szService) : std::string(); }
std::string SharedProgress::GetMode() const { return data ? Load_Text(data->szMode) : std::string(); }
