#include "function/Signal.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "function/Bind.h"

namespace {

using VoidSignal = os::Signal<void(), os::LastValue<void>>;

// A subscriber that records the order of its calls in a shared journal.
struct Subscriber {
    std::vector<std::string>* journal;
    std::string name;

    void OnFirst() { journal->push_back(name + ".first"); }
    void OnSecond() { journal->push_back(name + ".second"); }
};

// A slot that counts its live copies, so a test can see the emission's copies released.
struct CountedSlot {
    static inline int live = 0;
    int* calls;
    bool throws;

    CountedSlot(int* c, bool t) : calls(c), throws(t) { ++live; }
    CountedSlot(const CountedSlot& other) : calls(other.calls), throws(other.throws) { ++live; }
    ~CountedSlot() { --live; }
    CountedSlot& operator=(const CountedSlot&) = default;

    void operator()() const {
        ++*calls;
        if (throws) {
            throw std::runtime_error("slot failed");
        }
    }
};

TEST(Signal, ConnectingTheSameBindingTwiceKeepsOneSlotCalledOnce) {
    std::vector<std::string> journal;
    Subscriber a{&journal, "a"};
    VoidSignal signal;

    EXPECT_TRUE(signal.Connect(os::bind(&Subscriber::OnFirst, &a)));
    EXPECT_FALSE(signal.Connect(os::bind(&Subscriber::OnFirst, &a)));
    EXPECT_EQ(signal.GetSlotCount(), 1u);

    signal.Emit();
    EXPECT_EQ(journal, (std::vector<std::string>{"a.first"}));
}

TEST(Signal, DifferentBindingsAreCalledInConnectionOrder) {
    std::vector<std::string> journal;
    Subscriber a{&journal, "a"};
    Subscriber b{&journal, "b"};
    VoidSignal signal;

    EXPECT_TRUE(signal.Connect(os::bind(&Subscriber::OnSecond, &b)));
    EXPECT_TRUE(signal.Connect(os::bind(&Subscriber::OnFirst, &a)));
    EXPECT_TRUE(signal.Connect(os::bind(&Subscriber::OnSecond, &a)));  // other member
    EXPECT_TRUE(signal.Connect(os::bind(&Subscriber::OnFirst, &b)));   // other object
    ASSERT_EQ(signal.GetSlotCount(), 4u);

    signal.Emit();
    EXPECT_EQ(journal, (std::vector<std::string>{"b.second", "a.first", "a.second", "b.first"}));
}

TEST(Signal, DisconnectWithAFreshBindingRemovesTheSlotConnectedEarlier) {
    std::vector<std::string> journal;
    Subscriber a{&journal, "a"};
    Subscriber b{&journal, "b"};
    VoidSignal signal;
    signal.Connect(os::bind(&Subscriber::OnFirst, &a));
    signal.Connect(os::bind(&Subscriber::OnFirst, &b));

    signal.Disconnect(os::bind(&Subscriber::OnFirst, &a));
    signal.Disconnect(os::bind(&Subscriber::OnSecond, &b));  // not connected: nothing happens
    EXPECT_EQ(signal.GetSlotCount(), 1u);

    signal.Emit();
    EXPECT_EQ(journal, (std::vector<std::string>{"b.first"}));
}

// An override of Connect and Disconnect governs Add and Remove as well.
class AuditedSignal : public VoidSignal {
public:
    int connects = 0;
    int disconnects = 0;

    bool Connect(SlotType slot) override {
        ++connects;
        return VoidSignal::Connect(std::move(slot));
    }
    void Disconnect(SlotType slot) override {
        ++disconnects;
        VoidSignal::Disconnect(std::move(slot));
    }
};

TEST(Signal, AddAndRemoveGoThroughTheOverriddenConnectAndDisconnect) {
    std::vector<std::string> journal;
    Subscriber a{&journal, "a"};
    AuditedSignal audited;
    VoidSignal& signal = audited;

    signal.Add(os::bind(&Subscriber::OnFirst, &a));
    signal.Add(os::bind(&Subscriber::OnFirst, &a));
    EXPECT_EQ(signal.GetSlotCount(), 1u);
    signal.Remove(os::bind(&Subscriber::OnFirst, &a));
    EXPECT_EQ(signal.GetSlotCount(), 0u);
    EXPECT_EQ(audited.connects, 2);
    EXPECT_EQ(audited.disconnects, 1);
}

// Emission runs on a copy of the slot list: changes made by slots take effect at the next
// emission.
struct Rewirer {
    VoidSignal* signal;
    std::vector<std::string>* journal;
    Subscriber* other;

