// Run-time loading of shared libraries: the one place where the platform's loader is called.
#pragma once

#include <string>

#include "plinth/Export.h"

namespace os {

using LibraryHandle = void*;

/// Loads the shared library at `path` (a file name is searched the platform's way). Null on
/// failure; GetLastLibraryError() then tells why. A path that names no regular file is
/// refused, and so is a library that needs a sanitizer's run-time library the process did not
/// start with (loaded late, AddressSanitizer's would end the process).
PLINTH_API LibraryHandle LoadSharedLibrary(const std::string& path);
/// The address of the exported symbol `name`, or null.
PLINTH_API void* FindSharedLibrarySymbol(LibraryHandle library, const char* name);
/// Releases one reference taken by LoadSharedLibrary. Null is ignored (returns false).
PLINTH_API bool FreeSharedLibrary(LibraryHandle library);
/// Whether the library at `path` is mapped in this process, without loading it.
PLINTH_API bool IsSharedLibraryLoaded(const std::string& path);
/// Whether `address` lies in `library` (a handle from LoadSharedLibrary): in its code, its
/// constants or its variables. False for a null handle or address.
PLINTH_API bool IsInSharedLibrary(LibraryHandle library, const void* address);
/// The text of the last loader failure on the calling thread ("" when none).
PLINTH_API std::string GetLastLibraryError();
/// The platform's file name of a library: "Satchel" -> "libSatchel.so" (Satchel.dll on Windows).
PLINTH_API std::string SharedLibraryFileName(const std::string& baseName);
/// The directory of the executable or shared library that contains `address`, without a
/// trailing separator; empty when it cannot be told.
PLINTH_API std::string GetModuleDirectory(const void* address);
/// Where the code at `address` finds a library it loads by file name ("libSatchel.so"): beside
/// the executable or library that contains it when the file is there; else, for a program
/// installed in the bin/ folder of a prefix, in that prefix's library folder (bin/../lib) when
/// the file is there; else beside it, the path a failed load then names. Empty when the
/// directory of `address` cannot be told.
PLINTH_API std::string FindLibraryNearModule(const void* address, const std::string& fileName);
/// Keeps the shared library that contains `address` mapped until the process ends: later
/// releases no longer unload it. For a module whose code serves objects that outlive its own
/// users, such as a process-wide object whose virtual operations live in that module. False
/// when no loaded module contains `address` or the loader refuses; GetLastLibraryError() then
/// tells why. (The main program is never unloaded, so the result does not matter for it.)
PLINTH_API bool PinModuleOf(const void* address);

}  // namespace os
