// The progress record a running export publishes in POSIX shared memory ("/" + mission id), and
// the handle on it. The worker creates and writes the record; the mission list and the mission
// abort, in other processes, open it read-only. The layout is shared between processes, so it is
// fixed byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// 1036 bytes, little-endian, no padding. lCurrent is the one field changed while readers look, so
// it is only ever accessed with atomic operations; the rest is written once at the start.
struct __attribute__((packed, aligned(4))) SharedProgressData {
    int32_t lCurrent;    // items done so far
    int32_t lTotal;      // items to do
    int32_t lStartTime;  // seconds since 1970
    char szMissionName[256];
    char szDomain[256];  // the task's admin e-mail, or the account shown
    char szService[256];
    char szMode[256];
};
static_assert(sizeof(SharedProgressData) == 1036);
static_assert(offsetof(SharedProgressData, lCurrent) == 0);
static_assert(offsetof(SharedProgressData, lTotal) == 4);
static_assert(offsetof(SharedProgressData, lStartTime) == 8);
static_assert(offsetof(SharedProgressData, szMissionName) == 12);
static_assert(offsetof(SharedProgressData, szDomain) == 268);
static_assert(offsetof(SharedProgressData, szService) == 524);
static_assert(offsetof(SharedProgressData, szMode) == 780);

// Handle on one shared progress record.
// A handle that could not open the record (no export of that mission runs, or its object is still
// smaller than the record) is not open: setters do nothing and getters give 0 or "". Setters act
// only on the creating handle. The constructor throws std::runtime_error "ftruncate failed" or
// "mmap failed" when an existing object cannot be sized or mapped; callers in a worker catch it.
class SharedProgress {
public:
    SharedProgress(const char* shmName, bool create);
    ~SharedProgress();
    SharedProgress(const SharedProgress&) = delete;
    SharedProgress& operator=(const SharedProgress&) = delete;

    // Unmaps and closes; removes the name only when unlink is true. The destructor then does nothing.
    void Cleanup(bool unlink);
    bool Is_Open() const { return data != nullptr; }

    void SetStartTime(int t);
    void SetTotal(int n);
    void SetCurrent(int n);
    void AddProgress(int n);  // one atomic add
    // Each stores at most 255 bytes and always ends the field with a zero byte.
    void SetMissionName(std::string_view s);
    void SetDomain(std::string_view s);
    void SetService(std::string_view s);
    void SetMode(std::string_view s);

    int GetProgress() const;
    int GetTotal() const;
    int GetStartTime() const;
    // Copies, never reading past the field whatever another process left in it.
    std::string GetMissionName() const;
    std::string GetDomain() const;
    std::string GetService() const;
    std::string GetMode() const;

private:
    void Close_Mapping();
    bool Writable() const { return data != nullptr && owner; }

    int fd = -1;
    std::string name;  // a copy: the handle never depends on the caller's text staying alive
    bool owner = false;
    SharedProgressData* data = nullptr;
};
