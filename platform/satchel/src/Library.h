// The packed resource library's state: the archive it mounted, its checked directory and the
// buffers handed out from it. The library keeps one for the process behind its entry points;
// the archive fuzz target makes one per input.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

#include "ArchiveIndex.h"
#include "satchel/Satchel.h"

namespace satchel::detail {

/// Writes "Satchel: <text>" as one line on standard error: the one place errors leave the
/// library.
void Log(const std::string& text);

/// Neither copied nor moved (its mutex is neither): buffers and the mount belong to one place.
class Library {
public:
    /// Unmounts the archive, and shuts PhysFS down if this library started it.
    ~Library();

    /// GameResourcesInitialize: reads the configuration and mounts the archive, on the first
    /// call only.
    void Initialize();
    /// IsLoadFromMpq.
    bool IsLoadFromArchive();
    /// LoadFileData.
    void* Load(const char* nativeName, std::uint32_t* size, int mode);
    /// FreeFileData.
    void Free(void* data);

private:
    bool StartPhysfs();

    std::mutex mutex;
    unsigned initializeCalls = 0;
    bool ownsPhysfs = false;
    bool mounted = false;
    bool filesMode = false;
    std::uint64_t maxMemberSize = kDefaultMaxMemberSize;
    std::string archive;
    ArchiveIndex index;
    std::unordered_set<void*> buffers;  // handed out by Load and not yet freed
};

}  // namespace satchel::detail
