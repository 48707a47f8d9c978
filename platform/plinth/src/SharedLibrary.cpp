#include "plinth/SharedLibrary.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "detail/Platform.h"

namespace os {
namespace {

// The last error of the calling thread, in a buffer without a destructor: libraries are also
// released from static destructors at process exit, which run after the thread's thread_local
// objects were destroyed. Longer texts are cut.
struct ErrorText {
    char text[512];
};
thread_local ErrorText lastError{};

void KeepError(const std::string& error) noexcept {
    const std::size_t length = std::min(error.size(), sizeof(lastError.text) - 1);
    error.copy(lastError.text, length);
    lastError.text[length] = '\0';
}

}  // namespace

LibraryHandle LoadSharedLibrary(const std::string& path) {
    std::string error;
    LibraryHandle library = detail::LoadLibraryFile(path, error);
    KeepError(error);
    return library;
}

void* FindSharedLibrarySymbol(LibraryHandle library, const char* name) {
    std::string error;
    void* symbol = detail::FindSymbol(library, name, error);
    KeepError(error);
    return symbol;
}

bool FreeSharedLibrary(LibraryHandle library) {
    std::string error;
    const bool freed = detail::FreeLibraryHandle(library, error);
    KeepError(error);
    return freed;
}

bool IsSharedLibraryLoaded(const std::string& path) {
    return detail::IsLibraryLoaded(path);
}

bool IsInSharedLibrary(LibraryHandle library, const void* address) {
    return detail::LibraryContains(library, address);
}

std::string GetLastLibraryError() {
    return lastError.text;
}

std::string SharedLibraryFileName(const std::string& baseName) {
    return detail::LibraryFileName(baseName);
}

std::string GetModuleDirectory(const void* address) {
    return detail::ModuleDirectory(address);
}

std::string FindLibraryNearModule(const void* address, const std::string& fileName) {
    const std::string directory = detail::ModuleDirectory(address);
    if (directory.empty()) {
        return {};
    }
    std::string beside = directory + "/" + fileName;
    std::error_code ignored;
    if (std::filesystem::exists(beside, ignored)) {
        return beside;
    }
    std::string installed = directory + "/" PLINTH_BINDIR_TO_LIBDIR "/" + fileName;
    if (std::filesystem::exists(installed, ignored)) {
        return installed;
    }
    return beside;
}

bool PinModuleOf(const void* address) {
    std::string error;
    const bool pinned = detail::PinModule(address, error);
    KeepError(error);
    return pinned;
}

}  // namespace os
