// The minimap under several threads: messages, readers, the poll timer, role resets, siblings
// leaving and the release, at once. Run under the thread sanitizer (label concurrency), which
// reports data races and lock-order inversions. Threads meet on latches; nothing sleeps.

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <map>
#include <thread>
#include <vector>

#include "minimap/MiniMapTesting.h"

namespace minimaptest {
namespace {

constexpr std::uint64_t kCount = 150;

/// A user-interface plug-in that, on each MarkersChanged, asks the host for a sibling and
/// checks the stores it can see: every key is its record's identifier.
struct Subscriber {
    IPluginContainer* host = nullptr;
    pyr::IPyr_MiniMap* minimap = nullptr;
    std::atomic<int> calls{0};
    std::atomic<bool> consistent{true};

    void OnMarkersChanged() {
        ++calls;
        if (host->FindChildContainer(RoleSystemTypeId) == nullptr ||
            !GetClientCoreLock().IsHeldByCurrentThread()) {
            consistent = false;
        }
        for (const auto& [key, record] : minimap->GetPlayerInfoMap()) {
            consistent = consistent && key == record.id;
        }
        for (const auto& [key, record] : minimap->GetNpcInfoMap()) {
            consistent = consistent && key == record.id;
        }
    }
};

/// Reads the stores under the core lock while the minimap is registered with the host (the
/// release removes it under the same lock); returns false at the first inconsistency.
bool ReadStores(HostContainer& host) {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    auto* minimap =
        dynamic_cast<pyr::IPyr_MiniMap*>(host.FindChildContainer(MiniMapContainerTypeId));
    if (minimap == nullptr) {
        return true;
    }
    bool ok = true;
    for (const auto& [key, record] : minimap->GetPlayerInfoMap()) {
        ok = ok && key == record.id;
    }
    for (const auto& [key, record] : minimap->GetNpcInfoMap()) {
        ok = ok && key == record.id;
    }
    for (const auto& [key, record] : minimap->GetQueryNpcInfoMap()) {
        ok = ok && key == record.id;
    }
    return ok;
}

TEST(MiniMapThreads, TheHostsUsualPathsTakeTheLocksInOneOrder) {
    Bench bench;
    Subscriber subscriber{&bench.host, bench.MiniMap()};
    {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        bench.MiniMap()->MarkersChanged.Add(os::bind(&Subscriber::OnMarkersChanged, &subscriber));
    }

    // The host starts the tree holding the core lock (core, then the root's lock) while
    // messages arrive whose subscriber queries the host (core, then the root's lock).
    std::latch go(2);
    std::thread starter([&] {
        go.arrive_and_wait();
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        EXPECT_TRUE(bench.Start());
    });
    std::thread receiver([&] {
        go.arrive_and_wait();
        for (std::uint64_t id = 1; id <= kCount; ++id) {
            bench.Deliver(SetPlayer(PlayerRecord(id)));
        }
    });
    starter.join();
    receiver.join();
    bench.Deliver(SetPlayer(PlayerRecord(kCount + 1)));
    EXPECT_GE(subscriber.calls, 1);

    // The release (core lock, then the root's lock) while messages arrive and the timer polls.
    bench.MiniMap()->SetPollEnabled(true);
    std::latch again(3);
    std::thread releaser([&] {
        again.arrive_and_wait();
        bench.Release();
    });
    std::thread receiver2([&] {
        again.arrive_and_wait();
        for (std::uint64_t id = 1; id <= kCount; ++id) {
            bench.Deliver(SetNpc(NpcRecord(id)));
        }
    });
    std::thread clock([&] {
        again.arrive_and_wait();
        for (int i = 0; i < 5; ++i) {
            os::GetTimer()->Advance(pyr::MiniMapPollInterval);
        }
    });
    releaser.join();
    receiver2.join();
    clock.join();

    EXPECT_TRUE(subscriber.consistent);
    EXPECT_EQ(bench.MiniMap(), nullptr);
    EXPECT_TRUE(MiniMapTimers().empty());
    EXPECT_TRUE(bench.client.dispatcher.GetHandler(pyr::MiniMapMsgType).IsEmpty());
}

TEST(MiniMapThreads, StoresMatchAModelFedTheSameMessages) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    pyr::IPyr_MiniMap* minimap = bench.MiniMap();
    minimap->SetPollEnabled(true);

