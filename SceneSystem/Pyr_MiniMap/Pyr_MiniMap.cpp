#include "SceneSystem/Pyr_MiniMap/Pyr_MiniMap.h"

#include <cstdint>

#include "SceneSystem/Pyr_MiniMap/LiveMiniMaps.h"
#include "function/Bind.h"
#include "net/ByteOrder.h"
#include "net/LogFormat.h"
#include "net/NetMsg.h"
#include "plugin/HostServices.h"

namespace {

using pyr::MiniMapRequestOp;
using pyr::MiniMapSyncOp;

// A record's store key: its `id`, read from the record's little-endian image as
// ReadChunkValue reads the identifier of a Remove, so that the two always meet.
template <class Record>
std::uint64_t StoreKey(const Record& record) noexcept {
    return net::LittleToHost(record.id);
}

}  // namespace

Pyr_MiniMap::Pyr_MiniMap() : serial(minimap::NextSerial()) {
    playerStore.clear();
    npcStore.clear();
    pollTimer = os::InvalidTimerID;
}

Pyr_MiniMap::~Pyr_MiniMap() {
    bool wasReleased = false;
    {
        std::lock_guard<std::mutex> guard(timerMutex);
        wasReleased = released;
    }
    if (!wasReleased) {
        PrepareRelease();
    }
    playerStore.clear();
    npcStore.clear();
    pollTimer = os::InvalidTimerID;
}

const std::type_info& Pyr_MiniMap::GetTypeInfo() const {
    return typeid(Pyr_MiniMap);
}

void Pyr_MiniMap::EntityAction() {}

const GUID& Pyr_MiniMap::GetContainerTypeId() const {
    return MiniMapContainerTypeId;
}

bool Pyr_MiniMap::OnParentStart() {
    return true;
}

MiniMapPlayerInfoMap& Pyr_MiniMap::GetPlayerInfoMap() {
    return playerStore;
}

MiniMapNpcInfoMap& Pyr_MiniMap::GetNpcInfoMap() {
    return npcStore;
}

MiniMapNpcInfoMap& Pyr_MiniMap::GetQueryNpcInfoMap() {
    return queryStore;
}

void Pyr_MiniMap::SetPollEnabled(const bool& enabled) {
    pollEnabled.store(enabled);
}

bool Pyr_MiniMap::RegisterMsgHandler() {
    std::lock_guard<std::mutex> guard(siblingMutex);
    messageDispatcher.Register(pyr::MiniMapSyncMsgId, os::bind(&Pyr_MiniMap::OnMiniMapMsg, this));
    return true;
}

bool Pyr_MiniMap::OnPrepareParentStart() {
    {
        // A release in progress on another thread: the minimap is leaving the host and takes
        // no part in the start (what a walk registered anyway is withdrawn by the release).
        std::lock_guard<std::mutex> guard(timerMutex);
        if (released) {
            return true;
        }
    }
    if (!IsClientCoreHost(hostContainer)) {
        return false;
    }

    pyr::IRoleSystem* roles = nullptr;
    QuerySiblingContainer<pyr::IRoleSystem>(roles, RoleSystemTypeId, false);
    {
        std::lock_guard<std::mutex> guard(siblingMutex);
        roleSystem = roles;
        if (roleSystem == nullptr) {
            return false;
        }
        // An equal slot connected by an earlier start stays the only one.
        roleSystem->RoleResetSignal.Add(os::bind(&Pyr_MiniMap::ResetStores, this));
    }

    pyr::IGameServerClient* client = nullptr;
    hostContainer->QueryChildContainer<pyr::IGameServerClient>(client, GameServerClientTypeId,
                                                               false);
    {
        std::lock_guard<std::mutex> guard(siblingMutex);
        gameServerClient = client;
        if (gameServerClient == nullptr) {
            return false;
        }
    }

    // One poll chain per minimap: a start after a shutdown replaces the chain of the earlier
    // start. The replaced chain's run in progress, if any, is waited for by Cancel and finds
    // itself replaced, so it does not register again.
    os::TimerID replaced;
    {
        std::lock_guard<std::mutex> guard(timerMutex);
        if (released) {
            return true;
        }
        replaced = pollTimer;
        pollTimer = PLINTH_REGISTER_TIMER(os::GetTimer(), os::bind(&Pyr_MiniMap::MyTimeFunc, this),
                                          pyr::MiniMapPollInterval, nullptr);
    }
    replaced.Cancel();

    {
        std::lock_guard<std::mutex> guard(siblingMutex);
        // A second start finds its own earlier registration there, equal to this one, and
        // changes nothing.
        os::Function<void(ISender*, const NetMsg*)> handler(LiveDispatcher{serial});
        if (gameServerClient != nullptr && gameServerClient->MsgTypeDispatcher != nullptr) {
            gameServerClient->MsgTypeDispatcher->Register(pyr::MiniMapMsgType, handler);
            registeredHandler = handler;
        }
    }
    return true;
}

