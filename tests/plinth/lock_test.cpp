#include <barrier>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plinth/Lock.h"

namespace {

// Runs `body` on another thread and waits for it.
template <class F>
void OnOtherThread(F body) {
    std::thread(body).join();
}

TEST(ThreadLock, OwnerTakesItAgainAndHoldsItUntilTheLastUnlock) {
    os::ThreadLock lock;
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
    lock.Lock();
    lock.Lock();
    EXPECT_TRUE(lock.TryLock());
    lock.Unlock();
    lock.Unlock();
    EXPECT_TRUE(lock.IsHeldByCurrentThread());
    OnOtherThread([&] {
        EXPECT_FALSE(lock.IsHeldByCurrentThread());
        EXPECT_FALSE(lock.TryLock());
    });
    lock.Unlock();
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
    OnOtherThread([&] {
        ASSERT_TRUE(lock.TryLock());
        EXPECT_TRUE(lock.IsHeldByCurrentThread());
        lock.Unlock();
    });
}

TEST(ThreadLock, HandleHoldsTheLockForItsScope) {
    os::ThreadLock lock;
    {
        os::ThreadLockHandle outer(lock);
        EXPECT_TRUE(lock.IsHeldByCurrentThread());
        { os::ThreadLockHandle inner(lock); }
        EXPECT_TRUE(lock.IsHeldByCurrentThread());
    }
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
}

TEST(ThreadLock, GetGlobalLockGivesOneLockPerName) {
    os::ThreadLock* core = os::GetGlobalLock("IGameClientCoreLock");
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(os::GetGlobalLock("IGameClientCoreLock"), core);
    EXPECT_EQ(os::GetGlobalLock(std::string("IGameClient") + "CoreLock"), core);
    os::ThreadLock* other = os::GetGlobalLock("LockTestOtherLock");
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, core);
}

TEST(ThreadLockThreads, HandlesExcludeEachOtherAcrossThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    os::ThreadLock lock;
    long counter = 0;  // deliberately not atomic: only the lock protects it
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < kRounds; ++i) {
                os::ThreadLockHandle hold(lock);
                os::ThreadLockHandle again(lock);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

TEST(ThreadLockThreads, ConcurrentFirstRequestsForOneNameGetOneLock) {
    constexpr int kThreads = 8;
    std::barrier start(kThreads);
    std::vector<os::ThreadLock*> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            seen[t] = os::GetGlobalLock("LockTestRaceForOneName");
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::set<os::ThreadLock*>(seen.begin(), seen.end()).size(), 1u);
    EXPECT_EQ(seen[0], os::GetGlobalLock("LockTestRaceForOneName"));
}

}  // namespace
