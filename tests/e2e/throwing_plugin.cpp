// A plug-in module whose message handler throws what a careless plug-in may throw: not a
// std::exception. It registers message type 0x77 with the host's game-server client, and its
// handler writes one line per message to standard output, then throws an int. A host must
// survive it and go on delivering messages.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "SceneSystem/Interfaces/IGameServerClient.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"
#include "plugin/PluginEntry.h"

namespace {

constexpr GUID ThrowingPluginTypeId = MakeGuid(0x3A91C2E7, 0x5D04, 0x4B8E, 0x9F16, 0x2C7E0A4D8B53);
constexpr unsigned short kThrowingMsgType = 0x77;

void ThrowSomethingElse(ISender*, const NetMsg* msg) {
    std::printf("throwing-plugin: message %u, throwing\n", static_cast<unsigned>(msg->GetMsgID()));
    std::fflush(stdout);
    throw 7;
}

class ThrowingPlugin final : public pyr::Container<ThrowingPlugin, ThrowingPluginTypeId> {
public:
    bool OnParentStart() override {
        if (std::getenv("THROWING_PLUGIN_AT_START") != nullptr) {
            // A sibling the plug-in cannot do without: the typed query throws an os::String.
            constexpr GUID kNobody = MakeGuid(0x0BAD0BAD, 0x0BAD, 0x4BAD, 0x8BAD, 0x0BAD0BAD0BAD);
            IPluginContainer* missing = nullptr;
            QuerySiblingContainer(missing, kNobody, true);
        }
        if (!QuerySiblingContainer(client, GameServerClientTypeId, false) ||
            client->MsgTypeDispatcher == nullptr) {
            return false;
        }
        return client->MsgTypeDispatcher->Register(kThrowingMsgType, &ThrowSomethingElse);
    }

    void OnPrepareParentShutdown() override {
        if (client != nullptr) {
            client->MsgTypeDispatcher->Unregister(kThrowingMsgType);
            client = nullptr;
        }
    }

private:
    pyr::IGameServerClient* client = nullptr;
};

/// Guarded by the client core lock, under which hosts call the container entry points.
ThrowingPlugin* created = nullptr;

struct Entry {
    static bool Init() { return true; }
    static bool Release() { return true; }
    static bool InitContainer(IPluginContainer* host) {
        if (IsClientCoreHost(host) && created == nullptr) {
            auto plugin = std::make_unique<ThrowingPlugin>();
            if (host->RegisterChildContainer(plugin.get())) {
                created = plugin.release();
            }
        }
        return true;
    }
    static void ReleaseContainer(IPluginContainer* host) {
        if (host != nullptr && created != nullptr) {
            host->UnregisterChildContainer(created);
            delete created;
            created = nullptr;
        }
    }
};

}  // namespace

PYR_PLUGIN_ENTRY_POINTS(Entry);
