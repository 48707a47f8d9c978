// The host side of the minimap's tests: a host container and fake sibling plug-ins, built
// with the test's own copy of the container framework, as a client core and other plug-ins
// would be.
//
// - HostContainer: the root, of HostContainerTypeId.
// - FakeGameServerClient: a real MsgTypeDispatcher (serialised by its own mutex, as the real
//   client serialises registration against dispatch), a Deliver that parses wire bytes and
//   dispatches them as the client's receive thread would, and a SendNetMsg that captures the
//   bytes of every sent message.
// - FakeRoleSystem: a current role whose entity of kind 28 is settable (a battle-info entity
//   with a settable flag, an entity of another class, or none), and an EmitReset that emits
//   RoleResetSignal under the client core lock, as the role system does.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "SceneSystem/Interfaces/IGameServerClient.h"
#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "function/LockedDispatcher.h"
#include "net/NetMsg.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"

namespace minimaptest {

using Bytes = std::vector<unsigned char>;

/// The client core's host container.
class HostContainer : public pyr::Container<HostContainer, HostContainerTypeId> {};

/// Any container of a type identifier chosen by the test.
class PlainContainer : public IPluginContainer {
public:
    explicit PlainContainer(const GUID& id) : id(id) {}
    const std::type_info& GetTypeInfo() const override { return typeid(PlainContainer); }
    void EntityAction() override {}
    const GUID& GetContainerTypeId() const override { return id; }

private:
    GUID id;
};

/// The game-server client's dispatcher, with its registration serialised against dispatch.
using LockedTypeDispatcher = LockedDispatcher<pyr::MsgTypeDispatcherType>;

class FakeSender : public ISender {};

/// What the host sees of a game-server client of the tests and the benchmarks: its class Self,
/// its identifier, and `dispatcher` (owned by Self) published as MsgTypeDispatcher for the
/// client's lifetime. Self says how a message is sent.
template <class Self>
class GameServerClientBase
    : public pyr::Container<Self, GameServerClientTypeId, pyr::IGameServerClient> {
public:
    explicit GameServerClientBase(pyr::MsgTypeDispatcherType* dispatcher) {
        this->MsgTypeDispatcher = dispatcher;
    }
    ~GameServerClientBase() override { this->MsgTypeDispatcher = nullptr; }
};

class FakeGameServerClient : public GameServerClientBase<FakeGameServerClient> {
public:
    FakeGameServerClient() : GameServerClientBase(&dispatcher) {}

    /// Captures the message's bytes, then runs onSend (if set, outside the capture lock).
    bool SendNetMsg(NetMsg* msg) override {
        {
            std::lock_guard<std::mutex> guard(mutex);
            const auto* begin = reinterpret_cast<const unsigned char*>(msg->GetBytes());
            sent.emplace_back(begin, begin + msg->GetLength());
        }
        if (onSend) {
            onSend();
        }
        return sendResult.load();
    }

    /// Parses `wire` as received bytes and dispatches the message by its type, as the receive
    /// thread does: the handler is looked up under the dispatcher's lock and called outside it.
    /// `betweenLookupAndCall` runs after the lookup, before the handler. False when the bytes
    /// are not a message.
    bool Deliver(const Bytes& wire, const std::function<void()>& betweenLookupAndCall = {}) {
        ReceivedNetMsg received;
        if (!ParseNetMsg(wire.data(), wire.size(), received)) {
            return false;
        }
        const NetMsg* msg = received.Get();
        const auto handler = dispatcher.GetHandler(NetMsgTrait_MsgType::GetKey(msg));
        if (betweenLookupAndCall) {
            betweenLookupAndCall();
        }
        handler(&sender, msg);
        return true;
    }

    /// Every message sent so far, as its bytes.
    std::vector<Bytes> Sent() const {
        std::lock_guard<std::mutex> guard(mutex);
        return sent;
    }
    std::size_t SentCount() const {
        std::lock_guard<std::mutex> guard(mutex);
        return sent.size();
    }
    void ClearSent() {
        std::lock_guard<std::mutex> guard(mutex);
        sent.clear();
    }

    LockedTypeDispatcher dispatcher;
    std::atomic<bool> sendResult{true};
    /// Called inside SendNetMsg on the sending thread; set before the minimap can send.
    std::function<void()> onSend;

private:
    FakeSender sender;
    mutable std::mutex mutex;
    std::vector<Bytes> sent;
};

/// A role's battle information with a flag the test sets.
class FakeBattleInfo : public pyr::IRoleBattleInfo {
public:
    const std::type_info& GetTypeInfo() const override { return typeid(FakeBattleInfo); }
    void EntityAction() override {}
    bool GetBattleFlag() override { return inBattle.load(); }

    std::atomic<bool> inBattle{false};
};

/// An entity that is not battle information.
class OtherEntity : public IEntityObject {
public:
    const std::type_info& GetTypeInfo() const override { return typeid(OtherEntity); }
    void EntityAction() override {}
};

class FakeRole : public pyr::IRole {
public:
    IEntityObject* GetRoleEntity(int kind) override {
        return kind == pyr::RoleBattleInfoKind ? battleEntity.load() : nullptr;
    }

    /// The entity of kind 28; null for none.
    std::atomic<IEntityObject*> battleEntity{nullptr};
};

class FakeRoleSystem : public pyr::Container<FakeRoleSystem, RoleSystemTypeId, pyr::IRoleSystem> {
public:
    pyr::RoleHandle GetCurrentRole() override { return pyr::RoleHandle{currentRole.load()}; }

    /// Emits the reset under the client core lock.
    void EmitReset() {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        RoleResetSignal.Emit();
    }
    std::size_t ResetSlotCount() {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        return RoleResetSignal.GetSlotCount();
    }

    /// The current role; null for none.
    std::atomic<pyr::IRole*> currentRole{nullptr};
};

}  // namespace minimaptest