void Pyr_MiniMap::OnSiblingContainerUnregistered(IPluginContainer* sibling) {
    if (sibling == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(siblingMutex);
    if (roleSystem != nullptr && sibling == roleSystem) {
        WithdrawRoleResetLocked(roleSystem);
        roleSystem = nullptr;
    }
    if (gameServerClient != nullptr && sibling == gameServerClient) {
        WithdrawMessageTypeLocked(gameServerClient);
        gameServerClient = nullptr;
    }
}

void Pyr_MiniMap::PrepareRelease() {
    {
        // A delivery on another thread reads the dispatcher under the core lock.
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        std::lock_guard<std::mutex> guard(siblingMutex);
        messageDispatcher.Unregister(pyr::MiniMapSyncMsgId);
    }

    os::TimerID chain;
    os::TimerID lastRun;
    {
        std::lock_guard<std::mutex> guard(timerMutex);
        released = true;
        chain = pollTimer;
        lastRun = currentRun;
        pollTimer = os::InvalidTimerID;
    }
    // Outside timerMutex: Cancel waits for a run in progress, and that run takes the mutex to
    // find the chain released. The last run is waited for as well: it may already have
    // registered the next one (which `chain` names) and still be on its way out.
    chain.Cancel();
    lastRun.Cancel();

    std::lock_guard<std::mutex> guard(siblingMutex);
    if (gameServerClient != nullptr) {
        WithdrawMessageTypeLocked(gameServerClient);
        gameServerClient = nullptr;
    }
    if (roleSystem != nullptr) {
        WithdrawRoleResetLocked(roleSystem);
        roleSystem = nullptr;
    }
}

void Pyr_MiniMap::WithdrawMessageTypeLocked(pyr::IGameServerClient* client) {
    if (!registeredHandler.IsEmpty() && client->MsgTypeDispatcher != nullptr &&
        client->MsgTypeDispatcher->GetHandler(pyr::MiniMapMsgType) == registeredHandler) {
        client->MsgTypeDispatcher->Unregister(pyr::MiniMapMsgType);
    }
    registeredHandler.Reset();
}

void Pyr_MiniMap::WithdrawRoleResetLocked(pyr::IRoleSystem* roles) {
    roles->RoleResetSignal.Remove(os::bind(&Pyr_MiniMap::ResetStores, this));
}

void Pyr_MiniMap::ResetStores() {
    // The role system emits under the core lock, and the release removes this slot under it,
    // so an emission either ends before the release or no longer holds the slot.
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    playerStore.clear();
    npcStore.clear();
    queryStore.clear();
}

void Pyr_MiniMap::MyTimeFunc(os::Timer* /*timer*/, os::TimerID id, void* /*userData*/) {
    {
        std::lock_guard<std::mutex> guard(timerMutex);
        if (released || !(id == pollTimer)) {
            return;
        }
        currentRun = id;
    }

    if (pollEnabled.load()) {
        // Exceptions from a sibling stop here: the timer service lives in another library.
        std::lock_guard<std::mutex> guard(siblingMutex);
        LogCaughtIn("Pyr_MiniMap::MyTimeFunc", [this] { SendPollLocked(); });
    }

    std::lock_guard<std::mutex> guard(timerMutex);
    if (released || !(id == pollTimer)) {
        return;
    }
    pollTimer = PLINTH_REGISTER_TIMER(os::GetTimer(), os::bind(&Pyr_MiniMap::MyTimeFunc, this),
                                      pyr::MiniMapPollInterval, nullptr);
}

void Pyr_MiniMap::SendPollLocked() {
    // A role system that left the host counts as no current role.
    if (roleSystem == nullptr) {
        return;
    }
    const pyr::RoleHandle role = roleSystem->GetCurrentRole();
    if (!role) {
        return;
    }
    auto* battle =
        dynamic_cast<pyr::IRoleBattleInfo*>(role.role->GetRoleEntity(pyr::RoleBattleInfoKind));
    if (battle == nullptr || battle->GetBattleFlag()) {
        return;
    }
    if (gameServerClient == nullptr) {
        return;
    }
    NetMsg request(pyr::MiniMapMsgType, pyr::MiniMapRequestMsgId);
    const auto op = static_cast<std::int32_t>(MiniMapRequestOp::Poll);
    request.AddChunk(&op, sizeof(op), 0);
    gameServerClient->SendNetMsg(&request);
}

bool Pyr_MiniMap::RequestNpcQuery(int queryArg) {
    bool sent = false;
    // The caller (the user interface) lives in another module: nothing is thrown back to it.
    LogCaughtIn("Pyr_MiniMap::RequestNpcQuery", [&] {
        {
            os::ThreadLockHandle coreLock(GetClientCoreLock());
            queryStore.clear();
        }
        // Not under the core lock (taken here): the send may block on the connection.
        std::lock_guard<std::mutex> guard(siblingMutex);
        if (gameServerClient == nullptr) {
            return;
        }
        NetMsg request(pyr::MiniMapMsgType, pyr::MiniMapRequestMsgId);
        const auto op = static_cast<std::int32_t>(MiniMapRequestOp::Query);
        const std::int32_t argument = queryArg;
        request.AddChunk(&op, sizeof(op), 0);
        request.AddChunk(&argument, sizeof(argument), 1);
        sent = gameServerClient->SendNetMsg(&request);
    });
    return sent;
}

void Pyr_MiniMap::LiveDispatcher::operator()(ISender* sender, const NetMsg* msg) const {
    // The lock comes first: the game-server client may have taken this handler before a
    // release on another thread withdrew it, and the release deletes the minimap once it holds
    // the lock. Held on through the dispatch, so the minimap cannot go away meanwhile;
    // OnMiniMapMsg finds it held by this thread and does not take it again.
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    const Pyr_MiniMap* owner = minimap::FindLive(serial);
    if (owner == nullptr) {
        return;
    }
    // The dispatcher calls a copy of the handler it finds, and touches nothing of itself after
    // the call: a slot that releases the minimap meanwhile (a host that stops once it has its
    // answer) leaves it nothing to reach.
    owner->messageDispatcher(sender, msg);
}

void Pyr_MiniMap::OnMiniMapMsg(ISender* /*sender*/, const NetMsg* msg) {
    // The lock is re-entrant: taking it again on a thread that holds it (a delivery through
    // the registered callable, a slot that calls back) changes nothing, and asking costs less.
    os::ThreadLock& core = GetClientCoreLock();
    if (core.IsHeldByCurrentThread()) {
        ApplyMessageLocked(msg);
        return;
    }
    os::ThreadLockHandle coreLock(core);
    ApplyMessageLocked(msg);
}

void Pyr_MiniMap::ApplyMessageLocked(const NetMsg* msg) {
    if (msg == nullptr) {
        return;
    }
    // Exceptions from a slot stop here: the game-server client lives in another module.
    LogCaughtIn("Pyr_MiniMap::OnMiniMapMsg", [&] { ApplySyncMessage(*msg); });
}

void Pyr_MiniMap::ApplySyncMessage(const NetMsg& msg) {
    const std::int32_t* codeData = nullptr;
    if (!VerifyChunk(&codeData, msg.GetChunk(0))) {
        return;
    }
    // Compared as unsigned, so a negative code counts as an unknown one.
    switch (static_cast<std::uint32_t>(ReadChunkValue(codeData))) {
        case static_cast<std::uint32_t>(MiniMapSyncOp::Set): {
            const bool* selectorData = nullptr;
            if (!VerifyChunk(&selectorData, msg.GetChunk(1))) {
                return;
            }
            if (ReadChunkValue(selectorData)) {
                const _MiniMapPlayerInfo* data = nullptr;
                if (!VerifyChunk(&data, msg.GetChunk(2))) {
                    return;
                }
                const _MiniMapPlayerInfo record = ReadChunkValue(data);
                playerStore[StoreKey(record)] = record;
            } else {
                const _MiniMapNpcInfo* data = nullptr;
                if (!VerifyChunk(&data, msg.GetChunk(2))) {
                    return;
                }
                const _MiniMapNpcInfo record = ReadChunkValue(data);
                npcStore[StoreKey(record)] = record;
            }
            MarkersChanged.Emit();
            return;
        }
        case static_cast<std::uint32_t>(MiniMapSyncOp::Remove): {
            const bool* selectorData = nullptr;
            const std::uint64_t* idData = nullptr;
            // Both reads are made before either is tested: each missing chunk is logged.
            const bool selectorRead = VerifyChunk(&selectorData, msg.GetChunk(1));
            const bool idRead = VerifyChunk(&idData, msg.GetChunk(2));
            if (!selectorRead || !idRead) {
                return;
            }
            const std::uint64_t id = ReadChunkValue(idData);
            bool removed = false;
            if (ReadChunkValue(selectorData)) {
                removed = playerStore.erase(id) != 0;
            } else {
                removed = npcStore.erase(id) != 0;
            }
            if (removed) {
                MarkersChanged.Emit();
            }
            return;
        }
        case static_cast<std::uint32_t>(MiniMapSyncOp::Clear):
            if (!npcStore.empty()) {
                npcStore.clear();
            }
            if (!playerStore.empty()) {
                playerStore.clear();
            }
            MarkersChanged.Emit();
            return;
        case static_cast<std::uint32_t>(MiniMapSyncOp::QueryResult): {
            const _MiniMapNpcInfo* data = nullptr;
            if (!VerifyChunk(&data, msg.GetChunk(1))) {
                return;
            }
            const _MiniMapNpcInfo record = ReadChunkValue(data);
            // The first record received for an identifier stays.
            queryStore.try_emplace(StoreKey(record), record);
            return;
        }
        case static_cast<std::uint32_t>(MiniMapSyncOp::QueryEnd):
            QueryFinished.Emit();
            return;
        default:
            return;
    }
}