    // Each sender owns its keys, so the end state does not depend on how the two interleave.
    std::map<std::uint64_t, Bytes> players;
    std::map<std::uint64_t, Bytes> npcs;
    std::map<std::uint64_t, Bytes> queried;
    std::vector<Bytes> playerMessages;
    std::vector<Bytes> npcMessages;
    for (std::uint64_t id = 1; id <= kCount; ++id) {
        const auto p = PlayerRecord(id, static_cast<std::uint32_t>(id * 3));
        playerMessages.push_back(SetPlayer(p));
        players[id] = RecordBytes(p);
        if (id % 3 == 0) {
            playerMessages.push_back(RemoveMarker(true, id));
            players.erase(id);
        }
        const auto n = NpcRecord(id << 32, static_cast<unsigned char>(id));
        npcMessages.push_back(SetNpc(n));
        npcs[id << 32] = RecordBytes(n);
        if (id % 4 == 0) {
            npcMessages.push_back(RemoveMarker(false, id << 32));
            npcs.erase(id << 32);
        }
        const auto q = NpcRecord(id % 10, static_cast<unsigned char>(id));
        npcMessages.push_back(QueryResult(q));
        queried.try_emplace(id % 10, RecordBytes(q));
    }

    constexpr int kIntervals = 20;
    std::atomic<int> sendersDone{0};
    std::atomic<bool> readsConsistent{true};
    std::latch go(4);
    std::thread playerSender([&] {
        go.arrive_and_wait();
        for (const auto& m : playerMessages) {
            bench.Deliver(m);
        }
        ++sendersDone;
    });
    std::thread npcSender([&] {
        go.arrive_and_wait();
        for (const auto& m : npcMessages) {
            bench.Deliver(m);
        }
        ++sendersDone;
    });
    std::thread reader([&] {
        go.arrive_and_wait();
        while (sendersDone.load() < 2) {
            if (!ReadStores(bench.host)) {
                readsConsistent = false;
            }
            std::this_thread::yield();
        }
    });
    std::thread clock([&] {
        go.arrive_and_wait();
        for (int i = 0; i < kIntervals; ++i) {
            os::GetTimer()->Advance(pyr::MiniMapPollInterval);
        }
    });
    playerSender.join();
    npcSender.join();
    reader.join();
    clock.join();

    EXPECT_TRUE(readsConsistent);
    EXPECT_EQ(bench.client.SentCount(), static_cast<std::size_t>(kIntervals));
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    std::map<std::uint64_t, Bytes> seenPlayers;
    for (const auto& [key, record] : minimap->GetPlayerInfoMap()) {
        seenPlayers[key] = RecordBytes(record);
    }
    std::map<std::uint64_t, Bytes> seenNpcs;
    for (const auto& [key, record] : minimap->GetNpcInfoMap()) {
        seenNpcs[key] = RecordBytes(record);
    }
    std::map<std::uint64_t, Bytes> seenQueried;
    for (const auto& [key, record] : minimap->GetQueryNpcInfoMap()) {
        seenQueried[key] = RecordBytes(record);
    }
    EXPECT_EQ(seenPlayers, players);
    EXPECT_EQ(seenNpcs, npcs);
    EXPECT_EQ(seenQueried, queried);
}

TEST(MiniMapThreads, EverythingAtOnceEndingWithAReleaseLeavesNothingBehind) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    bench.MiniMap()->SetPollEnabled(true);

