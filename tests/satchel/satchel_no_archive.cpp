// A complete packed resource library that has no archive: every file comes from loose files.
#include <atomic>
#include <cstdint>

#include "satchel/Satchel.h"
#include "satchel/SatchelRecording.h"

namespace {
std::atomic<int> initializeCalls{0};
}

extern "C" SATCHEL_API bool IsLoadFromMpq() {
    return false;
}

extern "C" SATCHEL_API void GameResourcesInitialize() {
    ++initializeCalls;
}

extern "C" SATCHEL_API void* LoadFileData(const char*, std::uint32_t* size, int) {
    if (size != nullptr) {
        *size = 0;
    }
    return nullptr;
}

extern "C" SATCHEL_API void FreeFileData(void*) {}

extern "C" SATCHEL_API int SatchelNoArchiveInitializeCount() {
    return initializeCalls.load();
}
