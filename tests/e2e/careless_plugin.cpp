// A plug-in module that does what careless plug-ins do, for the hosts to survive:
// - its handler of message type 0x77 writes one line per message to standard output, then
//   throws an int, which is no std::exception;
// - with CARELESS_PLUGIN_THROW_AT_START set, its start asks for a sibling that must exist and
//   does not, and the container framework throws an os::String;
// - with CARELESS_PLUGIN_LEAVE_TIMER set, it starts a chain of timers that it never cancels;
// - with CARELESS_PLUGIN_LEAVE_CALLABLES set, it leaves its message handler registered and a
//   slot connected to the role system's RoleResetSignal when it is released;
// - its entry points are written by hand, without PYR_PLUGIN_ENTRY_POINTS, and with
//   CARELESS_PLUGIN_THROW_AT_INIT set, InitPlugin throws.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "SceneSystem/Interfaces/IGameServerClient.h"
#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "plinth/Timer.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"
#include "plugin/PluginEntry.h"

namespace {

constexpr GUID CarelessPluginTypeId = MakeGuid(0x3A91C2E7, 0x5D04, 0x4B8E, 0x9F16, 0x2C7E0A4D8B53);
constexpr unsigned short kCarelessMsgType = 0x77;

void ThrowSomethingElse(ISender*, const NetMsg* msg) {
    std::printf("careless-plugin: message %u, throwing\n", static_cast<unsigned>(msg->GetMsgID()));
    std::fflush(stdout);
    throw 7;
}

void Tick(os::Timer*, os::TimerID, void*) {
    PLINTH_REGISTER_TIMER(os::GetTimer(), &Tick, 100, nullptr);
}

class CarelessPlugin final : public pyr::Container<CarelessPlugin, CarelessPluginTypeId> {
public:
    bool OnParentStart() override {
        if (std::getenv("CARELESS_PLUGIN_LEAVE_TIMER") != nullptr) {
            Tick(nullptr, os::TimerID(), nullptr);
        }
        if (std::getenv("CARELESS_PLUGIN_THROW_AT_START") != nullptr) {
            constexpr GUID kNobody = MakeGuid(0x0BAD0BAD, 0x0BAD, 0x4BAD, 0x8BAD, 0x0BAD0BAD0BAD);
            IPluginContainer* missing = nullptr;
            QuerySiblingContainer(missing, kNobody, true);
        }
        if (std::getenv("CARELESS_PLUGIN_LEAVE_CALLABLES") != nullptr) {
            pyr::IRoleSystem* roles = nullptr;
            if (QuerySiblingContainer(roles, RoleSystemTypeId, false)) {
                roles->RoleResetSignal.Add([] {});
            }
        }
        if (!QuerySiblingContainer(client, GameServerClientTypeId, false) ||
            client->MsgTypeDispatcher == nullptr) {
            return false;
        }
        return client->MsgTypeDispatcher->Register(kCarelessMsgType, &ThrowSomethingElse);
    }

    void OnPrepareParentShutdown() override {
        if (client != nullptr && std::getenv("CARELESS_PLUGIN_LEAVE_CALLABLES") == nullptr) {
            client->MsgTypeDispatcher->Unregister(kCarelessMsgType);
            client = nullptr;
        }
    }

private:
    pyr::IGameServerClient* client = nullptr;
};

/// Guarded by the client core lock, under which hosts call the container entry points.
CarelessPlugin* created = nullptr;

}  // namespace

bool InitPlugin() {
    if (std::getenv("CARELESS_PLUGIN_THROW_AT_INIT") != nullptr) {
        throw 7;
    }
    return true;
}

bool ReleasePlugin() {
    return true;
}

bool InitPluginContainer(IPluginContainer* host) {
    if (IsClientCoreHost(host) && created == nullptr) {
        auto plugin = std::make_unique<CarelessPlugin>();
        if (host->RegisterChildContainer(plugin.get())) {
            created = plugin.release();
        }
    }
    return true;
}

void ReleasePluginContainer(IPluginContainer* host) {
    if (host != nullptr && created != nullptr) {
        host->UnregisterChildContainer(created);
        delete created;
        created = nullptr;
    }
}
