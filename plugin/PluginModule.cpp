#include "plugin/PluginModule.h"

#include <utility>

namespace {

template <class Fn>
bool Resolve(os::LibraryHandle library, const char* name, Fn& out, std::string& error) {
    void* symbol = os::FindSharedLibrarySymbol(library, name);
    if (symbol == nullptr) {
        error += error.empty() ? "missing entry point " : ", ";
        error += name;
        return false;
    }
    out = reinterpret_cast<Fn>(symbol);
    return true;
}

}  // namespace

PluginModule::~PluginModule() {
    Unload();
}

bool PluginModule::Load(const std::string& libraryPath) {
    Unload();
    path = libraryPath;
    error.clear();
    library = os::LoadSharedLibrary(path);
    if (library == nullptr) {
        error = "cannot load the module: " + os::GetLastLibraryError();
        return false;
    }
    bool ok = Resolve(library, "InitPlugin", InitPlugin, error);
    ok = Resolve(library, "ReleasePlugin", ReleasePlugin, error) && ok;
    ok = Resolve(library, "InitPluginContainer", InitPluginContainer, error) && ok;
    ok = Resolve(library, "ReleasePluginContainer", ReleasePluginContainer, error) && ok;
    if (!ok) {
        error = path + ": " + error;
        Unload();
        return false;
    }
    return true;
}

void PluginModule::Unload() {
    if (library != nullptr) {
        os::FreeSharedLibrary(std::exchange(library, nullptr));
    }
    InitPlugin = nullptr;
    ReleasePlugin = nullptr;
    InitPluginContainer = nullptr;
    ReleasePluginContainer = nullptr;
}
