// An incomplete packed resource library: FreeFileData is missing, so a client must refuse it
// and never initialise it.
#include <atomic>
#include <cstdint>

#include "satchel/Satchel.h"
#include "satchel/SatchelRecording.h"

namespace {
std::atomic<int> calls{0};
}

extern "C" SATCHEL_API bool IsLoadFromMpq() {
    return true;
}

extern "C" SATCHEL_API void GameResourcesInitialize() {
    ++calls;
}

extern "C" SATCHEL_API void* LoadFileData(const char*, std::uint32_t* size, int) {
    ++calls;
    if (size != nullptr) {
        *size = 0;
    }
    return nullptr;
}

extern "C" SATCHEL_API int SatchelMissingFreeCalls() {
    return calls.load();
}
