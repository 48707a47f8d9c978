// A shared library loaded for the scope of a test, through the core library's loader (the one
// place that knows the platform's calls). Loading failures keep the loader's text, so a test
// can print why.
#pragma once

#include <string>
#include <utility>

#include "plinth/SharedLibrary.h"
#include "support/NoCopy.h"

namespace test {

class SharedLibrary : test::NoCopy {
public:
    explicit SharedLibrary(std::string libraryPath)
        : path(std::move(libraryPath)), handle(os::LoadSharedLibrary(path)) {
        if (handle == nullptr) {
            error = "cannot load " + path + ": " + os::GetLastLibraryError();
        }
    }
    ~SharedLibrary() { Close(); }

    bool IsLoaded() const { return handle != nullptr; }
    /// Why the last load or lookup failed; empty after success.
    const std::string& Error() const { return error; }

    /// The exported function `name` as a pointer of type F (a function type), or null with
    /// Error() telling why.
    template <class F>
    F* Symbol(const char* name) {
        if (handle == nullptr) {
            return nullptr;
        }
        void* address = os::FindSharedLibrarySymbol(handle, name);
        if (address == nullptr) {
            error =
                std::string("no symbol ") + name + " in " + path + ": " + os::GetLastLibraryError();
            return nullptr;
        }
        error.clear();
        return reinterpret_cast<F*>(address);
    }

    /// Releases the library now. Everything it made must be gone by then.
    void Close() {
        if (handle != nullptr) {
            os::FreeSharedLibrary(handle);
            handle = nullptr;
        }
    }

private:
    std::string path;
    os::LibraryHandle handle;
    std::string error;
};

}  // namespace test
