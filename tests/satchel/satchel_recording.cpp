// A packed resource library that serves files from memory and records how it is called.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "satchel/Satchel.h"
#include "satchel/SatchelRecording.h"

namespace {

struct LoadCall {
    std::string name;
    int mode;
};

struct Recording {
    std::mutex mutex;
    std::map<std::string, std::string> files;
    std::deque<LoadCall> loads;  // a deque: recorded names keep their address
    std::set<void*> outstanding;
    bool loadFromMpq = true;
    int initializeCount = 0;
    int isLoadFromMpqCount = 0;
    int freeCount = 0;
};

Recording& State() {
    static Recording recording;
    return recording;
}

// Runs `use` on the recording under its mutex and returns what it returns.
template <class Use>
auto Locked(Use use) {
    Recording& r = State();
    const std::lock_guard lock(r.mutex);
    return use(r);
}

}  // namespace

extern "C" SATCHEL_API bool IsLoadFromMpq() {
    return Locked([](Recording& r) {
        ++r.isLoadFromMpqCount;
        return r.loadFromMpq;
    });
}

extern "C" SATCHEL_API void GameResourcesInitialize() {
    Locked([](Recording& r) { ++r.initializeCount; });
}

extern "C" SATCHEL_API void* LoadFileData(const char* nativeName, std::uint32_t* size, int mode) {
    Recording& r = State();
    const std::lock_guard lock(r.mutex);
    r.loads.push_back({nativeName != nullptr ? nativeName : "", mode});
    if (size != nullptr) {
        *size = 0;
    }
    const auto it = r.files.find(r.loads.back().name);
    if (size == nullptr || it == r.files.end()) {
        return nullptr;
    }
    void* data = std::malloc(it->second.empty() ? 1 : it->second.size());
    if (data == nullptr) {
        return nullptr;
    }
    std::memcpy(data, it->second.data(), it->second.size());
    r.outstanding.insert(data);
    *size = static_cast<std::uint32_t>(it->second.size());
    return data;
}

extern "C" SATCHEL_API void FreeFileData(void* data) {
    Recording& r = State();
    const std::lock_guard lock(r.mutex);
    if (r.outstanding.erase(data) != 0) {
        ++r.freeCount;
        std::free(data);
    }
}

extern "C" SATCHEL_API void SatchelRecordingReset() {
    Recording& r = State();
    const std::lock_guard lock(r.mutex);
    r.files.clear();
    r.loads.clear();
    r.loadFromMpq = true;
    r.initializeCount = 0;
    r.isLoadFromMpqCount = 0;
    r.freeCount = 0;
    // Outstanding buffers stay tracked: a client may still free them after a reset.
}

extern "C" SATCHEL_API void SatchelRecordingSetFile(const char* name, const void* data,
                                                    std::uint32_t size) {
    Locked(
        [&](Recording& r) { r.files[name] = std::string(static_cast<const char*>(data), size); });
}

extern "C" SATCHEL_API void SatchelRecordingSetLoadFromMpq(bool value) {
    Locked([value](Recording& r) { r.loadFromMpq = value; });
}

extern "C" SATCHEL_API int SatchelRecordingInitializeCount() {
    return Locked([](Recording& r) { return r.initializeCount; });
}

extern "C" SATCHEL_API int SatchelRecordingIsLoadFromMpqCount() {
    return Locked([](Recording& r) { return r.isLoadFromMpqCount; });
}

extern "C" SATCHEL_API int SatchelRecordingLoadCount() {
    return Locked([](Recording& r) { return static_cast<int>(r.loads.size()); });
}

extern "C" SATCHEL_API bool SatchelRecordingLoadCall(int index, const char** name, int* mode) {
    Recording& r = State();
    const std::lock_guard lock(r.mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= r.loads.size()) {
        return false;
    }
    const LoadCall& call = r.loads[static_cast<std::size_t>(index)];
    if (name != nullptr) {
        *name = call.name.c_str();
    }
    if (mode != nullptr) {
        *mode = call.mode;
    }
    return true;
}

extern "C" SATCHEL_API int SatchelRecordingFreeCount() {
    return Locked([](Recording& r) { return r.freeCount; });
}

extern "C" SATCHEL_API int SatchelRecordingOutstandingBuffers() {
    return Locked([](Recording& r) { return static_cast<int>(r.outstanding.size()); });
}
