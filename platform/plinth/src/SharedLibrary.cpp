#include "plinth/SharedLibrary.h"

#include "detail/Platform.h"

namespace os {
namespace {

std::string& LastError() {
    thread_local std::string error;
    return error;
}

}  // namespace

LibraryHandle LoadSharedLibrary(const std::string& path) {
    LastError().clear();
    return detail::LoadLibraryFile(path, LastError());
}

void* FindSharedLibrarySymbol(LibraryHandle library, const char* name) {
    LastError().clear();
    return detail::FindSymbol(library, name, LastError());
}

bool FreeSharedLibrary(LibraryHandle library) {
    LastError().clear();
    return detail::FreeLibraryHandle(library, LastError());
}

bool IsSharedLibraryLoaded(const std::string& path) { return detail::IsLibraryLoaded(path); }

std::string GetLastLibraryError() { return LastError(); }

std::string SharedLibraryFileName(const std::string& baseName) {
    return detail::LibraryFileName(baseName);
}

std::string GetModuleDirectory(const void* address) { return detail::ModuleDirectory(address); }

bool PinModuleOf(const void* address) {
    LastError().clear();
    return detail::PinModule(address, LastError());
}

}  // namespace os
