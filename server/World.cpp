#include "server/World.h"

namespace sim {

void World::Apply(const ScenarioEvent& e) {
    switch (e.type) {
        case EventType::PlayerAppear:
        case EventType::PlayerMove: {
            auto& p = players[e.id];
            p.first = e.x.value_or(p.first);
            p.second = e.y.value_or(p.second);
            break;
        }
        case EventType::PlayerLeave:
            players.erase(e.id);
            break;
        case EventType::NpcAppear:
            npcs[e.id] = NpcState{e.name.value_or(""), e.x.value_or(0), e.y.value_or(0),
                                  e.kind.value_or(0), e.quest.value_or(proto::kNoQuest)};
            break;
        case EventType::NpcMove:
        case EventType::NpcUpdate: {
            NpcState& n = npcs[e.id];
            n.name = e.name.value_or(n.name);
            n.x = e.x.value_or(n.x);
            n.y = e.y.value_or(n.y);
            n.kind = e.kind.value_or(n.kind);
            n.quest = e.quest.value_or(n.quest);
            break;
        }
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
    if (holdsAny && (cleared || (worldPlayers.empty() && worldNpcs.empty()))) {
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

    for (const auto& [id, record] : worldPlayers) {
        const auto known = players.find(id);
        if (known == players.end() || !proto::SameBytes(known->second, record)) {
            SyncItem set;
            set.op = proto::MiniMapSyncOp::Set;
            set.player = true;
            set.id = id;
            set.playerRecord = record;
            items.push_back(set);
            players[id] = record;
        }
    }
    for (const auto& [id, record] : worldNpcs) {
        const auto known = npcs.find(id);
        if (known == npcs.end() || !proto::SameBytes(known->second, record)) {
            SyncItem set;
            set.op = proto::MiniMapSyncOp::Set;
            set.player = false;
            set.id = id;
            set.npcRecord = record;
            items.push_back(set);
            npcs.insert_or_assign(id, record);
        }
    }
    return items;
}

void ClientView::Forget() {
    players.clear();
    npcs.clear();
}

}  // namespace sim
