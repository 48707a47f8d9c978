// The minimap under load in a module the test loads and unloads itself: senders on several
// threads, readers holding the client core lock, the poll timer on a manual clock that a
// thread drives as fast as it can, role resets and queries from the user interface; then the
// release and the unload while messages keep coming. Run under the thread sanitizer (label
// concurrency) for races and under the address sanitizer for use after free. Threads meet on
// latches and barriers; every loop is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <map>
#include <thread>
#include <vector>

#include "hardening/ModuleBench.h"
#include "plinth/Timer.h"
#include "support/Together.h"

namespace hardening {
namespace {

using minimaptest::Bytes;
using minimaptest::RecordBytes;
using Store = std::map<std::uint64_t, Bytes>;

constexpr int kSenders = 3;
constexpr std::uint64_t kIdsPerSender = 150;

// What one sender sends, and what it leaves in the stores. Each sender owns the ids
// [base + 1, base + kIdsPerSender], so the senders' end states do not depend on how their
// messages interleave and the expected stores are the union of theirs.
struct SenderScript {
    std::vector<Bytes> messages;
    Store players;
    Store npcs;
    Store queried;

    explicit SenderScript(int sender) {
        const std::uint64_t base = static_cast<std::uint64_t>(sender + 1) << 40;
        for (std::uint64_t k = 1; k <= kIdsPerSender; ++k) {
            const std::uint64_t id = base + k;
            const auto data = static_cast<std::uint32_t>(k);
            Set(id, data);
            const auto fill = static_cast<unsigned char>(k);
            messages.push_back(SetNpc(id, fill));
            npcs[id] = NpcBytes(id, fill);
            if (k % 3 == 0) {
                messages.push_back(RemovePlayer(id));
                players.erase(id);
            }
            if (k % 5 == 0) {
                Set(id, data * 7);  // back again, or replaced
            }
            // The first answer for an id stays.
            messages.push_back(QueryResult(id, fill));
            messages.push_back(QueryResult(id, static_cast<unsigned char>(fill + 1)));
            queried.try_emplace(id, NpcBytes(id, fill));
        }
    }

    void Set(std::uint64_t id, std::uint32_t data) {
        messages.push_back(SetPlayer(id, data));
        _MiniMapPlayerInfo r;
        r.id = id;
        r.data0 = data;
        r.data1 = data ^ 0xFFFFu;
        players[id] = RecordBytes(r);
    }

