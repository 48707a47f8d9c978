// The simulator's world: which markers exist now, and what each client has been told.
//
// World holds the markers as the scenario has made them so far. ClientView remembers, for one
// connected client, the markers that client's stores hold (everything the server has sent it)
// and turns the difference to the world into the store operations of one poll answer.
//
// Thread safety: none; the server uses both on its one network thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol/MiniMapProtocol.h"
#include "server/Scenario.h"

namespace sim {

struct NpcState {
    std::string name;
    float x = 0;
    float y = 0;
    std::int32_t kind = 0;
    std::int32_t quest = proto::kNoQuest;
};

class World {
public:
    /// Applies one scenario event. An event that does not fit the present markers (a move of
    /// an absent id, an appear of a present one) changes what it can: appear and move set the
    /// marker, leave of an absent id does nothing. Role resets change no marker; they only
    /// count (see GetRoleResets).
    void Apply(const ScenarioEvent& event);

    /// Every marker disappears, as by a clear event (a scenario starting over).
    void Clear();

    /// The player records by id, ascending.
    std::map<std::uint64_t, _MiniMapPlayerInfo> PlayerRecords() const;
    /// The NPC records by id, ascending.
    std::map<std::uint64_t, _MiniMapNpcInfo> NpcRecords() const;

    /// The NPC records that answer a query: every NPC for proto::kQueryAllKinds (-1), else
    /// those of that kind; ascending id.
    std::vector<_MiniMapNpcInfo> Query(std::int32_t queryArg) const;

    /// Counts clears (events and restarts): a client that saw an older count is sent Clear.
    std::uint64_t GetClearCount() const noexcept { return clearCount; }
    std::uint64_t GetRoleResets() const noexcept { return roleResets; }
    std::size_t GetPlayerCount() const noexcept { return players.size(); }
    std::size_t GetNpcCount() const noexcept { return npcs.size(); }

private:
    std::map<std::uint64_t, std::pair<float, float>> players;
    std::map<std::uint64_t, NpcState> npcs;
    std::uint64_t clearCount = 0;
    std::uint64_t roleResets = 0;
};

/// One store operation of a poll answer.
struct SyncItem {
    proto::MiniMapSyncOp op = proto::MiniMapSyncOp::Clear;
    /// The store selector of Set and Remove: true for the player store.
    bool player = false;
    /// Remove: the id.
    std::uint64_t id = 0;
    _MiniMapPlayerInfo playerRecord;
    _MiniMapNpcInfo npcRecord;
};

class ClientView {
public:
    /// A client that connects now. What its stores hold is unknown: they outlive a connection,
    /// so a client that comes back still holds what an earlier connection (to this server or
    /// another) set. Clears that happened before it came are none of its business.
    explicit ClientView(const World& world) : clearsSeen(world.GetClearCount()) {}

    /// The operations that bring the client's stores to the world's state, in the order to
    /// send them, and remembers the world's state as the client's:
    /// - Clear first, in the first answer of a connection (the client may hold markers nobody
    ///   here knows of), and when the world was cleared since the last poll or has no marker
    ///   left and the client holds markers (one message instead of a Remove per marker);
    /// - then Remove of every marker the client holds that the world no longer has (players,
    ///   then NPCs, ascending id);
    /// - then Set of every marker that is new or changed in any byte (players, then NPCs).
    /// Empty when the client is up to date.
    std::vector<SyncItem> Poll(const World& world);

    /// The client's stores were emptied behind the protocol's back (its role was reset): it
    /// holds nothing now, so the next poll sets every marker again, with no Clear first.
    void Forget();

    std::size_t GetKnownPlayers() const noexcept { return players.size(); }
    std::size_t GetKnownNpcs() const noexcept { return npcs.size(); }

private:
    std::map<std::uint64_t, _MiniMapPlayerInfo> players;
    std::map<std::uint64_t, _MiniMapNpcInfo> npcs;
    std::uint64_t clearsSeen;
    /// Until the first answer: the client's stores may hold anything.
    bool unknown = true;
};

}  // namespace sim
