// What the minimap's tests share: the module loaded once per process with dlopen, a bench
// that plugs it into a host with fake siblings, builders of synchronisation messages in the
// wire format, and a recorder of the minimap's signals.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "function/Bind.h"
#include "minimap/FakeSiblings.h"
#include "net/NetMsg.h"
#include "plinth/Timer.h"
#include "support/NoCopy.h"

namespace minimaptest {

/// The module's entry points.
struct MiniMapModule {
    bool (*InitPlugin)() = nullptr;
    bool (*ReleasePlugin)() = nullptr;
    bool (*InitPluginContainer)(IPluginContainer*) = nullptr;
    void (*ReleasePluginContainer)(IPluginContainer*) = nullptr;
};

/// The built libPyr_MiniMap.so, loaded on first use and kept for the process. The process
/// timer is put on the manual clock before the module can register anything.
const MiniMapModule& Module();

/// The path of the built module.
const char* ModulePath();

/// A host with a game-server client and a role system (each optional), the module's minimap
/// created under it, and a current role whose battle-info entity has its flag clear. Releases
/// the minimap and unregisters the siblings on destruction.
class Bench : test::NoCopy {
public:
    struct Options {
        bool withRoleSystem = true;
        bool withGameServerClient = true;
        bool createMiniMap = true;
    };
    Bench();
    explicit Bench(Options options);
    ~Bench();

    /// The minimap registered under the host, found through the host's registry and a
    /// dynamic_cast across the module boundary; null when there is none.
    pyr::IPyr_MiniMap* MiniMap();
    /// Starts the tree (StartContainer on the host).
    bool Start();
    bool Shutdown();
    /// Releases the minimap through the module's entry point.
    void Release();

    /// Delivers one message through the game-server client.
    bool Deliver(const Bytes& wire) { return client.Deliver(wire); }

    HostContainer host;
    FakeGameServerClient client;
    FakeRoleSystem roles;
    FakeRole role;
    FakeBattleInfo battle;
    OtherEntity otherEntity;

private:
    Options options;
};

/// A test whose bench has started the tree; `minimap` is the started minimap. A fixture that
/// does more in its SetUp calls this one first.
class StartedMiniMap : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bench.Start());
        minimap = bench.MiniMap();
        ASSERT_NE(minimap, nullptr);
    }

    Bench bench;
    pyr::IPyr_MiniMap* minimap = nullptr;
};

/// Expects nothing of the bench's released minimap left in the host (no child, no timer, no
/// type-32 handler, no reset slot), and a message, a role reset and an interval afterwards to
/// reach nothing: each would reach the deleted object otherwise (the sanitizer build reports
/// that).
void ExpectNothingReachesTheReleasedMiniMap(Bench& bench);

/// Runs `intervals` poll intervals on the manual clock; returns how many timers ran in all.
inline std::size_t AdvancePollIntervals(int intervals) {
    std::size_t ran = 0;
    for (int i = 0; i < intervals; ++i) {
        ran += os::GetTimer()->Advance(pyr::MiniMapPollInterval);
    }
    return ran;
}

/// A message of type 32 built with the messages library, chunk by chunk, whose chunkIDs
/// number the chunks from 0 unless given.
class WireMessage {
public:
    explicit WireMessage(unsigned short msgID = pyr::MiniMapSyncMsgId,
                         unsigned short msgType = pyr::MiniMapMsgType)
        : msg(msgType, msgID) {}

    WireMessage& Raw(const void* data, int size) {
        msg.AddChunk(data, size, NextId());
        return *this;
    }
    WireMessage& Int(std::int32_t v) { return Raw(&v, sizeof(v)); }
    WireMessage& Selector(std::uint8_t byte) { return Raw(&byte, 1); }
    WireMessage& Id(std::uint64_t v) { return Raw(&v, sizeof(v)); }
    WireMessage& Player(const _MiniMapPlayerInfo& r) { return Raw(&r, sizeof(r)); }
    WireMessage& Npc(const _MiniMapNpcInfo& r) { return Raw(&r, sizeof(r)); }
    /// Gives the next chunk this chunkID instead of its position.
    WireMessage& WithChunkId(unsigned short id) {
        forcedId = id;
        hasForcedId = true;
        return *this;
    }

    Bytes Wire() const {
        const auto* begin = reinterpret_cast<const unsigned char*>(msg.GetBytes());
        return Bytes(begin, begin + msg.GetLength());
    }
    operator Bytes() const { return Wire(); }  // NOLINT: builders read as messages

private:
    unsigned short NextId() {
        const unsigned short id = hasForcedId ? forcedId : static_cast<unsigned short>(position);
        hasForcedId = false;
        ++position;
        return id;
    }

    NetMsg msg;
    int position = 0;
    unsigned short forcedId = 0;
    bool hasForcedId = false;
};

_MiniMapPlayerInfo PlayerRecord(std::uint64_t id, std::uint32_t a = 0, std::uint32_t b = 0);
/// An NPC record whose bytes after `id` are all `fill`.
_MiniMapNpcInfo NpcRecord(std::uint64_t id, unsigned char fill = 0);

Bytes SetPlayer(const _MiniMapPlayerInfo& r, std::uint8_t selector = 1);
Bytes SetNpc(const _MiniMapNpcInfo& r);
Bytes RemoveMarker(bool player, std::uint64_t id);
Bytes ClearMarkers();
Bytes QueryResult(const _MiniMapNpcInfo& r);
Bytes QueryEnd();

/// Counts the minimap's signals and whether every slot ran with the client core lock held.
class SignalRecorder {
public:
    /// Connects to both signals of `minimap`.
    void Attach(pyr::IPyr_MiniMap* minimap);

    void OnMarkersChanged();
    void OnQueryFinished();

    std::atomic<int> markersChanged{0};
    std::atomic<int> queryFinished{0};
    std::atomic<bool> alwaysUnderCoreLock{true};
};

/// Bytes of a record, for comparisons of whole records.
template <class T>
Bytes RecordBytes(const T& r) {
    Bytes b(sizeof(T));
    std::memcpy(b.data(), &r, sizeof(T));
    return b;
}

/// The records of a store as bytes by key, for comparisons of whole stores.
template <class Store>
std::map<std::uint64_t, Bytes> StoreBytes(const Store& store) {
    std::map<std::uint64_t, Bytes> out;
    for (const auto& [key, record] : store) {
        out[key] = RecordBytes(record);
    }
    return out;
}

/// Whether every key of the minimap's three stores is the identifier in its record. The caller
/// holds the client core lock. Inline: the hardening tests, which load the module themselves,
/// use it too.
inline bool StoresKeyedByTheirIds(pyr::IPyr_MiniMap& minimap) {
    bool keyed = true;
    const auto check = [&keyed](const auto& store) {
        for (const auto& [key, record] : store) {
            keyed = keyed && key == record.id;
        }
    };
    check(minimap.GetPlayerInfoMap());
    check(minimap.GetNpcInfoMap());
    check(minimap.GetQueryNpcInfoMap());
    return keyed;
}

/// The pending timers whose function is one of the minimap's.
std::vector<os::TimerInfo> MiniMapTimers();

}  // namespace minimaptest