    static Bytes NpcBytes(std::uint64_t id, unsigned char fill) {
        _MiniMapNpcInfo r;
        std::memset(static_cast<void*>(&r), fill, sizeof r);
        r.id = id;
        return RecordBytes(r);
    }
};

struct Snapshot {
    Store players;
    Store npcs;
    Store queried;
};

// The stores as a reader sees them under the core lock, or nothing when the minimap has left
// the host (the release takes it out under the same lock). False when a key is not the id in
// its record.
bool ReadStores(Siblings& siblings, Snapshot* copy = nullptr) {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    pyr::IPyr_MiniMap* minimap = siblings.MiniMap();
    if (minimap == nullptr) {
        return true;
    }
    if (copy != nullptr) {
        copy->players = minimaptest::StoreBytes(minimap->GetPlayerInfoMap());
        copy->npcs = minimaptest::StoreBytes(minimap->GetNpcInfoMap());
        copy->queried = minimaptest::StoreBytes(minimap->GetQueryNpcInfoMap());
    }
    return minimaptest::StoresKeyedByTheirIds(*minimap);
}

TEST(ModuleStressThreads, LoadedModuleLosesNoUpdateUnderLoadAndUnloadsCleanlyWhileMessagesArrive) {
    ModuleLibrary module;
    ASSERT_TRUE(module.IsLoaded()) << module.Error();
    Siblings siblings;
    ASSERT_NO_FATAL_FAILURE(PlugIn(module, siblings));
    pyr::IPyr_MiniMap* minimap = siblings.MiniMap();

    std::vector<SenderScript> scripts;
    Store players;
    Store npcs;
    Store queried;
    for (int s = 0; s < kSenders; ++s) {
        scripts.emplace_back(s);
        players.insert(scripts.back().players.begin(), scripts.back().players.end());
        npcs.insert(scripts.back().npcs.begin(), scripts.back().npcs.end());
        queried.insert(scripts.back().queried.begin(), scripts.back().queried.end());
    }

    std::atomic<bool> readsConsistent{true};
    std::atomic<bool> undelivered{false};
    std::atomic<int> sendersDone{0};
    // A job per sender: its script (with a clear every 97 messages when asked), a count down of
    // `halfway` (when given) at its middle, and its end counted in sendersDone.
    const auto senders = [&](bool withClears, std::latch* halfway) {
        sendersDone = 0;
        std::vector<std::function<void()>> jobs;
        for (const SenderScript& script : scripts) {
            jobs.emplace_back([&, withClears, halfway] {
                const auto& messages = script.messages;
                for (std::size_t i = 0; i < messages.size(); ++i) {
                    undelivered = undelivered || !siblings.client.Deliver(messages[i]);
                    if (withClears && i % 97 == 96) {
                        siblings.client.Deliver(ClearMarkers());
                    }
                    if (halfway != nullptr && i == messages.size() / 2) {
                        halfway->count_down();
                    }
                }
                ++sendersDone;
            });
        }
        return jobs;
    };
    // Bounded: the senders finish in a bounded time, and the reader stops with them.
    const auto reader = [&] {
        while (sendersDone.load() < kSenders) {
            if (!ReadStores(siblings)) {
                readsConsistent = false;
            }
            std::this_thread::yield();
        }
    };
    const auto clock = [](int intervals) {
        return [intervals] { minimaptest::AdvancePollIntervals(intervals); };
    };
    const auto resetter = [&](int resets) {
        return [&siblings, resets] {
            for (int i = 0; i < resets; ++i) {
                siblings.roles.EmitReset();
            }
        };
    };

    // Phase 1, everything at once: messages (with clears), readers, the poll timer, role
    // resets and queries. The end state depends on the interleaving and is not compared.
    auto jobs = senders(true, nullptr);
    jobs.insert(jobs.end(), {reader, clock(200), resetter(50), [&] {
                                 for (int i = 0; i < 50; ++i) {
                                     minimap->SetPollEnabled(i % 2 == 0);
                                     minimap->RequestNpcQuery(i);
                                 }
                             }});
    test::RunTogether(jobs);
    EXPECT_TRUE(readsConsistent);
    EXPECT_FALSE(undelivered);

    // Phase 2: from empty stores, the senders again (without clears), readers and the timer.
    // Nothing is lost: the stores end as the senders' scripts say, and every interval polls.
    siblings.roles.EmitReset();
    minimap->SetPollEnabled(true);
    siblings.client.ClearSent();
    constexpr int kIntervals = 100;
    jobs = senders(false, nullptr);
    jobs.insert(jobs.end(), {reader, clock(kIntervals)});
    test::RunTogether(jobs);
    Snapshot seen;
    EXPECT_TRUE(ReadStores(siblings, &seen));
    EXPECT_TRUE(readsConsistent);
    EXPECT_EQ(seen.players, players);
    EXPECT_EQ(seen.npcs, npcs);
    EXPECT_EQ(seen.queried, queried);
    EXPECT_EQ(siblings.client.SentCount(), static_cast<std::size_t>(kIntervals));

    // Phase 3: the release while everything goes on, then the unload once the threads are
    // gone (a delivery in progress runs the module's code until it returns).
    std::latch halfway(kSenders);
    jobs = senders(false, &halfway);
    jobs.insert(jobs.end(), {reader, clock(100), resetter(30),
                             [&] {
                                 // The user interface drops its pointer with the release, under
                                 // the core lock.
                                 for (int i = 0; i < 30; ++i) {
                                     os::ThreadLockHandle coreLock(GetClientCoreLock());
                                     if (pyr::IPyr_MiniMap* live = siblings.MiniMap()) {
                                         live->SetPollEnabled(i % 3 != 0);
                                     }
                                 }
                             },
                             [&] {
                                 halfway.wait();
                                 siblings.host.ShutdownContainer();
                                 module.ReleasePluginContainer(&siblings.host);
                             }});
    test::RunTogether(jobs);
    EXPECT_TRUE(readsConsistent);
    EXPECT_TRUE(NothingOfTheModuleLeft(siblings));
    EXPECT_TRUE(module.ReleasePlugin());

    module.Unload();
    EXPECT_FALSE(os::IsSharedLibraryLoaded(ModulePath()));
    // Whatever still arrives finds nothing of the module.
    EXPECT_TRUE(siblings.client.Deliver(SetPlayer(1)));
    siblings.roles.EmitReset();
    EXPECT_EQ(os::GetTimer()->Advance(pyr::MiniMapPollInterval), 0u);
}

}  // namespace
}  // namespace hardening
