#include "plugin/PluginModule.h"

#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "net/LogFormat.h"
#include "plinth/Timer.h"
#include "plugin/CaughtText.h"
#include "plugin/PluginContainer.h"

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

/// How many PluginModules hold each library. The same file loaded by two of them (two hosts
/// in one process) is one library, with one set of timers, which stays mapped until the last
/// of them lets go: only then are the timers it left behind its code's to withdraw.
class LoadedLibraries {
public:
    void Add(os::LibraryHandle library) {
        std::lock_guard<std::mutex> guard(mutex);
        ++holders[library];
    }
    /// True when `library` was held by this one holder only.
    bool RemoveIsLast(os::LibraryHandle library) {
        std::lock_guard<std::mutex> guard(mutex);
        const auto it = holders.find(library);
        if (it == holders.end() || --it->second == 0) {
            if (it != holders.end()) {
                holders.erase(it);
            }
            return true;
        }
        return false;
    }

private:
    std::mutex mutex;
    std::map<os::LibraryHandle, int> holders;
};

LoadedLibraries& Loaded() {
    // Never destroyed: a module may be unloaded by a static destructor at exit.
    static LoadedLibraries* loaded = new LoadedLibraries;
    return *loaded;
}

}  // namespace

PluginModule::~PluginModule() {
    Unload();
}

bool PluginModule::Load(const std::string& libraryPath) {
    Unload();
    path = libraryPath;
    error.clear();
    // A module is a file the host names. A bare file name is the one in the current directory,
    // as any file named on a command line; the loader would search its path for it instead,
    // and find another file of that name (a module loaded already among them) or none.
    library = os::LoadSharedLibrary(
        path.empty() || path.find('/') != std::string::npos ? path : "./" + path);
    if (library == nullptr) {
        error = "cannot load the module: " + os::GetLastLibraryError();
        return false;
    }
    Loaded().Add(library);
    bool ok = Resolve(library, "InitPlugin", initPlugin, error);
    ok = Resolve(library, "ReleasePlugin", releasePlugin, error) && ok;
    ok = Resolve(library, "InitPluginContainer", initPluginContainer, error) && ok;
    ok = Resolve(library, "ReleasePluginContainer", releasePluginContainer, error) && ok;
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
        // While another PluginModule holds the library, its timers may be that one's live ones.
        if (Loaded().RemoveIsLast(library)) {
            for (const os::TimerInfo& left : os::GetTimer()->CancelRegisteredIn(library)) {
                LogFormatted(3,
                             "PluginModule::Unload() : %s left a timer pending (%s, %s:%d); "
                             "cancelled",
                             path, left.function, left.file, left.line);
            }
        }
        os::FreeSharedLibrary(std::exchange(library, nullptr));
    }
    initPlugin = nullptr;
    releasePlugin = nullptr;
    initPluginContainer = nullptr;
    releasePluginContainer = nullptr;
}

template <class Entry, class... Args>
bool PluginModule::Call(Entry entry, const char* name, Args... args) const {
    if (entry == nullptr) {
        error = std::string(name) + "(): no module loaded";
        return false;
    }
    try {
        if constexpr (std::is_void_v<decltype(entry(args...))>) {
            entry(args...);
            return true;
        } else {
            return entry(args...);
        }
    } catch (...) {
        const std::string text = pyr::CaughtText();
        error = std::string(name) + "() threw: " + text;
        LogFormatted(3, "PluginModule::%s() : %s threw: %s", name, path, text);
        return false;
    }
}

bool PluginModule::InitPlugin() const {
    return Call(initPlugin, "InitPlugin");
}

bool PluginModule::ReleasePlugin() const {
    return Call(releasePlugin, "ReleasePlugin");
}

bool PluginModule::InitPluginContainer(IPluginContainer* host) const {
    return Call(initPluginContainer, "InitPluginContainer", host);
}

void PluginModule::ReleasePluginContainer(IPluginContainer* host) const {
    Call(releasePluginContainer, "ReleasePluginContainer", host);
    if (host == nullptr || library == nullptr) {
        return;
    }
    // A container of the module's still under the host (its release threw, or forgot it) would
    // be walked, told of its siblings and asked for its type through the module's code once
    // that is unmapped: taken out of the tree while the code is still there, and said. It is
    // not deleted: only its module knows how, and its module failed to.
    for (const ChildContainerEntry& entry : host->CopyChildren()) {
        IPluginContainer* const left = entry.container;
        if (!os::IsInSharedLibrary(library, &left->GetTypeInfo())) {
            continue;
        }
        const std::string className = left->GetContainerClassName();
        const std::string containerName = left->GetContainerName();
        LogFormatted(3,
                     "PluginModule::ReleasePluginContainer() : %s left its container %s%s%s "
                     "registered under the host; unregistered",
                     path, className, containerName.empty() ? "" : " ", containerName);
        try {
            host->UnregisterChildContainer(left);  // its siblings hear of it, as of any leaver
        } catch (...) {
            LogFormatted(3, "PluginModule::ReleasePluginContainer() : %s threw: %s", path,
                         pyr::CaughtText());
        }
        // Out of the registry even when a sibling's hook threw first.
        host->RemoveDestroyedChild(left);
    }
}
