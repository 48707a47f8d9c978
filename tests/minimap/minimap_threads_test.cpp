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
#include "support/Together.h"

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
            !GetClientCoreLock().IsHeldByCurrentThread() || !StoresKeyedByTheirIds(*minimap)) {
            consistent = false;
        }
    }
};

/// Reads the stores under the core lock while the minimap is registered with the host (the
/// release removes it under the same lock); returns false at the first inconsistency.
bool ReadStores(Bench& bench) {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    pyr::IPyr_MiniMap* minimap = bench.MiniMap();
    return minimap == nullptr || StoresKeyedByTheirIds(*minimap);
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
    test::RunTogether({[&] {
                           os::ThreadLockHandle coreLock(GetClientCoreLock());
                           EXPECT_TRUE(bench.Start());
                       },
                       [&] {
                           for (std::uint64_t id = 1; id <= kCount; ++id) {
                               bench.Deliver(SetPlayer(PlayerRecord(id)));
                           }
                       }});
    bench.Deliver(SetPlayer(PlayerRecord(kCount + 1)));
    EXPECT_GE(subscriber.calls, 1);

    // The release (core lock, then the root's lock) while messages arrive and the timer polls.
    bench.MiniMap()->SetPollEnabled(true);
    test::RunTogether({[&] { bench.Release(); },
                       [&] {
                           for (std::uint64_t id = 1; id <= kCount; ++id) {
                               bench.Deliver(SetNpc(NpcRecord(id)));
                           }
                       },
                       [] { AdvancePollIntervals(5); }});

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
    const auto sender = [&](const std::vector<Bytes>& messages) {
        return [&] {
            for (const auto& m : messages) {
                bench.Deliver(m);
            }
            ++sendersDone;
        };
    };
    test::RunTogether({sender(playerMessages), sender(npcMessages),
                       [&] {
                           while (sendersDone.load() < 2) {
                               if (!ReadStores(bench)) {
                                   readsConsistent = false;
                               }
                               std::this_thread::yield();
                           }
                       },
                       [] { AdvancePollIntervals(kIntervals); }});

    EXPECT_TRUE(readsConsistent);
    EXPECT_EQ(bench.client.SentCount(), static_cast<std::size_t>(kIntervals));
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    EXPECT_EQ(StoreBytes(minimap->GetPlayerInfoMap()), players);
    EXPECT_EQ(StoreBytes(minimap->GetNpcInfoMap()), npcs);
    EXPECT_EQ(StoreBytes(minimap->GetQueryNpcInfoMap()), queried);
}

TEST(MiniMapThreads, EverythingAtOnceEndingWithAReleaseLeavesNothingBehind) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    bench.MiniMap()->SetPollEnabled(true);

    std::atomic<bool> released{false};
    std::atomic<bool> readsConsistent{true};
    pyr::IPyr_MiniMap* minimap = bench.MiniMap();
    // Both senders have delivered half of their messages, and the user interface is done.
    std::latch halfway(3);
    const auto sender = [&](auto deliverPair) {
        return [&, deliverPair] {
            for (std::uint64_t id = 1; id <= kCount; ++id) {
                deliverPair(id);
                if (id == kCount / 2) {
                    halfway.count_down();
                }
            }
        };
    };
    test::RunTogether({sender([&](std::uint64_t id) {
                           bench.Deliver(SetPlayer(PlayerRecord(id)));
                           bench.Deliver(id % 10 == 0 ? ClearMarkers()
                                                      : RemoveMarker(true, id - 1));
                       }),
                       sender([&](std::uint64_t id) {
                           bench.Deliver(SetNpc(NpcRecord(id)));
                           bench.Deliver(QueryResult(NpcRecord(id)));
                       }),
                       [&] {
                           while (!released.load()) {
                               if (!ReadStores(bench)) {
                                   readsConsistent = false;
                               }
                               std::this_thread::yield();
                           }
                       },
                       [] { AdvancePollIntervals(10); },
                       [&] {
                           for (int i = 0; i < 20; ++i) {
                               minimap->SetPollEnabled(i % 2 == 0);
                               minimap->RequestNpcQuery(i);
                           }
                           halfway.count_down();
                       },
                       [&] {
                           for (int i = 0; i < 20; ++i) {
                               bench.roles.EmitReset();
                           }
                       },
                       [&] {
                           halfway.wait();
                           bench.Release();
                           released = true;
                       }});

    EXPECT_TRUE(readsConsistent);
    ExpectNothingReachesTheReleasedMiniMap(bench);
}

TEST(MiniMapThreads, SiblingsLeavingWhileThePollRunsAreNotUsedAfterwards) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    bench.MiniMap()->SetPollEnabled(true);
    test::RunTogether({[] { AdvancePollIntervals(10); },
                       [&] {
                           os::ThreadLockHandle coreLock(GetClientCoreLock());
                           bench.host.UnregisterChildContainer(&bench.roles);
                           bench.host.UnregisterChildContainer(&bench.client);
                       },
                       [&] {
                           for (int i = 0; i < 10; ++i) {
                               bench.MiniMap()->RequestNpcQuery(i);
                           }
                       }});

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
