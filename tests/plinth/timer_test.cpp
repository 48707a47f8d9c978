#include <atomic>
#include <cstdint>
#include <latch>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "function/Bind.h"
#include "plinth/Timer.h"
#include "support/LogCapture.h"

// Polls the way the minimap does: a member function registers itself again on every run.
// At global scope, so that its qualified name is just the class and the member.
class TimerTestPoller {
public:
    void Start() {
        startLine = __LINE__ + 1;
        pollTimer = PLINTH_REGISTER_TIMER(os::GetTimer(), os::bind(&TimerTestPoller::OnTimer, this),
                                          5000, nullptr);
    }
    void OnTimer(os::Timer*, os::TimerID, void*) {
        ++runs;
        onTimerLine = __LINE__ + 1;
        pollTimer = PLINTH_REGISTER_TIMER(os::GetTimer(), os::bind(&TimerTestPoller::OnTimer, this),
                                          5000, &runs);
    }

    os::TimerID pollTimer;
    int runs = 0;
    int startLine = 0;
    int onTimerLine = 0;
};

namespace {

// PLINTH_REGISTER_TIMER works on any timer object; tests that do not look at the
// registering code's description register through this helper.
os::TimerID Register(os::Timer& timer, os::TimerCallback callback, int interval,
                     void* userData = nullptr) {
    return PLINTH_REGISTER_TIMER(&timer, callback, interval, userData);
}

os::TimerCallback Record(std::vector<int>& order, int label) {
    return [&order, label](os::Timer*, os::TimerID, void*) { order.push_back(label); };
}

const os::TimerCallback kNothing = [](os::Timer*, os::TimerID, void*) {};

// A callback that counts its runs and its live copies, to tell when the service drops it.
struct Counters {
    std::atomic<int> runs{0};
    std::atomic<int> live{0};
    std::atomic<int> liveDuringRun{-1};
};

struct Tracked {
    explicit Tracked(Counters* counters) : counters(counters) { ++counters->live; }
    Tracked(const Tracked& other) : counters(other.counters) { ++counters->live; }
    Tracked& operator=(const Tracked&) = delete;
    ~Tracked() { --counters->live; }
    void operator()(os::Timer*, os::TimerID, void*) const {
        ++counters->runs;
        counters->liveDuringRun = counters->live.load();
    }
    Counters* counters;
};

// ---------------------------------------------------------------------------------------
// Manual clock

TEST(Timer, RegistrationRunsItsCallbackOnceAfterTheInterval) {
    os::Timer timer(os::ClockMode::Manual);
    Counters counters;
    Register(timer, Tracked(&counters), 100);
    EXPECT_EQ(timer.Advance(99), 0u);
    EXPECT_EQ(counters.runs, 0);
    EXPECT_EQ(timer.Advance(1), 1u);
    EXPECT_EQ(timer.Advance(1000), 0u);
    EXPECT_EQ(counters.runs, 1);
    EXPECT_EQ(timer.GetPendingCount(), 0u);
}

TEST(Timer, DueTimersRunInDueOrderAndEqualTimesInRegistrationOrder) {
    os::Timer timer(os::ClockMode::Manual);
    std::vector<int> order;
    const os::TimerID late = Register(timer, Record(order, 30), 30);
    const os::TimerID first = Register(timer, Record(order, 10), 10);
    Register(timer, Record(order, 20), 20);
    Register(timer, Record(order, 11), 10);

    const auto pending = timer.GetPendingTimers();
    ASSERT_EQ(pending.size(), 4u);
    EXPECT_EQ(pending.front().id, first);
    EXPECT_EQ(pending.front().dueMs, 10);
    EXPECT_EQ(pending.back().id, late);
    EXPECT_EQ(pending.back().interval, 30);

    EXPECT_EQ(timer.Advance(30), 4u);
    EXPECT_EQ(order, (std::vector<int>{10, 11, 20, 30}));
    EXPECT_EQ(timer.Now(), 30);
}

TEST(Timer, CallbackRegisteringWithinTheWindowRunsAgainInTheSameAdvance) {
    os::Timer timer(os::ClockMode::Manual);
    std::vector<std::int64_t> times;
    os::TimerCallback again;
    again = [&](os::Timer* running, os::TimerID, void*) {
        times.push_back(running->Now());
        Register(*running, again, 10);
    };
    Register(timer, again, 10);
    EXPECT_EQ(timer.Advance(35), 3u);
    // Each run sees the clock at its own due time, so its next run keeps the period.
    EXPECT_EQ(times, (std::vector<std::int64_t>{10, 20, 30}));
    EXPECT_EQ(timer.Now(), 35);
    ASSERT_EQ(timer.GetPendingCount(), 1u);
    EXPECT_EQ(timer.GetPendingTimers()[0].dueMs, 40);
}

TEST(Timer, RunNextRunsEveryTimerDueAtTheEarliestTime) {
    os::Timer timer(os::ClockMode::Manual);
    std::vector<int> order;
    Register(timer, Record(order, 1), 50);
    Register(timer, Record(order, 3), 80);
    Register(timer, Record(order, 2), 50);
    EXPECT_EQ(timer.RunNext(), 2u);
    EXPECT_EQ(timer.Now(), 50);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(timer.RunNext(), 1u);
    EXPECT_EQ(timer.Now(), 80);
    EXPECT_EQ(timer.RunNext(), 0u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(Timer, NegativeIntervalCountsAsZero) {
    os::Timer timer(os::ClockMode::Manual);
    timer.Advance(7);
    Counters counters;
    Register(timer, Tracked(&counters), -5);
    ASSERT_EQ(timer.GetPendingCount(), 1u);
    EXPECT_EQ(timer.GetPendingTimers()[0].dueMs, 7);
    EXPECT_EQ(timer.Advance(0), 1u);
    EXPECT_EQ(counters.runs, 1);
}

TEST(Timer, CallbackGetsItsTimerItsIdAndTheUserDataAndIsDestroyedRightAfterItRan) {
    os::Timer timer(os::ClockMode::Manual);
    int userValue = 0;
    os::Timer* seenTimer = nullptr;
    os::TimerID seenId;
    void* seenData = nullptr;
    const os::TimerID id = Register(
        timer,
        [&](os::Timer* t, os::TimerID i, void* d) {
            seenTimer = t;
            seenId = i;
            seenData = d;
        },
        5, &userValue);
    Counters counters;
    Register(timer, Tracked(&counters), 5);
    EXPECT_EQ(counters.live, 1);
    EXPECT_TRUE(id.IsValid());
    timer.Advance(5);
    EXPECT_EQ(seenTimer, &timer);
    EXPECT_EQ(seenId, id);
    EXPECT_EQ(seenData, &userValue);
    EXPECT_EQ(counters.liveDuringRun, 1);
    EXPECT_EQ(counters.live, 0);
}

TEST(Timer, CancelOfAPendingTimerThroughAnyCopyOfItsIdDropsTheCallbackUnrun) {
    os::Timer timer(os::ClockMode::Manual);
    Counters counters;
    const os::TimerID id = Register(timer, Tracked(&counters), 10);
    const os::TimerID copy(id);
    os::TimerID assigned;
    assigned = id;
    EXPECT_EQ(copy, id);
    EXPECT_EQ(assigned, id);
    EXPECT_TRUE(assigned.Cancel());
    EXPECT_EQ(counters.live, 0);
    EXPECT_EQ(timer.GetPendingCount(), 0u);
    EXPECT_FALSE(copy.Cancel());
    EXPECT_FALSE(id.Cancel());
    EXPECT_EQ(timer.Advance(100), 0u);
    EXPECT_EQ(counters.runs, 0);
}

TEST(Timer, CancelOfAnInvalidForeignOrAlreadyRunTimerReturnsFalse) {
    os::Timer timer(os::ClockMode::Manual);
    os::Timer other(os::ClockMode::Manual);
    EXPECT_FALSE(os::InvalidTimerID.IsValid());
    EXPECT_EQ(os::TimerID(), os::InvalidTimerID);
    EXPECT_FALSE(os::InvalidTimerID.Cancel());
    EXPECT_FALSE(timer.Cancel(os::InvalidTimerID));

    const os::TimerID foreign = Register(other, kNothing, 10);
    EXPECT_FALSE(timer.Cancel(foreign));
    EXPECT_EQ(other.GetPendingCount(), 1u);

    const os::TimerID ran = Register(timer, kNothing, 0);
    const os::TimerID next = Register(timer, kNothing, 0);
    EXPECT_NE(ran, next);
    EXPECT_EQ(timer.Advance(0), 2u);
    EXPECT_FALSE(ran.Cancel());
}

TEST(Timer, CallbackMayCancelItselfAndOtherPendingTimers) {
    os::Timer timer(os::ClockMode::Manual);
    Counters other;
    const os::TimerID otherId = Register(timer, Tracked(&other), 20);
    bool cancelledSelf = true;
    bool cancelledOther = false;
    Register(
        timer,
        [&](os::Timer*, os::TimerID self, void*) {
            cancelledSelf = self.Cancel();  // must not wait for itself
            cancelledOther = otherId.Cancel();
        },
        10);
    EXPECT_EQ(timer.Advance(100), 1u);
    EXPECT_FALSE(cancelledSelf);
    EXPECT_TRUE(cancelledOther);
    EXPECT_EQ(other.runs, 0);
}

TEST(Timer, ClockModeChangesOnlyWhileNothingIsPending) {
    os::Timer timer(os::ClockMode::Manual);
    const os::TimerID id = Register(timer, kNothing, 10);
    EXPECT_FALSE(timer.SetClockMode(os::ClockMode::Real));
    EXPECT_EQ(timer.GetClockMode(), os::ClockMode::Manual);
    id.Cancel();
    timer.Advance(25);
    EXPECT_TRUE(timer.SetClockMode(os::ClockMode::Real));
    EXPECT_EQ(timer.GetClockMode(), os::ClockMode::Real);
    EXPECT_EQ(timer.Advance(10), 0u);
    EXPECT_TRUE(timer.SetClockMode(os::ClockMode::Manual));
    EXPECT_EQ(timer.Now(), 0);
}

TEST(Timer, AdvanceByTheLargestAmountRunsEverythingPendingWithoutOverflow) {
    os::Timer timer(os::ClockMode::Manual);
    Counters counters;
    Register(timer, Tracked(&counters), std::numeric_limits<int>::max());
    EXPECT_EQ(timer.Advance(std::numeric_limits<std::int64_t>::max()), 1u);
    EXPECT_EQ(counters.runs, 1);
    // The clock stops at its end; later timers still come due there instead of wrapping.
    Register(timer, Tracked(&counters), 10);
    EXPECT_EQ(timer.Advance(std::numeric_limits<std::int64_t>::max()), 1u);
    EXPECT_EQ(counters.runs, 2);
    EXPECT_GT(timer.Now(), 0);
}

TEST(HostileTimer, ScaleOutsideItsBoundsIsRefusedWithALineAndDueTimesStayAhead) {
    test::LogCapture capture;
    os::Timer timer(os::ClockMode::Real, std::numeric_limits<double>::infinity());
    EXPECT_EQ(timer.GetScale(), 1.0);
    for (double bad : {0.0, -1.0, 1e300, 1e-300, std::numeric_limits<double>::quiet_NaN()}) {
        timer.SetScale(bad);
        EXPECT_EQ(timer.GetScale(), 1.0) << bad;
    }
    EXPECT_EQ(capture.Count(os::LogKind::Plain), 6u);
    // The longest interval at the largest scale falls due far ahead, not wrapped into the past.
    timer.SetScale(os::kMaxTimerScale);
    Counters counters;
    Register(timer, Tracked(&counters), std::numeric_limits<int>::max());
    const auto pending = timer.GetPendingTimers();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_GE(pending[0].dueMs - timer.Now(), std::int64_t{std::numeric_limits<int>::max()} * 999);
    EXPECT_EQ(counters.runs, 0);
}

TEST(Timer, CallbackThatThrowsLeavesTheTimerUsable) {
    os::Timer timer(os::ClockMode::Manual);
    Register(
        timer, [](os::Timer*, os::TimerID, void*) { throw std::runtime_error("callback failed"); },
        10);
    EXPECT_THROW(timer.Advance(10), std::runtime_error);
    Counters counters;
    Register(timer, Tracked(&counters), 10);
    EXPECT_EQ(timer.Advance(10), 1u);
    EXPECT_EQ(counters.runs, 1);
    EXPECT_TRUE(timer.SetClockMode(os::ClockMode::Real));
}

TEST(Timer, RegistrationRecordsTheRegisteringFileLineFunctionAndCallbackText) {
    os::Timer* timer = os::GetTimer();
    ASSERT_TRUE(timer->SetClockMode(os::ClockMode::Manual));
    TimerTestPoller poller;
    poller.Start();

    auto pending = timer->GetPendingTimers();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].id, poller.pollTimer);
    EXPECT_EQ(pending[0].file, "tests/plinth/timer_test.cpp");
    EXPECT_EQ(pending[0].line, poller.startLine);
    EXPECT_EQ(pending[0].function, "TimerTestPoller::Start");
    EXPECT_EQ(pending[0].callbackText, "os::bind(&TimerTestPoller::OnTimer,this)");
    EXPECT_EQ(pending[0].interval, 5000);
    EXPECT_EQ(pending[0].userData, nullptr);
    EXPECT_EQ(pending[0].dueMs, timer->Now() + 5000);

    EXPECT_EQ(timer->RunNext(), 1u);
    EXPECT_EQ(poller.runs, 1);
    pending = timer->GetPendingTimers();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].id, poller.pollTimer);
    EXPECT_EQ(pending[0].line, poller.onTimerLine);
    EXPECT_EQ(pending[0].function, "TimerTestPoller::OnTimer");
    // Written with a space after the comma, recorded as in Start: the text does not depend on
    // the layout of the code.
    EXPECT_EQ(pending[0].callbackText, "os::bind(&TimerTestPoller::OnTimer,this)");
    EXPECT_EQ(pending[0].userData, &poller.runs);

    EXPECT_TRUE(poller.pollTimer.Cancel());
    EXPECT_EQ(timer->GetPendingCount(), 0u);

    // A build whose file names start at "." (-ffile-prefix-map=SRC=.) names the same file.
    os::TimerID dotted =
        timer->_RegisterTimer([](os::Timer*, os::TimerID, void*) {}, 10, nullptr,
                              "./tests/plinth/timer_test.cpp", 7, "Poller::Start", "cb");
    pending = timer->GetPendingTimers();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].file, "tests/plinth/timer_test.cpp");
    EXPECT_TRUE(dotted.Cancel());
}

