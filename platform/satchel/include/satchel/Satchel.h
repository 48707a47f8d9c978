// The packed resource library's interface: four C entry points that a client looks up by name
// at run time (dlopen/dlsym, or LoadLibrary/GetProcAddress on Windows) and calls without
// linking against the library.
//
// The library reads one zip archive through PhysFS. Where the archive comes from and how a
// developer forces loose files is described in platform/satchel/README.md. Every entry point
// is safe to call from any thread; calls are serialised inside the library. Nothing is thrown
// across this interface: failures come back as false or null and as one line on standard
// error that begins with "Satchel:".
#pragma once

#include <cstdint>

#if defined(_WIN32)
#if defined(SATCHEL_BUILDING)
#define SATCHEL_API __declspec(dllexport)
#else
#define SATCHEL_API __declspec(dllimport)
#endif
#else
#define SATCHEL_API __attribute__((visibility("default")))
#endif

namespace satchel {

/// The only mode LoadFileData understands: read the whole file into one new buffer.
inline constexpr int kLoadWholeFile = 2;

/// The largest member LoadFileData reads unless SATCHEL_MAX_MEMBER_SIZE names another limit
/// (a whole number of bytes from 1 to UINT32_MAX): 64 MiB, far beyond any real table.
inline constexpr std::uint64_t kDefaultMaxMemberSize = std::uint64_t{64} << 20;

/// Names under which a client looks the entry points up.
inline constexpr const char* kIsLoadFromMpqName = "IsLoadFromMpq";
inline constexpr const char* kGameResourcesInitializeName = "GameResourcesInitialize";
inline constexpr const char* kLoadFileDataName = "LoadFileData";
inline constexpr const char* kFreeFileDataName = "FreeFileData";

using IsLoadFromMpqFn = bool (*)();
using GameResourcesInitializeFn = void (*)();
using LoadFileDataFn = void* (*)(const char* nativeName, std::uint32_t* size, int mode);
using FreeFileDataFn = void (*)(void* data);

}  // namespace satchel

extern "C" {

/// True when resources come from the archive: GameResourcesInitialize mounted an archive and
/// SATCHEL_MODE is not "files". False before GameResourcesInitialize. Cheap; not cached by
/// callers, so it is asked before every read.
SATCHEL_API bool IsLoadFromMpq();

/// Initialises PhysFS (unless the process already did), finds and checks the archive and
/// mounts it read-only. The configuration is read on the first call only; later calls just
/// count. PhysFS is released when the library is unloaded or the process exits.
SATCHEL_API void GameResourcesInitialize();

/// Reads the archive member `nativeName` ("config/StringTable/common.xml"; '\\' is accepted as
/// a separator) and returns a new buffer holding its bytes, with *size set to their number.
/// `mode` must be satchel::kLoadWholeFile.
///
/// Returns null with *size 0 when: no archive is mounted, the name is absolute, empty, has
/// ".", ".." or empty components, the member is missing or is a directory, its declared size
/// is larger than the member size limit (kDefaultMaxMemberSize or SATCHEL_MAX_MEMBER_SIZE,
/// checked before anything is inflated), the read fails, the data does not match the
/// archive's CRC-32 or goes on past the declared size, or `mode` is unknown (each with a log
/// line); and, without a log line, when the member is empty (so no caller ever holds a buffer
/// of zero bytes it might forget to free).
///
/// The caller owns the buffer and must hand it to FreeFileData exactly once.
SATCHEL_API void* LoadFileData(const char* nativeName, std::uint32_t* size, int mode);

/// Releases a buffer returned by LoadFileData. Null is ignored; a pointer that LoadFileData
/// did not return, or one already freed, is refused with a log line and left alone.
SATCHEL_API void FreeFileData(void* data);

}  // extern "C"
