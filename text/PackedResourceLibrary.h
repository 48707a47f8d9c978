// PackedResourceLibrary: the module's bridge to the packed resource library (libSatchel.so),
// which reads the client's resources from one packed archive instead of loose files.
//
// The module does not link against that library: it loads it at run time from the folder of
// the module itself, looks up its four C entry points, initialises it once and then asks it,
// before every read, whether resources come from the archive. When the library is missing or
// incomplete the record stays empty and every read goes to the file system.
//
// Invariant: either `handle` and all four entries are set, or all five are null.
//
// Thread safety: Instance() may be called from any thread (its construction runs once). The
// entries may be called from any thread; the library serialises its own work. Unload() runs
// when the module is unloaded and must not race with a read.
#pragma once

#include <cstdint>
#include <string>

class PackedResourceLibrary {
public:
    using IsLoadFromMpqEntry = bool (*)();
    using LoadFileDataEntry = void* (*)(const char* nativeName, std::uint32_t* size, int mode);
    using FreeFileDataEntry = void (*)(void* data);
    using GameResourcesInitializeEntry = void (*)();

    /// The third argument of LoadFileData: read the whole file into one new buffer.
    static constexpr int kLoadWholeFile = 2;

    /// The module's record, made on the first call: the library is looked for beside the
    /// module that contains this code, by its platform file name ("libSatchel.so"), or, for a
    /// program installed in bin/, in bin/../lib (os::FindLibraryNearModule). A missing
    /// or incomplete library is not looked for again while the module stays loaded. The
    /// library is released when the module is unloaded (or the process ends).
    static PackedResourceLibrary& Instance();

    /// An empty record.
    PackedResourceLibrary() noexcept = default;
    /// Loads the library at `libraryPath`, looks up IsLoadFromMpq, GameResourcesInitialize,
    /// LoadFileData and FreeFileData in that order, releases the library at the first missing
    /// entry, and calls GameResourcesInitialize once when all four were found. Failures leave
    /// the record empty and are not logged. Never throws. The module itself uses Instance();
    /// this constructor serves tools and tests that name the library's place.
    explicit PackedResourceLibrary(const std::string& libraryPath) noexcept;

    PackedResourceLibrary(const PackedResourceLibrary&) = delete;
    PackedResourceLibrary& operator=(const PackedResourceLibrary&) = delete;

    /// Whether the library is loaded (and, by the invariant, complete and initialised).
    bool IsLoaded() const noexcept { return handle != nullptr; }
    /// False when not loaded; otherwise the library's IsLoadFromMpq(), asked anew each time.
    bool IsLoadFromArchive() const noexcept { return IsLoaded() && IsLoadFromMpq(); }
    /// Releases the library if loaded and clears the handle and all entries. A second call
    /// does nothing. Buffers from LoadFileData must have been freed before.
    void Unload() noexcept;

    // The record, in this order. Call the entries only while IsLoaded().
    void* handle = nullptr;
    IsLoadFromMpqEntry IsLoadFromMpq = nullptr;
    LoadFileDataEntry LoadFileData = nullptr;
    FreeFileDataEntry FreeFileData = nullptr;
    GameResourcesInitializeEntry GameResourcesInitialize = nullptr;

private:
    void Clear() noexcept;
};
