// How often the hot paths call the system allocator, counted (never timed) by this program's
// replacement of the global allocation functions.
//
// The design copies on purpose: one handler copy per dispatch level and one copy of every slot
// per emission, one invoker each. The minimap's handler at the type level refers to its id
// dispatcher, so copying it copies no table. Run as it is, this program expects none of those
// copies to reach the system allocator once the caches are warm: they come from the invoker
// block pools. Run with PYR_INVOKER_CACHE=0 (the ctest variants whose names end in
// ".Uncached", and always under AddressSanitizer), every copy reaches it, and the program
// expects exactly the copies the design makes, and nothing else.

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdint>
#include <vector>

#include "function/Bind.h"
#include "function/Signal.h"
#include "function/detail/BlockPool.h"
#include "minimap/MiniMapTesting.h"
#include "net/LogFormat.h"
#include "net/NetMsg.h"
#include "perf/CountingAllocator.h"
#include "plinth/Log.h"
#include "plugin/HostServices.h"

namespace {

using minimaptest::Bytes;

bool Cached() {
    return os::function::detail::IsBlockCachingWanted();
}

// The blocks one delivered message takes when none is cached.
constexpr long kHandlerCopies = 2;  // the type dispatcher's handler, the id dispatcher's
constexpr long kSlots = 2;          // MarkersChanged's slots, one copy each per emission

constexpr int kWarmRounds = 20;
constexpr int kRounds = 100;

struct TwoSlots {
    void First() { ++first; }
    void Second() { ++second; }
    long first = 0;
    long second = 0;
};

class MessagePathAllocations : public minimaptest::StartedMiniMap {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(StartedMiniMap::SetUp());
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        ASSERT_TRUE(minimap->MarkersChanged.Connect(os::bind(&TwoSlots::First, &slots)));
        ASSERT_TRUE(minimap->MarkersChanged.Connect(os::bind(&TwoSlots::Second, &slots)));
    }
    void TearDown() override {
        if (minimap != nullptr) {
            os::ThreadLockHandle coreLock(GetClientCoreLock());
            minimap->MarkersChanged.DisconnectAll();
        }
    }

    /// Parses into one reused message object, as a connection's receive loop does, and
    /// dispatches through the game-server client's type dispatcher.
    void Deliver(const Bytes& wire) {
        ASSERT_TRUE(ParseNetMsg(wire.data(), wire.size(), received));
        bench.client.dispatcher(&sender, received.Get());
    }

    /// Delivers every message `rounds` times; the allocations and releases counted meanwhile.
    std::pair<long, long> Count(const std::vector<Bytes>& messages, int rounds) {
        perftest::CountAllocations count;
        for (int i = 0; i < rounds; ++i) {
            for (const Bytes& wire : messages) {
                Deliver(wire);
            }
        }
        return {count.Allocations(), count.Releases()};
    }

    minimaptest::FakeSender sender;
    ReceivedNetMsg received;
    TwoSlots slots;
};

TEST_F(MessagePathAllocations, SetOfAKnownMarkerAllocatesOnlyTheRequiredCopies) {
    const std::vector<Bytes> messages = {
        minimaptest::SetNpc(minimaptest::NpcRecord(7, 0x11)),
        minimaptest::SetPlayer(minimaptest::PlayerRecord(8, 1, 2)),
    };
    Count(messages, kWarmRounds);

    const auto [allocations, releases] = Count(messages, kRounds);

    const long perMessage = Cached() ? 0 : kHandlerCopies + kSlots;
    EXPECT_EQ(allocations, kRounds * 2 * perMessage);
    EXPECT_EQ(releases, kRounds * 2 * perMessage);
    // The messages did their work: both slots ran for each one, the stores hold the markers.
    EXPECT_EQ(slots.first, (kWarmRounds + kRounds) * 2);
    EXPECT_EQ(slots.second, (kWarmRounds + kRounds) * 2);
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    EXPECT_EQ(minimap->GetNpcInfoMap().count(7), 1u);
    EXPECT_EQ(minimap->GetPlayerInfoMap().count(8), 1u);
}

