// StoreMirror: what changed in the minimap's three stores since the last signal, found in time
// that does not grow with the stores.
//
// Nothing in the minimap's interface says what a signal is about. The host knows it anyway:
// it hands every message to the module, and a sync message names the one key it touches (Set
// and Remove: the record's or the message's id; QueryResult: the record's id; Clear: none).
// The mirror keeps its own copy of the three stores; at each signal it compares, for the keys
// the messages delivered since the last signal touched, its copy with the module's store, and
// reports each difference as a set or a remove. The only changes that touch keys without a
// message naming them are whole-store empties (Clear, the role reset, a new query), and each
// shows as a size that differs among the untouched keys: the store is then reported as
// cleared and every record it now holds is set again (after an empty, only touched keys can be
// there, so this too costs what was touched). The mirror never assumes what the module did
// with a message: it reads the result from the store.
//
// It relies on the stores changing only through the messages the host delivers and through
// empties; a difference it cannot explain by those (a store changed behind the host's back)
// still comes out right, as a clear and a full copy of that store.
//
// Messages that change nothing emit no signal (a Remove of an absent id, an answer already
// held), so the keys they touch pile up until the next signal. Repeats are folded as they
// come; past `touchedLimit` distinct keys of one store the list is dropped, and the next
// signal compares that whole store with the copy instead and reports exactly what differs.
// Memory stays bounded whatever the server sends, and the whole compare, as long as the
// store, comes at most once per `touchedLimit` messages.
//
// Threads: Touch and Update run on the game-server client's delivery thread, the one that
// emits MarkersChanged and QueryFinished (the touched keys belong to it alone); Update and
// Resync hold the client core lock, which guards the copy.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"

class NetMsg;

namespace host {

enum class MarkerStore : std::uint8_t { Players, Npcs, Query };

/// "players", "npcs", "query".
const char* ToString(MarkerStore store) noexcept;

/// A store's keys in ascending order: the order every whole-store listing uses.
template <class Map>
std::vector<std::uint64_t> SortedIds(const Map& store) {
    std::vector<std::uint64_t> ids;
    ids.reserve(store.size());
    for (const auto& entry : store) {
        ids.push_back(entry.first);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

struct MarkerChange {
    enum class Op : std::uint8_t { Set, Remove, Clear };
    Op op = Op::Set;
    MarkerStore store = MarkerStore::Players;
    /// Set and Remove: the key.
    std::uint64_t id = 0;
    /// Set: the record as stored now (in the mirror; valid until the next Update or Resync).
    const _MiniMapPlayerInfo* player = nullptr;
    const _MiniMapNpcInfo* npc = nullptr;
};

class StoreMirror {
public:
    /// Distinct keys of one store noted between two signals before the next one compares the
    /// whole store (8 bytes each).
    static constexpr std::size_t kTouchedLimit = std::size_t{1} << 16;

    explicit StoreMirror(std::size_t touchedLimit = kTouchedLimit) noexcept
        : touchedLimit(touchedLimit < 1 ? 1 : touchedLimit) {}

    /// Delivery thread, before the message reaches the module: notes the key it touches.
    void Touch(const NetMsg& msg);
    /// Delivery thread, core lock held: the changes since the last Update or Resync, each
    /// store's clear first, then sets and removes in ascending id.
    const std::vector<MarkerChange>& Update(pyr::IPyr_MiniMap& minimap);
    /// Any thread, core lock held: the same found by comparing whole stores; cheap when the
    /// stores are empty (after a role reset), otherwise as long as the stores.
    const std::vector<MarkerChange>& Resync(pyr::IPyr_MiniMap& minimap);

    const MiniMapPlayerInfoMap& Players() const noexcept { return players; }
    const MiniMapNpcInfoMap& Npcs() const noexcept { return npcs; }
    const MiniMapNpcInfoMap& Query() const noexcept { return query; }

private:
    /// The keys one store's messages touched since the last signal.
    struct Touched {
        std::vector<std::uint64_t> keys;
        /// More than the limit: the whole store is compared at the next signal.
        bool all = false;
        /// The size at which `keys` is next sorted and folded.
        std::size_t foldAt = 0;
    };

    void Note(Touched& touched, std::uint64_t key);
    template <class Map>
    void Diff(MarkerStore which, const Map& live, Map& copy, std::vector<std::uint64_t>* touched);
    template <class Map>
    void DiffTouched(MarkerStore which, const Map& live, Map& copy, Touched& touched);

    const std::size_t touchedLimit;
    MiniMapPlayerInfoMap players;
    MiniMapNpcInfoMap npcs;
    MiniMapNpcInfoMap query;
    Touched touchedPlayers;
    Touched touchedNpcs;
    Touched touchedQuery;
    std::vector<MarkerChange> changes;
};

}  // namespace host