// The names g++ and clang++ give the same functions: a plug-in built with either names its
// leftover timers.
TEST(Timer, QualifiedNameIsTheNameBeforeTheParameterListAsEitherCompilerSpellsIt) {
    using os::detail::ExtractQualifiedName;
    EXPECT_STREQ(ExtractQualifiedName("bool Poller::Start()").c_str(), "Poller::Start");
    EXPECT_STREQ(ExtractQualifiedName("void {anonymous}::Probe::OnTimer(os::Timer*, os::TimerID, "
                                      "void*)")
                     .c_str(),
                 "{anonymous}::Probe::OnTimer");
    EXPECT_STREQ(ExtractQualifiedName("void (anonymous namespace)::Probe::OnTimer(os::Timer *, "
                                      "os::TimerID, void *)")
                     .c_str(),
                 "(anonymous namespace)::Probe::OnTimer");
    EXPECT_STREQ(ExtractQualifiedName("static void (anonymous namespace)::Table<std::pair<int, "
                                      "int> >::Tick(int)")
                     .c_str(),
                 "(anonymous namespace)::Table<std::pair<int, int> >::Tick");
    EXPECT_STREQ(ExtractQualifiedName("const char* Pool::Name() const").c_str(), "Pool::Name");
}

TEST(Timer, CallbackTextKeepsQuotedSpacesAndSpacesBetweenWords) {
    static constexpr auto text = os::detail::CompactExpression("Make(new Poller, \"a, b\", ' ')");
    EXPECT_STREQ(text.c_str(), "Make(new Poller,\"a, b\",' ')");
}