    void DisconnectOther() {
        journal->push_back("rewirer.disconnect");
        signal->Disconnect(os::bind(&Subscriber::OnFirst, other));
    }
    void DisconnectSelf() {
        journal->push_back("rewirer.self");
        signal->Disconnect(os::bind(&Rewirer::DisconnectSelf, this));
    }
    void ConnectOther() {
        journal->push_back("rewirer.connect");
        signal->Connect(os::bind(&Subscriber::OnFirst, other));
    }
    void DisconnectEverything() {
        journal->push_back("rewirer.all");
        signal->DisconnectAll();
    }
};

// A rewiring slot connected ahead of b.first (or alone), the journals of two emissions, and
// the slots connected after each of them.
struct Rewiring {
    const char* name;
    void (Rewirer::*slot)();
    bool thenB;  ///< b.first is connected after the rewiring slot
    std::vector<std::string> first;
    std::vector<std::string> second;
    std::size_t slotsLeft;
};

void PrintTo(const Rewiring& c, std::ostream* os) {
    *os << c.name;
}

class SignalRewiredDuringEmission : public ::testing::TestWithParam<Rewiring> {};

TEST_P(SignalRewiredDuringEmission, ChangesTakeEffectAtTheNextEmission) {
    const Rewiring& c = GetParam();
    std::vector<std::string> journal;
    VoidSignal signal;
    Subscriber b{&journal, "b"};
    Rewirer rewirer{&signal, &journal, &b};
    signal.Connect(os::bind(c.slot, &rewirer));
    if (c.thenB) {
        signal.Connect(os::bind(&Subscriber::OnFirst, &b));
    }

    signal.Emit();
    EXPECT_EQ(journal, c.first);
    EXPECT_EQ(signal.GetSlotCount(), c.slotsLeft);

    journal.clear();
    signal.Emit();
    EXPECT_EQ(journal, c.second);
    EXPECT_EQ(signal.GetSlotCount(), c.slotsLeft);
}

INSTANTIATE_TEST_SUITE_P(
    Signal, SignalRewiredDuringEmission,
    ::testing::Values(Rewiring{"SlotDisconnectedDuringEmissionStillRunsLaterInSnapshot",
                               &Rewirer::DisconnectOther,
                               true,
                               {"rewirer.disconnect", "b.first"},
                               {"rewirer.disconnect"},
                               1},
                      Rewiring{"SlotThatDisconnectsItselfRunsOnceThenNotAtTheNextEmission",
                               &Rewirer::DisconnectSelf,
                               true,
                               {"rewirer.self", "b.first"},
                               {"b.first"},
                               1},
                      // The second connection of b.first is refused as a duplicate.
                      Rewiring{"SlotConnectedDuringEmissionIsFirstCalledAtTheNextEmission",
                               &Rewirer::ConnectOther,
                               false,
                               {"rewirer.connect"},
                               {"rewirer.connect", "b.first"},
                               2},
                      Rewiring{"DisconnectAllDuringEmissionFinishesTheEmissionAndLeavesNoSlots",
                               &Rewirer::DisconnectEverything,
                               true,
                               {"rewirer.all", "b.first"},
                               {},
                               0}),
    [](const ::testing::TestParamInfo<Rewiring>& info) { return std::string(info.param.name); });

TEST(Signal, EmptySlotConnectsOnceAndIsSkippedByEmission) {
    std::vector<std::string> journal;
    Subscriber a{&journal, "a"};
    VoidSignal signal;

    EXPECT_TRUE(signal.Connect(os::Function<void()>()));
    EXPECT_FALSE(signal.Connect(os::Function<void()>()));
    EXPECT_TRUE(signal.Connect(os::bind(&Subscriber::OnFirst, &a)));
    EXPECT_EQ(signal.GetSlotCount(), 2u);

    signal.Emit();
    EXPECT_EQ(journal, (std::vector<std::string>{"a.first"}));

    signal.Disconnect(os::Function<void()>());
    EXPECT_EQ(signal.GetSlotCount(), 1u);
}

TEST(Signal, SlotThatThrowsStopsTheEmissionAndTheCopiesAreReleased) {
    int before = 0;
    int thrower = 0;
    int after = 0;
    {
        VoidSignal signal;
        signal.Connect(CountedSlot(&before, false));
        signal.Connect(CountedSlot(&thrower, true));
        signal.Connect(CountedSlot(&after, false));
        ASSERT_EQ(CountedSlot::live, 3);

        EXPECT_THROW(signal.Emit(), std::runtime_error);
        EXPECT_EQ(before, 1);
        EXPECT_EQ(thrower, 1);
        EXPECT_EQ(after, 0);
        // Only the connected slots are left: the emission's copies went with the exception.
        EXPECT_EQ(CountedSlot::live, 3);
        EXPECT_EQ(signal.GetSlotCount(), 3u);
    }
    EXPECT_EQ(CountedSlot::live, 0);
}

// A slot whose copy fails while armed: the emission's snapshot then fails part-way.
struct FailingCopySlot {
    static inline bool armed = false;
    int* calls;

