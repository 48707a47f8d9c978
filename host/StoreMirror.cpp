#include "host/StoreMirror.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>

#include "function/EnumName.h"
#include "host/ChunkData.h"
#include "net/NetMsg.h"
#include "protocol/MiniMapProtocol.h"

namespace host {

namespace {

std::uint64_t LoadId(const unsigned char* p) {
    std::uint64_t id;
    std::memcpy(&id, p, sizeof id);
    return net::LittleToHost(id);
}

/// Equal as a line shows them: a float by its bits while finite (so -0 and 0 differ), every
/// non-finite one alike (all are null); a name up to its first NUL. A record whose other bytes
/// changed (after the name's NUL, the reserved word, a NaN's payload) is not a change a
/// consumer could see, and must not count as one.
bool SameShownFloat(float a, float b) {
    if (!std::isfinite(a) || !std::isfinite(b)) {
        return !std::isfinite(a) && !std::isfinite(b);
    }
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

bool SameAsShown(const _MiniMapPlayerInfo& a, const _MiniMapPlayerInfo& b) {
    return SameShownFloat(proto::GetX(a), proto::GetX(b)) &&
           SameShownFloat(proto::GetY(a), proto::GetY(b));
}

bool SameAsShown(const _MiniMapNpcInfo& a, const _MiniMapNpcInfo& b) {
    return SameShownFloat(proto::GetX(a), proto::GetX(b)) &&
           SameShownFloat(proto::GetY(a), proto::GetY(b)) &&
           proto::GetKind(a) == proto::GetKind(b) && proto::GetQuest(a) == proto::GetQuest(b) &&
           proto::GetNameView(a) == proto::GetNameView(b);
}

template <class Record>
void Point(MarkerChange& change, const Record& record) {
    if constexpr (std::is_same_v<Record, _MiniMapPlayerInfo>) {
        change.player = &record;
    } else {
        change.npc = &record;
    }
}

}  // namespace

const char* ToString(MarkerStore store) noexcept {
    static constexpr const char* kNames[] = {"players", "npcs", "query"};
    return os::EnumName<MarkerStore::Query>(store, kNames, "?");
}

void StoreMirror::Touch(const NetMsg& msg) {
    if (msg.GetMsgType() != proto::MiniMapMsgType || msg.GetMsgID() != proto::MiniMapSyncMsgId) {
        return;
    }
    const unsigned char* code = ChunkData(msg, 0, 4);
    if (code == nullptr) {
        return;
    }
    std::int32_t op;
    std::memcpy(&op, code, sizeof op);
    switch (static_cast<proto::MiniMapSyncOp>(net::LittleToHost(op))) {
        case proto::MiniMapSyncOp::Set:
        case proto::MiniMapSyncOp::Remove: {
            const unsigned char* selector = ChunkData(msg, 1, 1);
            if (selector == nullptr) {
                return;
            }
            const bool player = *selector != 0;
            const bool set = static_cast<proto::MiniMapSyncOp>(net::LittleToHost(op)) ==
                             proto::MiniMapSyncOp::Set;
            const std::size_t size =
                !set ? sizeof(std::uint64_t)
                     : (player ? sizeof(_MiniMapPlayerInfo) : sizeof(_MiniMapNpcInfo));
            if (const unsigned char* key = ChunkData(msg, 2, size)) {
                Note(player ? touchedPlayers : touchedNpcs, LoadId(key));
            }
            return;
        }
        case proto::MiniMapSyncOp::QueryResult:
            if (const unsigned char* record = ChunkData(msg, 1, sizeof(_MiniMapNpcInfo))) {
                Note(touchedQuery, LoadId(record));
            }
            return;
        default:
            // Clear touches no key: it shows as a store emptied.
            return;
    }
}

void StoreMirror::Note(Touched& touched, std::uint64_t key) {
    if (touched.all) {
        return;
    }
    touched.keys.push_back(key);
    if (touched.keys.size() < std::max(touched.foldAt, touchedLimit)) {
        return;
    }
    std::sort(touched.keys.begin(), touched.keys.end());
    touched.keys.erase(std::unique(touched.keys.begin(), touched.keys.end()), touched.keys.end());
    if (touched.keys.size() > touchedLimit) {
        touched.all = true;
        touched.keys.clear();
        return;
    }
    // Folded again only once as many keys came in again: the sorting costs each key a
    // logarithm.
    touched.foldAt = 2 * touched.keys.size();
}

template <class Map>
void StoreMirror::DiffTouched(MarkerStore which, const Map& live, Map& copy, Touched& touched) {
    if (touched.all && !live.empty()) {
        // Too many keys to list: every key that differs between the store and the copy, found
        // by walking both; the result is what the list would have given.
        touched.keys.clear();
        for (const auto& entry : copy) {
            if (live.find(entry.first) == live.end()) {
                touched.keys.push_back(entry.first);
            }
        }
        for (const auto& [id, record] : live) {
            const auto was = copy.find(id);
            if (was == copy.end() || !SameAsShown(was->second, record)) {
                touched.keys.push_back(id);
            }
        }
    }
    // An emptied store shows as a clear, listed or not.
    Diff(which, live, copy, touched.all && live.empty() ? nullptr : &touched.keys);
    touched.keys.clear();
    touched.all = false;
    touched.foldAt = 0;
}

template <class Map>
void StoreMirror::Diff(MarkerStore which, const Map& live, Map& copy,
                       std::vector<std::uint64_t>* touched) {
    std::size_t untouchedLive = live.size();
    std::size_t untouchedCopy = copy.size();
    if (touched != nullptr) {
        std::sort(touched->begin(), touched->end());
        touched->erase(std::unique(touched->begin(), touched->end()), touched->end());
        for (const std::uint64_t id : *touched) {
            untouchedLive -= live.count(id);
            untouchedCopy -= copy.count(id);
        }
    }
    if (touched != nullptr && untouchedLive == untouchedCopy) {
        // No empty since the last signal: the untouched records are as they were.
        for (const std::uint64_t id : *touched) {
            const auto now = live.find(id);
            const auto was = copy.find(id);
            if (now == live.end()) {
                if (was != copy.end()) {
                    copy.erase(was);
                    changes.push_back({MarkerChange::Op::Remove, which, id});
                }
            } else if (was == copy.end() || !SameAsShown(was->second, now->second)) {
                auto& record = copy[id];
                record = now->second;
                MarkerChange change{MarkerChange::Op::Set, which, id};
                Point(change, record);
                changes.push_back(change);
            }
        }
    } else if (!copy.empty() || !live.empty()) {
        changes.push_back({MarkerChange::Op::Clear, which, 0});
        copy.clear();
        for (const std::uint64_t id : SortedIds(live)) {
            auto& record = copy[id];
            record = live.at(id);
            MarkerChange change{MarkerChange::Op::Set, which, id};
            Point(change, record);
            changes.push_back(change);
        }
    }
    if (touched != nullptr) {
        touched->clear();
    }
}

const std::vector<MarkerChange>& StoreMirror::Update(pyr::IPyr_MiniMap& minimap) {
    changes.clear();
    DiffTouched(MarkerStore::Players, minimap.GetPlayerInfoMap(), players, touchedPlayers);
    DiffTouched(MarkerStore::Npcs, minimap.GetNpcInfoMap(), npcs, touchedNpcs);
    DiffTouched(MarkerStore::Query, minimap.GetQueryNpcInfoMap(), query, touchedQuery);
    return changes;
}

const std::vector<MarkerChange>& StoreMirror::Resync(pyr::IPyr_MiniMap& minimap) {
    changes.clear();
    Diff(MarkerStore::Players, minimap.GetPlayerInfoMap(), players, nullptr);
    Diff(MarkerStore::Npcs, minimap.GetNpcInfoMap(), npcs, nullptr);
    Diff(MarkerStore::Query, minimap.GetQueryNpcInfoMap(), query, nullptr);
    return changes;
}

}  // namespace host