// ---------------------------------------------------------------------------------------
// Several threads

TEST(TimerThreads, CancelReturnsOnlyAfterTheCallbackRunningOnAnotherThreadEnded) {
    os::Timer timer(os::ClockMode::Manual);
    std::latch running(1);     // the callback has started on the runner thread
    std::latch cancelling(1);  // this thread is about to call Cancel
    std::atomic<bool> cancelReturned{false};
    std::atomic<bool> callbackEnded{false};
    std::atomic<bool> callbackSawCancelReturn{false};
    const os::TimerID id = Register(
        timer,
        [&](os::Timer*, os::TimerID, void*) {
            running.count_down();
            cancelling.wait();
            // Cancel is being called now. If it did not wait for this callback it would
            // return during these rounds; a correct one never does.
            for (int round = 0; round < 10000 && !cancelReturned; ++round) {
                std::this_thread::yield();
            }
            callbackSawCancelReturn = cancelReturned.load();
            callbackEnded = true;
        },
        10);
    std::thread runner([&] { EXPECT_EQ(timer.Advance(10), 1u); });
    running.wait();
    cancelling.count_down();
    const bool removed = id.Cancel();
    cancelReturned = true;
    EXPECT_TRUE(callbackEnded);
    runner.join();
    EXPECT_FALSE(callbackSawCancelReturn);
    EXPECT_FALSE(removed);  // it was running, not pending
}