    std::atomic<bool> released{false};
    std::atomic<bool> readsConsistent{true};
    pyr::IPyr_MiniMap* minimap = bench.MiniMap();
    std::latch go(7);
    // Both senders have delivered half of their messages, and the user interface is done.
    std::latch halfway(3);
    std::thread sender1([&] {
        go.arrive_and_wait();
        for (std::uint64_t id = 1; id <= kCount; ++id) {
            bench.Deliver(SetPlayer(PlayerRecord(id)));
            bench.Deliver(id % 10 == 0 ? ClearMarkers() : RemoveMarker(true, id - 1));
            if (id == kCount / 2) {
                halfway.count_down();
            }
        }
    });
    std::thread sender2([&] {
        go.arrive_and_wait();
        for (std::uint64_t id = 1; id <= kCount; ++id) {
            bench.Deliver(SetNpc(NpcRecord(id)));
            bench.Deliver(QueryResult(NpcRecord(id)));
            if (id == kCount / 2) {
                halfway.count_down();
            }
        }
    });
    std::thread reader([&] {
        go.arrive_and_wait();
        while (!released.load()) {
            if (!ReadStores(bench.host)) {
                readsConsistent = false;
            }
            std::this_thread::yield();
        }
    });
    std::thread clock([&] {
        go.arrive_and_wait();
        for (int i = 0; i < 10; ++i) {
            os::GetTimer()->Advance(pyr::MiniMapPollInterval);
        }
    });
    std::thread userInterface([&] {
        go.arrive_and_wait();
        for (int i = 0; i < 20; ++i) {
            minimap->SetPollEnabled(i % 2 == 0);
            minimap->RequestNpcQuery(i);
        }
        halfway.count_down();
    });
    std::thread resetter([&] {
        go.arrive_and_wait();
        for (int i = 0; i < 20; ++i) {
            bench.roles.EmitReset();
        }
    });
    std::thread releaser([&] {
        go.arrive_and_wait();
        halfway.wait();
        bench.Release();
        released = true;
    });
    for (auto* t : {&sender1, &sender2, &reader, &clock, &userInterface, &resetter, &releaser}) {
        t->join();
    }

    EXPECT_TRUE(readsConsistent);
    EXPECT_EQ(bench.MiniMap(), nullptr);
    EXPECT_TRUE(MiniMapTimers().empty());
    EXPECT_TRUE(bench.client.dispatcher.GetHandler(pyr::MiniMapMsgType).IsEmpty());
    EXPECT_EQ(bench.roles.ResetSlotCount(), 0u);
    // Whatever still arrives goes nowhere.
    bench.Deliver(SetPlayer(PlayerRecord(1)));
    bench.roles.EmitReset();
    EXPECT_EQ(os::GetTimer()->Advance(pyr::MiniMapPollInterval), 0u);
}

TEST(MiniMapThreads, SiblingsLeavingWhileThePollRunsAreNotUsedAfterwards) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    bench.MiniMap()->SetPollEnabled(true);
    std::latch go(3);
    std::thread clock([&] {
        go.arrive_and_wait();
        for (int i = 0; i < 10; ++i) {
            os::GetTimer()->Advance(pyr::MiniMapPollInterval);
        }
    });
    std::thread leaver([&] {
        go.arrive_and_wait();
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        bench.host.UnregisterChildContainer(&bench.roles);
        bench.host.UnregisterChildContainer(&bench.client);
    });
    std::thread querier([&] {
        go.arrive_and_wait();
        for (int i = 0; i < 10; ++i) {
            bench.MiniMap()->RequestNpcQuery(i);
        }
    });
    clock.join();
    leaver.join();
    querier.join();

    const std::size_t sent = bench.client.SentCount();
    os::GetTimer()->Advance(pyr::MiniMapPollInterval);
    EXPECT_FALSE(bench.MiniMap()->RequestNpcQuery(1));
    EXPECT_EQ(bench.client.SentCount(), sent);
    EXPECT_EQ(bench.client.dispatcher.CountHandlers(), 0u);
    EXPECT_EQ(bench.roles.ResetSlotCount(), 0u);
    EXPECT_EQ(MiniMapTimers().size(), 1u);
}

}  // namespace
}  // namespace minimaptest
