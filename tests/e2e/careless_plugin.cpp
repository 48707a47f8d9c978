// A plug-in module that does what careless plug-ins do, for the hosts to survive:
// - its handler of message type 0x77 writes one line per message to standard output, then
//   throws an int, which is no std::exception;
// - with CARELESS_PLUGIN_THROW_AT_START set, its start asks for a sibling that must exist and
//   does not, and the container framework throws an os::String;
// - with CARELESS_PLUGIN_LEAVE_TIMER set, it starts a chain of timers that it never cancels;
// - with CARELESS_PLUGIN_LEAVE_CALLABLES set, it leaves its message handler registered and a
//   slot connected to the role system's RoleResetSignal when it is released;
// - with CARELESS_PLUGIN_THROW_AT_SHUTDOWN set, its OnPrepareParentShutdown throws;
// - with CARELESS_PLUGIN_BLOCK_AT_SHUTDOWN set, its OnPrepareParentShutdown prints
//   "careless-plugin: blocked in the shutdown" and never returns;
// - with CARELESS_PLUGIN_CORE_LOCK_ON_A_THREAD set, InitPlugin and ReleasePlugin each take the
//   client core lock on a thread of their own and wait for it, as a plug-in that primes or
//   drains its worker there does;
// - its entry points are written by hand, without PYR_PLUGIN_ENTRY_POINTS (built with
//   CARELESS_PLUGIN_ENTRY_MACRO: through it); with CARELESS_PLUGIN_THROW_AT_INIT set,
//   InitPlugin throws, with CARELESS_PLUGIN_THROW_AT_RELEASE set, ReleasePluginContainer throws
//   before it unregisters its container.
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

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
        if (std::getenv("CARELESS_PLUGIN_THROW_AT_SHUTDOWN") != nullptr) {
            throw 7;
        }
        if (std::getenv("CARELESS_PLUGIN_BLOCK_AT_SHUTDOWN") != nullptr) {
            std::printf("careless-plugin: blocked in the shutdown\n");
            std::fflush(stdout);
            std::promise<void>().get_future().wait();
        }
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

/// Takes the client core lock on a thread of its own and waits for that thread.
void TakeCoreLockOnAThread() {
    if (std::getenv("CARELESS_PLUGIN_CORE_LOCK_ON_A_THREAD") != nullptr) {
        std::thread([] { os::ThreadLockHandle coreLock(GetClientCoreLock()); }).join();
    }
}

bool Init() {
    TakeCoreLockOnAThread();
    if (std::getenv("CARELESS_PLUGIN_THROW_AT_INIT") != nullptr) {
        throw 7;
    }
    return true;
}

bool Release() {
    TakeCoreLockOnAThread();
    return true;
}

bool InitContainer(IPluginContainer* host) {
    if (IsClientCoreHost(host) && created == nullptr) {
        auto plugin = std::make_unique<CarelessPlugin>();
        if (host->RegisterChildContainer(plugin.get())) {
            created = plugin.release();
        }
    }
    return true;
}

void ReleaseContainer(IPluginContainer* host) {
    if (std::getenv("CARELESS_PLUGIN_THROW_AT_RELEASE") != nullptr) {
        throw 7;
    }
    if (host != nullptr && created != nullptr) {
        host->UnregisterChildContainer(created);
        delete created;
        created = nullptr;
    }
}

}  // namespace

#ifdef CARELESS_PLUGIN_ENTRY_MACRO
struct CarelessEntry {
    static bool Init() { return ::Init(); }
    static bool Release() { return ::Release(); }
    static bool InitContainer(IPluginContainer* host) { return ::InitContainer(host); }
    static void ReleaseContainer(IPluginContainer* host) { ::ReleaseContainer(host); }
};
PYR_PLUGIN_ENTRY_POINTS(CarelessEntry);
#else
bool InitPlugin() {
    return Init();
}

bool ReleasePlugin() {
    return Release();
}

bool InitPluginContainer(IPluginContainer* host) {
    return InitContainer(host);
}

void ReleasePluginContainer(IPluginContainer* host) {
    ReleaseContainer(host);
}
#endif
