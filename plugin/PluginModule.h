// PluginModule: a plug-in module loaded at run time, the way the client core loads one. Part
// of the container framework, for every host (the reference client, the SDK's example host,
// the tests and benchmarks that load the minimap module themselves).
//
// Load maps the shared library and finds its four entry points by name; the host then calls
// InitPlugin, InitPluginContainer(host), starts its tree, runs, stops its tree, and calls
// ReleasePluginContainer(host) and ReleasePlugin before Unload. Nothing here throws, not even
// what an entry point throws: failures come back as false with the reason in GetError().
#pragma once

#include <string>

#include "plinth/SharedLibrary.h"
#include "plugin/PluginEntry.h"

class PluginModule {
public:
    using InitPluginFn = pyr::InitPluginFn;
    using ReleasePluginFn = pyr::ReleasePluginFn;
    using InitPluginContainerFn = pyr::InitPluginContainerFn;
    using ReleasePluginContainerFn = pyr::ReleasePluginContainerFn;

    PluginModule() = default;
    /// Unloads if still loaded.
    ~PluginModule();
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    /// Loads the library file at `path` (a bare file name: the one in the current directory)
    /// and resolves the four entry points. False (and nothing loaded) when the library cannot
    /// be loaded or lacks an entry point.
    bool Load(const std::string& path);
    /// Releases the library. Call only after ReleasePlugin: no object or callable of the
    /// module may remain anywhere in the process. A timer the module left pending is cancelled
    /// first, with a log line (a callback of it that is running is waited for: call this
    /// without a lock such a callback takes, the client core lock among them).
    void Unload();

    bool IsLoaded() const noexcept { return library != nullptr; }
    const std::string& GetError() const noexcept { return error; }
    const std::string& GetPath() const noexcept { return path; }

    /// The module's entry points, called as a host calls them (see plugin/PluginEntry.h).
    /// One written by hand, without PYR_PLUGIN_ENTRY_POINTS, may throw: that answers false
    /// here, with a log line and "NAME() threw: TEXT" in GetError(). False, too, while
    /// nothing is loaded.
    bool InitPlugin() const;
    bool ReleasePlugin() const;
    bool InitPluginContainer(IPluginContainer* host) const;
    /// Afterwards, a container of this module still registered under `host` (the release threw
    /// or forgot it) is unregistered, not deleted, with a log line naming it: the module's code
    /// is about to go.
    void ReleasePluginContainer(IPluginContainer* host) const;

private:
    template <class Entry, class... Args>
    bool Call(Entry entry, const char* name, Args... args) const;

    InitPluginFn initPlugin = nullptr;
    ReleasePluginFn releasePlugin = nullptr;
    InitPluginContainerFn initPluginContainer = nullptr;
    ReleasePluginContainerFn releasePluginContainer = nullptr;
    os::LibraryHandle library = nullptr;
    std::string path;
    /// The last failure's text. Calling an entry point leaves the module as it is, so a const
    /// module may be called too, and it records its failures here as well.
    mutable std::string error;
};
