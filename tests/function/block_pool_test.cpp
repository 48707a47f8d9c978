// The block pools behind os::Function's invokers: bounded caching, closing, and blocks moving
// between threads. Suites ending in "Threads" run several threads (the tsan preset runs them).

#include "function/detail/BlockPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <latch>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "function/Bind.h"
#include "function/Function.h"
#include "function/Signal.h"
#include "plinth/SharedLibrary.h"

namespace {

using os::function::detail::BlockPool;
using os::function::detail::kCachedBlocksPerClass;
using os::function::detail::kThreadCachedBlocksPerClass;

bool Caching() {
    return os::function::detail::IsBlockCachingWanted();
}

// A size class no invoker of this program uses, so that the counts are the test's own.
using TestPool = BlockPool<240>;

TEST(BlockPool, KeepsAtMostSixteenBlocksPerTierAndHandsThemOutAgainNewestFirst) {
    if (!Caching()) {
        GTEST_SKIP() << "caching is off (PYR_INVOKER_CACHE=0 or AddressSanitizer)";
    }
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < kThreadCachedBlocksPerClass + kCachedBlocksPerClass + 4; ++i) {
        blocks.push_back(TestPool::Allocate());
    }
    for (void* b : blocks) {
        TestPool::Deallocate(b);
    }
    // The thread's own cache takes the first sixteen, the shared pool the next sixteen, the
    // system allocator the rest.
    EXPECT_EQ(TestPool::ThreadCachedCount(), kThreadCachedBlocksPerClass);
    EXPECT_EQ(TestPool::CachedCount(), kCachedBlocksPerClass);

    // The thread cache hands out the blocks it took, last released first; then the shared
    // pool; every block is one of those released, and none twice.
    std::set<void*> released(blocks.begin(), blocks.end());
    std::set<void*> again;
    for (std::size_t i = 0; i < kThreadCachedBlocksPerClass + kCachedBlocksPerClass; ++i) {
        void* b = TestPool::Allocate();
        if (i < kThreadCachedBlocksPerClass) {
            EXPECT_EQ(b, blocks[kThreadCachedBlocksPerClass - 1 - i]);
        }
        EXPECT_EQ(released.count(b), 1u);
        EXPECT_TRUE(again.insert(b).second);
    }
    EXPECT_EQ(TestPool::ThreadCachedCount(), 0u);
    EXPECT_EQ(TestPool::CachedCount(), 0u);
    for (void* b : again) {
        TestPool::Deallocate(b);
    }
}

TEST(BlockPool, AfterCloseReleasedBlocksGoBackToTheSystem) {
    using ClosedPool = BlockPool<224>;
    void* kept = ClosedPool::Allocate();
    ClosedPool::Deallocate(ClosedPool::Allocate());
    ClosedPool::Close();
    EXPECT_EQ(ClosedPool::CachedCount(), 0u);
    // A function destroyed after its module's pools closed (a static destroyed late) still
    // releases its block, to the system.
    ClosedPool::Deallocate(kept);
    EXPECT_EQ(ClosedPool::CachedCount(), 0u);
    void* fresh = ClosedPool::Allocate();
    EXPECT_NE(fresh, nullptr);
    ClosedPool::Deallocate(fresh);
    EXPECT_EQ(ClosedPool::CachedCount(), 0u);
}

TEST(BlockPool, AllocatorServesContainersOfAnySizeAndAlignment) {
    os::function::detail::PoolAllocator<std::uint64_t> words;
    for (std::size_t n : {std::size_t{1}, std::size_t{13}, std::size_t{32}, std::size_t{100}}) {
        std::uint64_t* p = words.allocate(n);
        std::fill(p, p + n, n);
        EXPECT_EQ(p[n - 1], n);
        words.deallocate(p, n);
    }
    struct alignas(64) Wide {
        char bytes[64];
    };
    os::function::detail::PoolAllocator<Wide> wide;
    Wide* w = wide.allocate(2);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(w) % 64, 0u);
    wide.deallocate(w, 2);
}

// Each thread stamps the blocks it holds with its own pattern and checks it before releasing:
// a block handed to two holders at once would be overwritten by the other.
TEST(BlockPoolThreads, BlocksReleasedOnOtherThreadsAreNeverHeldTwice) {
    using SharedPool = BlockPool<208>;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::mutex mutex;
    std::deque<void*> handedOver;  // blocks allocated by one thread, released by another
    std::atomic<long> damaged{0};
    std::latch start(kThreads);

    const auto worker = [&](int id) {
        const auto stamp = [id](void* b, int round) {
            const std::uint64_t mark = (static_cast<std::uint64_t>(id) << 32) | round;
            for (std::size_t i = 0; i < 208 / sizeof(mark); ++i) {
                std::memcpy(static_cast<char*>(b) + i * sizeof(mark), &mark, sizeof(mark));
            }
            return mark;
        };
        const auto intact = [](const void* b, std::uint64_t mark) {
            for (std::size_t i = 0; i < 208 / sizeof(mark); ++i) {
                std::uint64_t seen = 0;
                std::memcpy(&seen, static_cast<const char*>(b) + i * sizeof(mark), sizeof(mark));
                if (seen != mark) {
                    return false;
                }
            }
            return true;
        };
        start.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
            void* mine[3];
            std::uint64_t marks[3];
            for (int k = 0; k < 3; ++k) {
                mine[k] = SharedPool::Allocate();
                marks[k] = stamp(mine[k], round * 3 + k);
            }
            for (int k = 0; k < 3; ++k) {
                if (!intact(mine[k], marks[k])) {
                    ++damaged;
                }
            }
            SharedPool::Deallocate(mine[0]);
            SharedPool::Deallocate(mine[1]);
            void* other = nullptr;
            {
                std::lock_guard<std::mutex> guard(mutex);
                handedOver.push_back(mine[2]);
                if (handedOver.size() > 8) {
                    other = handedOver.front();
                    handedOver.pop_front();
                }
            }
            SharedPool::Deallocate(other);
        }
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < kThreads; ++id) {
        threads.emplace_back(worker, id);
    }
    for (auto& t : threads) {
        t.join();
    }
    for (void* b : handedOver) {
        SharedPool::Deallocate(b);
    }
    EXPECT_EQ(damaged.load(), 0);
    EXPECT_LE(SharedPool::CachedCount(), kCachedBlocksPerClass);
}

