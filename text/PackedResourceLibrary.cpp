#include "text/PackedResourceLibrary.h"

#include "plinth/SharedLibrary.h"

namespace {

// Any object of this module: its address tells the loader which file the module came from.
const char moduleAnchor = 0;

// The packed resource library beside this module (or, for a program installed in bin/, in its
// prefix's library folder), or "" when that folder cannot be told (then nothing is loaded: an
// empty name would make the loader hand back the main program).
std::string LibraryBesideThisModule() noexcept {
    try {
        return os::FindLibraryNearModule(&moduleAnchor, os::SharedLibraryFileName("Satchel"));
    } catch (...) {
        return {};
    }
}

// Destroyed when the module is unloaded (its destructor is registered with this module's
// exit list when it is constructed, right after the record) or at process exit.
struct ReleaseAtModuleUnload {
    PackedResourceLibrary& record;
    ~ReleaseAtModuleUnload() { record.Unload(); }
};

template <class Entry>
Entry FindEntry(void* library, const char* name) noexcept {
    try {
        return reinterpret_cast<Entry>(os::FindSharedLibrarySymbol(library, name));
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

PackedResourceLibrary& PackedResourceLibrary::Instance() {
    // The record has no destructor: code that runs after the release (a late static destructor
    // reading a table, say) finds it empty and reads from the file system.
    static PackedResourceLibrary record(LibraryBesideThisModule());
    static const ReleaseAtModuleUnload release{record};
    return record;
}

PackedResourceLibrary::PackedResourceLibrary(const std::string& libraryPath) noexcept {
    if (libraryPath.empty()) {
        return;
    }
    try {
        handle = os::LoadSharedLibrary(libraryPath);
    } catch (...) {
        handle = nullptr;
    }
    if (handle == nullptr) {
        return;
    }
    IsLoadFromMpq = FindEntry<IsLoadFromMpqEntry>(handle, "IsLoadFromMpq");
    if (IsLoadFromMpq == nullptr) {
        Unload();
        return;
    }
    GameResourcesInitialize =
        FindEntry<GameResourcesInitializeEntry>(handle, "GameResourcesInitialize");
    if (GameResourcesInitialize == nullptr) {
        Unload();
        return;
    }
    LoadFileData = FindEntry<LoadFileDataEntry>(handle, "LoadFileData");
    if (LoadFileData == nullptr) {
        Unload();
        return;
    }
    FreeFileData = FindEntry<FreeFileDataEntry>(handle, "FreeFileData");
    if (FreeFileData == nullptr) {
        Unload();
        return;
    }
    GameResourcesInitialize();
}

void PackedResourceLibrary::Unload() noexcept {
    void* library = handle;
    // Cleared first, so that no entry ever points into a library that is gone.
    Clear();
    if (library != nullptr) {
        try {
            os::FreeSharedLibrary(library);
        } catch (...) {
            // Only the text of a loader error can fail to be kept; the release itself is done.
        }
    }
}

void PackedResourceLibrary::Clear() noexcept {
    handle = nullptr;
    IsLoadFromMpq = nullptr;
    LoadFileData = nullptr;
    FreeFileData = nullptr;
    GameResourcesInitialize = nullptr;
}
