// The thin platform layer of the core runtime library. One implementation file per platform
// (detail/posix/Platform.cpp); nothing else in the library calls the operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "plinth/Path.h"

namespace os::detail {

/// A small number that identifies the calling thread in log lines.
std::uint64_t CurrentThreadNumber() noexcept;
/// Directory of the running executable, without a trailing separator ("." if unknown).
std::string ExecutableDirectory();
/// Directory of the module that contains `address`, or "" if unknown.
std::string ModuleDirectory(const void* address);
/// Value of an environment variable, or null.
const char* GetEnvironment(const char* name) noexcept;
/// Opens `path` to append log lines, creating it if needed, without ever waiting: a FIFO
/// that nobody reads is refused (null, errno set) rather than waited on for ever.
std::FILE* OpenLogFile(const char* path) noexcept;
/// Whether `path` still names the file open as `file`: false once it was renamed away,
/// deleted or replaced (a log rotation), or when either cannot be examined.
bool PathNamesOpenFile(const char* path, std::FILE* file) noexcept;
/// os::ReadWholeFile's reading (see plinth/Path.h).
ReadFileResult ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes);

void* LoadLibraryFile(const std::string& path, std::string& error);
void* FindSymbol(void* library, const char* name, std::string& error);
bool FreeLibraryHandle(void* library, std::string& error);
bool IsLibraryLoaded(const std::string& path);
bool PinModule(const void* address, std::string& error);
bool LibraryContains(void* library, const void* address) noexcept;
std::string LibraryFileName(const std::string& baseName);
/// How many shared libraries the process has unloaded so far: code addresses seen before a
/// change may since belong to another library.
unsigned long long LibraryUnloadCount() noexcept;

}  // namespace os::detail
