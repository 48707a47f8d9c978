// The packed resource library's four entry points, over one Library (Library.h) for the
// process, which runs its destructor when the library is unloaded or the process exits.
#include <exception>
#include <string>

#include "Library.h"
#include "satchel/Satchel.h"

namespace {

using satchel::detail::Library;
using satchel::detail::Log;

Library& GetLibrary() {
    static Library library;
    return library;
}

}  // namespace

// Nothing may leave an entry point as an exception: the caller is C code across a library
// boundary.
extern "C" SATCHEL_API bool IsLoadFromMpq() {
    try {
        return GetLibrary().IsLoadFromArchive();
    } catch (...) {
        return false;
    }
}

extern "C" SATCHEL_API void GameResourcesInitialize() {
    try {
        GetLibrary().Initialize();
    } catch (const std::exception& e) {
        Log(std::string("GameResourcesInitialize: ") + e.what());
    } catch (...) {
        Log("GameResourcesInitialize: unknown exception");
    }
}

extern "C" SATCHEL_API void* LoadFileData(const char* nativeName, std::uint32_t* size, int mode) {
    try {
        return GetLibrary().Load(nativeName, size, mode);
    } catch (const std::exception& e) {
        Log(std::string("LoadFileData: ") + e.what());
    } catch (...) {
        Log("LoadFileData: unknown exception");
    }
    if (size != nullptr) {
        *size = 0;
    }
    return nullptr;
}

extern "C" SATCHEL_API void FreeFileData(void* data) {
    try {
        GetLibrary().Free(data);
    } catch (...) {
        Log("FreeFileData: unknown exception");
    }
}
