#include "bench/MiniMapHost.h"
#include "SceneSystem/Interfaces/IGameServerClient.h"
#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "plinth/Timer.h"
#include "plugin/HostServices.h"
#include "plugin/PluginModule.h"

namespace benchhost {
namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::abort();
}

const PluginModule& LoadModule() {
    // Never unloaded: the module stays for the process, like the client's plug-ins.
    static const PluginModule* const module = [] {
        if (!os::GetTimer()->SetClockMode(os::ClockMode::Manual)) {
            Fail("cannot put the timer on the manual clock");
        }
        auto* m = new PluginModule;
        if (!m->Load(PYR_MINIMAP_LIBRARY)) {
            Fail(m->GetError());
        }
        return m;
    }();
    return *module;
}

}  // namespace

MiniMapHost::MiniMapHost() {
    const PluginModule& module = LoadModule();
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
