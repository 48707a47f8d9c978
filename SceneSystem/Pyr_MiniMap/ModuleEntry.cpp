// The module's entry points, called by the client core by name. They are the only functions
// the module exports (see Pyr_MiniMap.map). No exception leaves them.
//
// InitPluginContainer creates the minimap under the host and ReleasePluginContainer destroys
// it; between the two the host owns nothing of it but its registration. Both hold the client
// core lock throughout, so they are serialised with message handling and with each other, and
// take the host's container lock (through its registry) only after it.

#include <memory>

#include "SceneSystem/Pyr_MiniMap/LiveMiniMaps.h"
#include "SceneSystem/Pyr_MiniMap/Pyr_MiniMap.h"
#include "net/LogFormat.h"
#include "plugin/Export.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"
#include "plugin/PluginEntry.h"

namespace {

// Keeps a new minimap in the register of live minimaps only once the host took it: on every
// other way out (a refusal, an exception from the host's registration) the entry goes before
// the object is deleted, or a later object at the same address would pass the liveness check.
// Declared after the owning pointer, so the entry leaves first.
class LiveEntry {
public:
    explicit LiveEntry(Pyr_MiniMap* minimap) : minimap(minimap) { minimap::AddLive(minimap); }
    ~LiveEntry() {
        if (minimap != nullptr) {
            minimap::RemoveLive(minimap);
        }
    }
    LiveEntry(const LiveEntry&) = delete;
    LiveEntry& operator=(const LiveEntry&) = delete;

    /// The host owns a registration of the minimap now: the entry stays until the release.
    void Keep() noexcept { minimap = nullptr; }

private:
    Pyr_MiniMap* minimap;
};

void CreateMiniMap(IPluginContainer* host) {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    if (!IsClientCoreHost(host)) {
        return;
    }
    auto minimap = std::make_unique<Pyr_MiniMap>();
    minimap->RegisterMsgHandler();
    // Set before the registration publishes the minimap: a start walk on another thread may
    // prepare it as soon as it is registered.
    minimap->SetHostContainer(host);
    LiveEntry live(minimap.get());
    if (!host->RegisterChildContainer(minimap.get())) {
        // Refused: the host already has a minimap (the registry logged why). Nothing refers to
        // this one, and it never started, so it goes at once.
        return;
    }
    live.Keep();
    minimap.release();
}

void DestroyMiniMap(IPluginContainer* host) {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    if (!IsClientCoreHost(host)) {
        return;
    }
    // Only a minimap this module created: another module may have registered a container
    // under the same identifier, and the container query would cast it unchecked.
    Pyr_MiniMap* minimap = minimap::FindLive(host->FindChildContainer(MiniMapContainerTypeId));
    if (minimap == nullptr) {
        return;
    }
    minimap->PrepareRelease();
    host->UnregisterChildContainer(minimap);
    // A start walk on another thread may have prepared the minimap after the first withdrawal:
    // the walk holds the host's lock, which only the unregistration waits for. Once that
    // returned, no walk can reach the minimap; withdraw once more what such a walk registered.
    minimap->PrepareRelease();
    // Under the core lock: a message or role reset already on its way finds it gone.
    minimap::RemoveLive(minimap);
    delete minimap;
}

}  // namespace

extern "C" {

PYR_EXPORT bool InitPlugin() {
    return true;
}

PYR_EXPORT bool ReleasePlugin() {
    return true;
}

/// Creates the minimap under `host` if it is the client core's host container. Always true.
PYR_EXPORT bool InitPluginContainer(IPluginContainer* host) {
    LogCaughtIn("InitPluginContainer", [host] { CreateMiniMap(host); });
    return true;
}

/// Detaches and destroys the minimap this module created under `host`, if any.
PYR_EXPORT void ReleasePluginContainer(IPluginContainer* host) {
    LogCaughtIn("ReleasePluginContainer", [host] { DestroyMiniMap(host); });
}

}  // extern "C"
