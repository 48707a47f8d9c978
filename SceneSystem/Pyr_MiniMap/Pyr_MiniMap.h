// Pyr_MiniMap: the minimap plug-in object.
//
// Created and destroyed by the module's entry points (ModuleEntry.cpp), registered as a child
// of the host container. When the host starts its tree, the minimap finds its two siblings
// (the role system and the game-server client), subscribes to the role reset, arms its poll
// timer and registers with the game-server client, under message type 32, a callable that
// dispatches through its own dispatcher. From then on the server's synchronisation messages change
// the three stores, and the poll timer sends a poll request once per interval while polling is
// enabled and the current role is not in battle.
//
// Reaching a released minimap: every path that can call into the object from outside (the
// type-32 registration, the role reset slot, the poll timer) is withdrawn by PrepareRelease.
// A message already on its way when the object goes away is stopped by the registered callable,
// which checks a module-wide register of live minimaps under the client core lock before it
// calls into the object; a poll run in progress is waited for. See docs/lifecycle.md and
// docs/threads.md.
//
// Locks, in order (docs/threads.md): the client core lock, then container locks, then the
// minimap's two leaf mutexes (siblingMutex, timerMutex), which are held only around short
// sections that call nothing but leaf operations (the siblings' sends and queries, the timer
// service). OnPrepareParentStart runs under the root container lock and never takes the core
// lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <typeinfo>

#include "SceneSystem/Interfaces/IGameServerClient.h"
#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "net/NetMsg.h"
#include "net/NetMsgDispatcher.h"
#include "plinth/Timer.h"

class Pyr_MiniMap final : public pyr::IPyr_MiniMap {
public:
    /// The minimap's own dispatcher, by message identifier.
    using MsgIdDispatcher =
        DispatcherBase<unsigned short, os::Function<void(ISender*, const NetMsg*)>,
                       NetMsgTrait_MsgID>;

    /// Empty stores, polling off, no host and no siblings, no timer.
    Pyr_MiniMap();
    /// Empties the player and NPC stores. If PrepareRelease never ran, does its work first, so
    /// that no timer or registration outlives the object.
    ~Pyr_MiniMap() override;

    // IEntityObject
    const std::type_info& GetTypeInfo() const override;
    void EntityAction() override;

    // IPluginContainer
    /// Forgets a sibling that leaves the host, after withdrawing what the minimap registered
    /// with it. Runs under the host's container lock, while the sibling still lives.
    void OnSiblingContainerUnregistered(IPluginContainer* sibling) override;
    /// Finds the siblings, subscribes to the role reset, (re)starts the poll chain and
    /// registers for message type 32. False when the host is not the expected host, or the
    /// role system or the game-server client is missing; steps done before stay done.
    bool OnPrepareParentStart() override;
    /// True; nothing else.
    bool OnParentStart() override;
    const GUID& GetContainerTypeId() const override;

    // pyr::IPyr_MiniMap
    MiniMapPlayerInfoMap& GetPlayerInfoMap() override;
    MiniMapNpcInfoMap& GetNpcInfoMap() override;
    MiniMapNpcInfoMap& GetQueryNpcInfoMap() override;
    bool RequestNpcQuery(int queryArg) override;
    void SetPollEnabled(const bool& enabled) override;

    /// Registers OnMiniMapMsg under message identifier 254 in the minimap's own dispatcher.
    /// Always true.
    bool RegisterMsgHandler();
    /// Withdraws everything that can call into the minimap: the handler for 254, the poll
    /// chain (no run starts or re-registers afterwards; a run in progress is waited for), the
    /// type-32 registration with the game-server client and the role reset slot. Idempotent.
    /// Call without siblingMutex or timerMutex held.
    void PrepareRelease();
    /// Empties the player, NPC and query stores, in that order, under the client core lock.
    /// Emits nothing. The role system's RoleResetSignal calls it.
    void ResetStores();
    /// The poll timer callback: sends the poll request if polling is enabled and the current
    /// role has a battle-info entity whose flag is clear, then registers the next run. A run of
    /// a chain that was replaced or released does nothing and ends its chain.
    void MyTimeFunc(os::Timer* timer, os::TimerID id, void* userData);
    /// The handler of message identifier 254: applies one synchronisation operation to the
    /// stores and emits MarkersChanged or QueryFinished, all under the client core lock.
    void OnMiniMapMsg(ISender* sender, const NetMsg* msg);

