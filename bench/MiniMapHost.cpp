#include "bench/MiniMapHost.h"

#include <cstdio>
#include <cstdlib>

#include "plinth/SharedLibrary.h"
#include "plinth/Timer.h"
#include "plugin/HostServices.h"
#include "plugin/TypeIds.h"

namespace benchhost {
namespace {

struct Module {
    bool (*InitPluginContainer)(IPluginContainer*) = nullptr;
    void (*ReleasePluginContainer)(IPluginContainer*) = nullptr;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "bench: %s: %s\n", what, os::GetLastLibraryError().c_str());
    std::abort();
}

const Module& LoadModule() {
    static const Module module = [] {
        if (!os::GetTimer()->SetClockMode(os::ClockMode::Manual)) {
            Fail("cannot put the timer on the manual clock");
        }
        // Never closed: the module stays for the process, like the client's plug-ins.
        const os::LibraryHandle handle = os::LoadSharedLibrary(PYR_MINIMAP_LIBRARY);
        if (handle == nullptr) {
            Fail("cannot load " PYR_MINIMAP_LIBRARY);
        }
        Module m;
        m.InitPluginContainer = reinterpret_cast<bool (*)(IPluginContainer*)>(
            os::FindSharedLibrarySymbol(handle, "InitPluginContainer"));
        m.ReleasePluginContainer = reinterpret_cast<void (*)(IPluginContainer*)>(
            os::FindSharedLibrarySymbol(handle, "ReleasePluginContainer"));
        if (m.InitPluginContainer == nullptr || m.ReleasePluginContainer == nullptr) {
            Fail("missing entry point");
        }
        return m;
    }();
    return module;
}

}  // namespace

const GUID& GameServerClient::GetContainerTypeId() const {
    return GameServerClientTypeId;
}

MiniMapHost::MiniMapHost() {
    const Module& module = LoadModule();
    battle.inBattle = false;
    role.battleEntity = &battle;
    roles.currentRole = &role;
    host.RegisterChildContainer(&client);
    host.RegisterChildContainer(&roles);
    if (!module.InitPluginContainer(&host) || !host.StartContainer()) {
        Fail("the minimap did not start");
    }
    minimap = dynamic_cast<pyr::IPyr_MiniMap*>(host.FindChildContainer(MiniMapContainerTypeId));
    if (minimap == nullptr || client.dispatcher.GetHandlerCount() != 1) {
        Fail("the minimap is not registered with the game-server client");
    }
}

MiniMapHost::~MiniMapHost() {
    host.ShutdownContainer();
    LoadModule().ReleasePluginContainer(&host);
    host.UnregisterChildContainer(&roles);
    host.UnregisterChildContainer(&client);
}

}  // namespace benchhost
