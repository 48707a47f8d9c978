#include "server/World.h"

#include <utility>

namespace sim {

namespace {

/// Takes the values the event gives; the others stay as they were.
void Overwrite(std::pair<float, float>& player, const ScenarioEvent& e) {
    player.first = e.x.value_or(player.first);
    player.second = e.y.value_or(player.second);
}

void Overwrite(NpcState& npc, const ScenarioEvent& e) {
    npc.name = e.name.value_or(npc.name);
    npc.x = e.x.value_or(npc.x);
    npc.y = e.y.value_or(npc.y);
    npc.kind = e.kind.value_or(npc.kind);
    npc.quest = e.quest.value_or(npc.quest);
}

/// A Set item's record and its store selector.
void PutRecord(SyncItem& set, const _MiniMapPlayerInfo& record) {
    set.player = true;
    set.playerRecord = record;
}

void PutRecord(SyncItem& set, const _MiniMapNpcInfo& record) {
    set.player = false;
    set.npcRecord = record;
}

}  // namespace

void World::Apply(const ScenarioEvent& e) {
    switch (e.type) {
        case EventType::PlayerAppear:
        case EventType::PlayerMove:
            Overwrite(players[e.id], e);
            break;
        case EventType::NpcAppear:
            npcs[e.id] = NpcState{};  // an NPC that appears again starts afresh
            [[fallthrough]];
        case EventType::NpcMove:
        case EventType::NpcUpdate:
            Overwrite(npcs[e.id], e);
            break;
        case EventType::PlayerLeave:
            players.erase(e.id);
            break;
        case EventType::NpcLeave:
            npcs.erase(e.id);
            break;
        case EventType::Clear:
            Clear();
            break;
        case EventType::RoleReset:
            ++roleResets;
            break;
    }
}

void World::Clear() {
    players.clear();
    npcs.clear();
    ++clearCount;
}

std::map<std::uint64_t, _MiniMapPlayerInfo> World::PlayerRecords() const {
    std::map<std::uint64_t, _MiniMapPlayerInfo> out;
    for (const auto& [id, pos] : players) {
        out.emplace(id, proto::MakePlayer(id, pos.first, pos.second));
    }
    return out;
}

std::map<std::uint64_t, _MiniMapNpcInfo> World::NpcRecords() const {
    std::map<std::uint64_t, _MiniMapNpcInfo> out;
    for (const auto& [id, n] : npcs) {
        out.emplace(id, proto::MakeNpc(id, n.name, n.x, n.y, n.kind, n.quest));
    }
    return out;
}

std::vector<_MiniMapNpcInfo> World::Query(std::int32_t queryArg) const {
    std::vector<_MiniMapNpcInfo> out;
    for (const auto& [id, n] : npcs) {
        if (queryArg == proto::kQueryAllKinds || n.kind == queryArg) {
            out.push_back(proto::MakeNpc(id, n.name, n.x, n.y, n.kind, n.quest));
        }
    }
    return out;
}

std::vector<SyncItem> ClientView::Poll(const World& world) {
    std::vector<SyncItem> items;
    const auto worldPlayers = world.PlayerRecords();
    const auto worldNpcs = world.NpcRecords();

    const bool cleared = world.GetClearCount() != clearsSeen;
    clearsSeen = world.GetClearCount();
    const bool holdsAny = !players.empty() || !npcs.empty();
    if (std::exchange(unknown, false) ||
        (holdsAny && (cleared || (worldPlayers.empty() && worldNpcs.empty())))) {
        SyncItem clear;
        clear.op = proto::MiniMapSyncOp::Clear;
        items.push_back(clear);
        players.clear();
        npcs.clear();
    }

    const auto removeGone = [&items](auto& known, const auto& current, bool isPlayer) {
        for (auto it = known.begin(); it != known.end();) {
            if (current.count(it->first) == 0) {
                SyncItem remove;
                remove.op = proto::MiniMapSyncOp::Remove;
                remove.player = isPlayer;
                remove.id = it->first;
                items.push_back(remove);
                it = known.erase(it);
            } else {
                ++it;
            }
        }
    };
    removeGone(players, worldPlayers, true);
    removeGone(npcs, worldNpcs, false);

    const auto setChanged = [&items](auto& known, const auto& current) {
        for (const auto& [id, record] : current) {
            const auto it = known.find(id);
            if (it == known.end() || !proto::SameBytes(it->second, record)) {
                SyncItem set;
                set.op = proto::MiniMapSyncOp::Set;
                set.id = id;
                PutRecord(set, record);
                items.push_back(set);
                known.insert_or_assign(id, record);
            }
        }
    };
    setChanged(players, worldPlayers);
    setChanged(npcs, worldNpcs);
    return items;
}

void ClientView::Forget() {
    unknown = false;
    players.clear();
    npcs.clear();
}

}  // namespace sim
