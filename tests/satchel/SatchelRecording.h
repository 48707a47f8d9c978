// Test doubles of the packed resource library, for tests of its clients. Each is built as its
// own shared library; a test copies or links one beside the module under test under the name
// the module loads (libSatchel.so).
//
//   libSatchelMissingFree.so  exports IsLoadFromMpq, GameResourcesInitialize and LoadFileData,
//                             but not FreeFileData (an incomplete library). IsLoadFromMpq is
//                             true; GameResourcesInitialize and LoadFileData count their calls
//                             in SatchelMissingFreeCalls, so a test can prove they never ran.
//   libSatchelNoArchive.so    complete; IsLoadFromMpq is false; LoadFileData serves nothing.
//                             GameResourcesInitialize calls are counted
//                             (SatchelNoArchiveInitializeCount).
//   libSatchelRecording.so    complete; IsLoadFromMpq true (switchable); serves files from an
//                             in-memory map and records every call, read through the extra
//                             exports below.
//
// Every extra export is extern "C" and looked up with dlsym like the entry points; the
// function pointer types are given for that. All of them are thread-safe.
#pragma once

#include <cstdint>

#include "satchel/Satchel.h"

extern "C" {

/// libSatchelMissingFree: calls of GameResourcesInitialize plus calls of LoadFileData.
SATCHEL_API int SatchelMissingFreeCalls();

/// libSatchelNoArchive: calls of GameResourcesInitialize.
SATCHEL_API int SatchelNoArchiveInitializeCount();

/// libSatchelRecording: forgets every file, call and count; IsLoadFromMpq answers true again.
SATCHEL_API void SatchelRecordingReset();
/// Serves `size` bytes of `data` (copied) under `name`, replacing a previous file. A file of
/// size 0 is served as a non-null buffer with *size 0 (the least helpful answer a real
/// library may give), which the client must still be able to release.
SATCHEL_API void SatchelRecordingSetFile(const char* name, const void* data, std::uint32_t size);
/// What IsLoadFromMpq answers from now on.
SATCHEL_API void SatchelRecordingSetLoadFromMpq(bool value);
SATCHEL_API int SatchelRecordingInitializeCount();
SATCHEL_API int SatchelRecordingIsLoadFromMpqCount();
/// Number of LoadFileData calls, each recorded with its name (as given) and mode.
SATCHEL_API int SatchelRecordingLoadCount();
/// Name and mode of the `index`-th LoadFileData call (from 0). The name stays valid until the
/// next Reset. False when there is no such call. A null name argument is recorded as "".
SATCHEL_API bool SatchelRecordingLoadCall(int index, const char** name, int* mode);
/// FreeFileData calls with a buffer this library handed out.
SATCHEL_API int SatchelRecordingFreeCount();
/// Buffers handed out by LoadFileData and not yet passed to FreeFileData.
SATCHEL_API int SatchelRecordingOutstandingBuffers();

}  // extern "C"

namespace satchel_test {

using CountFn = int (*)();
using ResetFn = void (*)();
using SetFileFn = void (*)(const char*, const void*, std::uint32_t);
using SetLoadFromMpqFn = void (*)(bool);
using LoadCallFn = bool (*)(int, const char**, int*);

}  // namespace satchel_test