struct Counter {
    void Increment() { value.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<long> value{0};
};

// Functions made on one thread, copied and destroyed on others, as timer callbacks and
// registered handlers are: the invokers' blocks move between threads through the pools.
TEST(BlockPoolThreads, FunctionsCopiedAndDestroyedOnOtherThreadsStayIntact) {
    constexpr int kThreads = 3;
    constexpr int kRounds = 20000;
    Counter counter;
    const os::Function<void()> source = os::bind(&Counter::Increment, &counter);
    std::mutex mutex;
    std::deque<os::Function<void()>> passed;
    std::latch start(kThreads);

    const auto worker = [&] {
        start.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
            os::Function<void()> copy(source);
            copy();
            os::Function<void()> received;
            {
                std::lock_guard<std::mutex> guard(mutex);
                passed.push_back(std::move(copy));
                if (passed.size() > 4) {
                    received = std::move(passed.front());
                    passed.pop_front();
                }
            }
            received();
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(worker);
    }
    for (auto& t : threads) {
        t.join();
    }
    const long received = kThreads * kRounds - static_cast<long>(passed.size());
    EXPECT_EQ(counter.value.load(), kThreads * kRounds + received);
}

// The blocks a module's copies released stay in the releasing thread's cache when the module
// is unloaded: the module really unloads (nothing of it is pinned by the cache), the thread
// keeps running and is served those blocks, and at its end hands them back to the system
// (LeakSanitizer checks that in the asan-ubsan preset, where the ".Cached" variant of this
// test turns caching on).
TEST(ThreadBlockCacheThreads, AModuleUnloadsWhileAThreadKeepsTheBlocksItsCopiesReleased) {
    using ModulePool = BlockPool<112>;  // the size of the module's invokers
    constexpr int kCopies = 8;
    ASSERT_FALSE(os::IsSharedLibraryLoaded(FUNCTION_CACHE_MODULE));
    os::LibraryHandle module = os::LoadSharedLibrary(FUNCTION_CACHE_MODULE);
    ASSERT_NE(module, nullptr) << os::GetLastLibraryError();
    using Churn = int (*)(int);
    const auto churn =
        reinterpret_cast<Churn>(os::FindSharedLibrarySymbol(module, "CacheModuleChurn"));
    ASSERT_NE(churn, nullptr);
    // This thread's cache keeps module blocks too, until the process ends.
    EXPECT_EQ(churn(kCopies), kCopies * 100);

    std::latch churned(1);
    std::latch unloaded(1);
    std::size_t cachedBefore = 0;
    std::size_t cachedAfter = 0;
    std::size_t servedFromCache = 0;
    int workerTotal = 0;
    std::thread worker([&] {
        ModulePool::Deallocate(ModulePool::Allocate());  // opens this thread's cache
        workerTotal = churn(kCopies);
        cachedBefore = ModulePool::ThreadCachedCount();
        churned.count_down();
        unloaded.wait();
        cachedAfter = ModulePool::ThreadCachedCount();
        // The module is gone; its blocks serve this thread's own allocations of that size.
        std::vector<void*> blocks;
        for (std::size_t i = 0; i < cachedAfter; ++i) {
            blocks.push_back(ModulePool::Allocate());
            std::memset(blocks.back(), 0xA5, 112);
        }
        servedFromCache = cachedAfter - ModulePool::ThreadCachedCount();
        for (void* b : blocks) {
            ModulePool::Deallocate(b);
        }
    });
    churned.wait();
    EXPECT_TRUE(os::FreeSharedLibrary(module));
    EXPECT_FALSE(os::IsSharedLibraryLoaded(FUNCTION_CACHE_MODULE));
    unloaded.count_down();
    worker.join();

    EXPECT_EQ(workerTotal, kCopies * 100);
    if (Caching()) {
        // The copies and the source went back to the thread's cache (no more than it holds).
        EXPECT_EQ(cachedBefore, static_cast<std::size_t>(kCopies + 1));
        EXPECT_EQ(cachedAfter, cachedBefore);
        EXPECT_EQ(servedFromCache, cachedAfter);
    } else {
        EXPECT_EQ(cachedBefore, 0u);
    }
}

}  // namespace