    explicit FailingCopySlot(int* c) : calls(c) {}
    FailingCopySlot(const FailingCopySlot& other) : calls(other.calls) {
        if (armed) {
            throw std::runtime_error("copy failed");
        }
    }

    void operator()() const { ++*calls; }
};

TEST(Signal, CopyThatFailsStopsTheEmissionBeforeAnySlotAndReleasesTheCopiesMade) {
    int counted = 0;
    int failing = 0;
    {
        VoidSignal signal;
        signal.Connect(CountedSlot(&counted, false));
        signal.Connect(CountedSlot(&counted, false));
        signal.Connect(FailingCopySlot(&failing));
        ASSERT_EQ(CountedSlot::live, 2);

        FailingCopySlot::armed = true;
        EXPECT_THROW(signal.Emit(), std::runtime_error);
        FailingCopySlot::armed = false;
        EXPECT_EQ(counted, 0);
        EXPECT_EQ(failing, 0);
        // The two copies made before the failing one went with the exception.
        EXPECT_EQ(CountedSlot::live, 2);

        signal.Emit();
        EXPECT_EQ(counted, 2);
        EXPECT_EQ(failing, 1);
    }
    EXPECT_EQ(CountedSlot::live, 0);
}

// A slot that emits the signal again, once, and one that destroys the signal.
struct Reentrant {
    VoidSignal* signal;
    std::vector<std::string>* journal;
    int depth = 0;

    void EmitAgain() {
        journal->push_back("emit." + std::to_string(depth));
        if (depth++ == 0) {
            signal->Emit();
        }
    }
    void DestroySignal() {
        journal->push_back("destroy");
        delete signal;
        signal = nullptr;
    }
};

TEST(Signal, NestedEmissionFromASlotRunsEverySlotOnItsOwnCopy) {
    std::vector<std::string> journal;
    VoidSignal signal;
    Subscriber b{&journal, "b"};
    Reentrant reentrant{&signal, &journal};
    signal.Connect(os::bind(&Reentrant::EmitAgain, &reentrant));
    signal.Connect(os::bind(&Subscriber::OnFirst, &b));

    signal.Emit();
    EXPECT_EQ(journal, (std::vector<std::string>{"emit.0", "emit.1", "b.first", "b.first"}));
}

TEST(Signal, SlotMayDestroyTheSignalAndTheRestOfTheEmissionStillRuns) {
    std::vector<std::string> journal;
    auto* signal = new VoidSignal;
    Subscriber b{&journal, "b"};
    Reentrant reentrant{signal, &journal};
    signal->Connect(os::bind(&Reentrant::DestroySignal, &reentrant));
    signal->Connect(os::bind(&Subscriber::OnFirst, &b));

    signal->Emit();
    EXPECT_EQ(reentrant.signal, nullptr);
    EXPECT_EQ(journal, (std::vector<std::string>{"destroy", "b.first"}));
}

}  // namespace
