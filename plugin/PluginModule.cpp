#include "plugin/PluginModule.h"

#include <utility>

#include "net/LogFormat.h"
#include "plinth/Timer.h"

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
        // A timer the module left behind would run its code, or destroy its callable through
        // it, once the code is unmapped: withdrawn while the code is still there, and said.
        for (const os::TimerInfo& left : os::GetTimer()->CancelRegisteredIn(library)) {
            LogFormatted(3,
                         "PluginModule::Unload() : %s left a timer pending (%s, %s:%d); "
                         "cancelled",
                         path, left.function, left.file, left.line);
        }
        os::FreeSharedLibrary(std::exchange(library, nullptr));
    }
    InitPlugin = nullptr;
    ReleasePlugin = nullptr;
    InitPluginContainer = nullptr;
    ReleasePluginContainer = nullptr;
}