TEST_F(MessagePathAllocations, MessagesThatChangeNothingAllocateOnlyTheHandlerCopies) {
    // A second answer for a queried marker is dropped; removing an absent marker changes
    // nothing; neither emits.
    Deliver(minimaptest::QueryResult(minimaptest::NpcRecord(5)));
    const std::vector<Bytes> messages = {
        minimaptest::QueryResult(minimaptest::NpcRecord(5, 0x22)),
        minimaptest::RemoveMarker(false, 99),
    };
    Count(messages, kWarmRounds);

    const auto [allocations, releases] = Count(messages, kRounds);

    const long perMessage = Cached() ? 0 : kHandlerCopies;
    EXPECT_EQ(allocations, kRounds * 2 * perMessage);
    EXPECT_EQ(releases, kRounds * 2 * perMessage);
    EXPECT_EQ(slots.first, 0);
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    EXPECT_EQ(minimap->GetQueryNpcInfoMap().size(), 1u);
}

struct Counter {
    void Increment() { ++value; }
    long value = 0;
};

// Connects a slot for every counter, emits once to warm the caches, then returns how many
// allocations a second emission makes.
long AllocationsOfAWarmEmission(std::vector<Counter>& counters) {
    os::Signal<void(), os::LastValue<void>> signal;
    for (Counter& c : counters) {
        EXPECT_TRUE(signal.Connect(os::bind(&Counter::Increment, &c)));
    }
    signal.Emit();
    perftest::CountAllocations count;
    signal.Emit();
    return count.Allocations();
}

TEST(SignalAllocations, EmissionAllocatesOnlyTheSlotCopies) {
    for (const std::size_t slotCount : {std::size_t{1}, std::size_t{4}, std::size_t{16}}) {
        std::vector<Counter> counters(slotCount);
        EXPECT_EQ(AllocationsOfAWarmEmission(counters), Cached() ? 0 : static_cast<long>(slotCount))
            << slotCount;
        for (const Counter& c : counters) {
            EXPECT_EQ(c.value, 2);
        }
    }
}

TEST(SignalAllocations, EmissionBeyondSixteenSlotsAddsOneSnapshotVector) {
    std::vector<Counter> counters(20);
    // Twenty copies live at once: the thread's cache and the shared pool of their size hold
    // sixteen blocks each, so all come from them when caching.
    EXPECT_EQ(AllocationsOfAWarmEmission(counters), 1 + (Cached() ? 0 : 20));
}

// A thread that ends with blocks in its cache hands every one of them back to the system
// allocator: none before its end (they are cached), all of them at its end, on that thread.
// A POSIX thread rather than a std::thread, whose own state is released on the thread too.
struct ThreadEndCounts {
    long releasedWhileRunning = -1;
    long releasedInAll = -1;
};

void* RunThreadWithCachedBlocks(void* argument) {
    using Pool = os::function::detail::BlockPool<240>;  // a size no invoker of this program has
    auto* counts = static_cast<ThreadEndCounts*>(argument);
    // Registered before the cache's exit hook, so destroyed after it: it counts the hook's
    // releases.
    struct CountToTheEnd {
        explicit CountToTheEnd(long* total) : total(total) {}
        ~CountToTheEnd() { *total = count.Releases(); }
        long* total;
        perftest::CountAllocations count;
    };
    static thread_local CountToTheEnd counter(&counts->releasedInAll);
    void* blocks[5];
    for (void*& b : blocks) {
        b = Pool::Allocate();
    }
    for (void* b : blocks) {
        Pool::Deallocate(b);
    }
    counts->releasedWhileRunning = counter.count.Releases();
    return nullptr;
}

TEST(ThreadBlockCacheAllocations, AThreadThatEndsReleasesItsCachedBlocks) {
    ThreadEndCounts counts;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, RunThreadWithCachedBlocks, &counts), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);

    EXPECT_EQ(counts.releasedWhileRunning, Cached() ? 0 : 5);
    EXPECT_EQ(counts.releasedInAll, 5);
}

TEST(LogAllocations, LinesAtADisabledLevelAllocateNothing) {
    os::Log& log = os::Log::GetInstance();
    const std::uint32_t saved = log.GetEnabledLevels();
    log.SetEnabledLevels(0);
    const std::string parent = "HostContainer";
    const std::string child = "Pyr_MiniMap";

    long allocations = 0;
    {
        perftest::CountAllocations count;
        LogFormatted(3, "VerifyChunk() error : class=%s ChunkID==%d ChunkSize=%d", "int",
                     static_cast<unsigned short>(2), static_cast<unsigned short>(8));
        LogFormatted(2, "start %s %s :: DoPrepareParentStart()", parent, child);
        LogText(3, "refused");
        allocations = count.Allocations();
    }
    log.SetEnabledLevels(saved);

    EXPECT_EQ(allocations, 0);
}

}  // namespace