TEST(TimerThreads, RealClockRunsTimersOnTheServiceThread) {
    os::Timer timer;
    std::latch ran(1);
    std::thread::id runningThread;
    os::Timer* seenTimer = nullptr;
    Register(
        timer,
        [&](os::Timer* t, os::TimerID, void*) {
            runningThread = std::this_thread::get_id();
            seenTimer = t;
            ran.count_down();
        },
        0);
    ran.wait();
    EXPECT_NE(runningThread, std::this_thread::get_id());
    EXPECT_EQ(seenTimer, &timer);
}

TEST(TimerThreads, DestroyingARealClockTimerDropsItsPendingCallbacksUnrun) {
    Counters counters;
    {
        os::Timer timer;
        // Registering starts the service thread; an hour is far beyond this test.
        Register(timer, Tracked(&counters), 3600 * 1000);
        EXPECT_EQ(timer.GetPendingCount(), 1u);
    }
    EXPECT_EQ(counters.runs, 0);
    EXPECT_EQ(counters.live, 0);
}

TEST(TimerThreads, CallbackThrowingOnTheServiceThreadIsLoggedAndLaterTimersStillRun) {
    test::LogCapture capture;
    os::Timer timer;
    std::latch ran(1);
    Register(
        timer, [](os::Timer*, os::TimerID, void*) { throw std::runtime_error("boom"); }, 0);
    Register(
        timer, [&](os::Timer*, os::TimerID, void*) { ran.count_down(); }, 0);
    ran.wait();
    bool reported = false;
    for (const auto& record : capture.Records()) {
        reported |= record.kind == os::LogKind::Plain &&
                    record.text == "os::Timer error : callback threw : boom";
    }
    EXPECT_TRUE(reported);
}

}  // namespace