    /// Sets the host container. Done by the module's entry point before the minimap is
    /// registered with the host, so that a start walk on another thread sees it set.
    void SetHostContainer(IPluginContainer* host) noexcept { hostContainer = host; }

    /// The number that tells this minimap from every other one of the process, an earlier one
    /// at the same address included.
    std::uint64_t GetSerial() const noexcept { return serial; }

private:
    /// What the minimap registers with the game-server client under message type 32: a
    /// callable that dispatches through the minimap's own dispatcher, only while the minimap
    /// is live (found by its serial number in the register of live minimaps), checked and kept
    /// so under the client core lock. It refers to the dispatcher rather than holding a copy of
    /// it: the game-server client copies its handler for every
    /// message, and a copy of this one is a pointer, not a hash table. What it reaches is what
    /// a copy taken at prepare-start would hold, since the table changes only before the start
    /// (the handler for 254) and at the release (which withdraws this callable as well). Two are
    /// equal when they refer to the same minimap.
    struct LiveDispatcher {
        std::uint64_t serial;

        void operator()(ISender* sender, const NetMsg* msg) const;
        friend bool operator==(const LiveDispatcher&, const LiveDispatcher&) = default;
    };

    /// OnMiniMapMsg's work, the client core lock held: applies `msg` (nothing when null) and
    /// logs what a slot or a sibling threw.
    void ApplyMessageLocked(const NetMsg* msg);
    /// Reads and applies one synchronisation operation. Client core lock held.
    void ApplySyncMessage(const NetMsg& msg);
    /// Sends the poll request if the current role's battle flag is clear. siblingMutex held.
    void SendPollLocked();
    /// Withdraws the type-32 registration from `client` if the handler registered there is
    /// the one this minimap registered. siblingMutex held.
    void WithdrawMessageTypeLocked(pyr::IGameServerClient* client);
    /// Withdraws the role reset slot from `roles`. siblingMutex held.
    void WithdrawRoleResetLocked(pyr::IRoleSystem* roles);

    /// The container given to InitPluginContainer; not owned.
    IPluginContainer* hostContainer = nullptr;
    /// Routes the minimap's messages by identifier: OnMiniMapMsg under 254 until release.
    /// Deliveries read it under the client core lock, so it is changed only under that lock
    /// (or before the minimap is registered with the game-server client).
    MsgIdDispatcher messageDispatcher;
    /// Found at prepare-start; null until then and after it left the host. Not owned.
    /// Guarded by siblingMutex.
    pyr::IGameServerClient* gameServerClient = nullptr;
    /// The current poll chain's registration; InvalidTimerID when none. Guarded by timerMutex.
    os::TimerID pollTimer;
    /// Found at prepare-start; null until then and after it left the host. Not owned.
    /// Guarded by siblingMutex.
    pyr::IRoleSystem* roleSystem = nullptr;
    /// Written by the user interface, read by the poll timer on its own thread.
    std::atomic<bool> pollEnabled{false};
    /// Changed under the client core lock; see IPyr_MiniMap for readers.
    MiniMapPlayerInfoMap playerStore;
    MiniMapNpcInfoMap npcStore;
    MiniMapNpcInfoMap queryStore;

    /// Leaf lock over the sibling pointers and registeredHandler, held around every use of a
    /// sibling from the timer thread and the user interface, so that a sibling leaving the
    /// host is not used meanwhile.
    std::mutex siblingMutex;
    /// The callable registered with the game-server client under type 32, kept to recognise
    /// it when withdrawing. Empty when nothing is registered.
    os::Function<void(ISender*, const NetMsg*)> registeredHandler;
    /// Leaf lock over pollTimer, released and currentRun. The timer service is called under it to
    /// register (never to cancel: Cancel waits for a running callback, which takes this
    /// mutex).
    std::mutex timerMutex;
    /// Set by PrepareRelease: no poll run starts or re-registers afterwards. Guarded by
    /// timerMutex.
    bool released = false;
    /// The registration whose run started last; PrepareRelease waits for it to end. Guarded
    /// by timerMutex.
    os::TimerID currentRun;
    /// See GetSerial.
    const std::uint64_t serial;
};
