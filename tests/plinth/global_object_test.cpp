#include <atomic>
#include <barrier>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plinth/GlobalObject.h"

namespace {

// Objects are never destroyed, so each test asks for names that no earlier run has used
// (gtest may repeat tests in one process), and its objects may leak.
std::string FreshName(const std::string& base) {
    static std::atomic<int> runs{0};
    return base + "#" + std::to_string(++runs);
}

struct Counted {
    std::atomic<int>* calls;
    int value;
    void* operator()() const {
        calls->fetch_add(1);
        return new int(value);
    }
};

TEST(GlobalObject, CreatorRunsOnceAndLaterCreatorsAreIgnored) {
    const std::string onceName = FreshName("GlobalObjectTestOnce");
    std::atomic<int> firstCalls{0};
    std::atomic<int> laterCalls{0};
    void* object = os::GetGlobalObject(onceName, Counted{&firstCalls, 1});
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(*static_cast<int*>(object), 1);
    EXPECT_EQ(os::GetGlobalObject(onceName, Counted{&laterCalls, 2}), object);
    EXPECT_EQ(os::GetGlobalObject(onceName, os::Function<void*()>()), object);
    EXPECT_EQ(firstCalls.load(), 1);
    EXPECT_EQ(laterCalls.load(), 0);
}

TEST(GlobalObject, NamesAreIndependent) {
    const std::string firstName = FreshName("GlobalObjectTestFirst");
    const std::string secondName = FreshName("GlobalObjectTestSecond");
    std::atomic<int> calls{0};
    void* first = os::GetGlobalObject(firstName, Counted{&calls, 1});
    void* second = os::GetGlobalObject(secondName, Counted{&calls, 2});
    EXPECT_NE(first, second);
    EXPECT_EQ(*static_cast<int*>(second), 2);
    EXPECT_EQ(calls.load(), 2);
}

TEST(GlobalObject, CreatorMayAskForAnotherName) {
    const std::string outerName = FreshName("GlobalObjectTestOuter");
    const std::string innerName = FreshName("GlobalObjectTestInner");
    std::atomic<int> calls{0};
    void* inner = nullptr;
    void* outer = os::GetGlobalObject(outerName, [&]() -> void* {
        inner = os::GetGlobalObject(innerName, Counted{&calls, 7});
        return new int(8);
    });
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(os::GetGlobalObject(innerName, Counted{&calls, 0}), inner);
    EXPECT_EQ(*static_cast<int*>(outer), 8);
    EXPECT_EQ(calls.load(), 1);
}

TEST(GlobalObjectDeathTest, CreatorReturningNullAbortsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The process dies in a child, so these names are never taken in this one.
    const std::string nullName = "GlobalObjectTestNull";
    const std::string emptyName = "GlobalObjectTestEmpty";
    EXPECT_DEATH(os::GetGlobalObject(nullName, []() -> void* { return nullptr; }), nullName);
    EXPECT_DEATH(os::GetGlobalObject(emptyName, os::Function<void*()>()), emptyName);
}

TEST(GlobalObjectThreads, ConcurrentFirstRequestsRunTheCreatorOnce) {
    constexpr int kThreads = 8;
    const std::string raceName = FreshName("GlobalObjectTestRace");
    std::atomic<int> calls{0};
    std::barrier start(kThreads);
    std::vector<void*> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            seen[t] = os::GetGlobalObject(raceName, Counted{&calls, t});
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(std::set<void*>(seen.begin(), seen.end()).size(), 1u);
    ASSERT_NE(seen[0], nullptr);
}

}  // namespace
