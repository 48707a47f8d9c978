// The poll timer on the manual clock, and the requests as the game-server client receives
// them.

#include <gtest/gtest.h>

#include <set>

#include "minimap/MiniMapTesting.h"

namespace minimaptest {
namespace {

const Bytes kPoll = {0x20, 0x00, 0xFF, 0x00, 0x0E, 0x00, 0x00,
                     0x00, 0x08, 0x00, 0x05, 0x00, 0x00, 0x00};

Bytes Query(unsigned char a0, unsigned char a1, unsigned char a2, unsigned char a3) {
    return {0x20, 0x00, 0xFF, 0x00, 0x16, 0x00, 0x00, 0x00, 0x08, 0x00, 0x03,
            0x00, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00, a0,   a1,   a2,   a3};
}

class MiniMapPoll : public StartedMiniMap {
protected:
    /// Runs one interval; returns how many minimap timers it ran.
    std::size_t Interval() { return os::GetTimer()->Advance(pyr::MiniMapPollInterval); }

    /// Runs `n` intervals and checks that each ended with exactly one new registration.
    void ExpectChainGoesOn(int n) {
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(Interval(), 1u);
            EXPECT_EQ(MiniMapTimers().size(), 1u);
        }
    }
};

TEST_F(MiniMapPoll, FiveIntervalsWithPollingOffRegisterFiveTimesAndSendNothing) {
    std::set<std::uint64_t> registrations;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Interval(), 1u);
        const auto timers = MiniMapTimers();
        ASSERT_EQ(timers.size(), 1u);
        EXPECT_EQ(timers[0].function, "Pyr_MiniMap::MyTimeFunc");
        EXPECT_EQ(timers[0].callbackText, "os::bind(&Pyr_MiniMap::MyTimeFunc,this)");
        EXPECT_EQ(timers[0].file.rfind("SceneSystem/Pyr_MiniMap/Pyr_MiniMap", 0), 0u);
        EXPECT_EQ(timers[0].interval, 5000);
        EXPECT_EQ(timers[0].userData, nullptr);
        registrations.insert(timers[0].id.GetSerial());
    }
    EXPECT_EQ(registrations.size(), 5u);
    EXPECT_EQ(bench.client.SentCount(), 0u);
}

TEST_F(MiniMapPoll, PollingWithTheBattleFlagClearSendsOnePollPerInterval) {
    minimap->SetPollEnabled(true);
    ExpectChainGoesOn(3);
    EXPECT_EQ(bench.client.Sent(), (std::vector<Bytes>{kPoll, kPoll, kPoll}));
}

// A condition that holds a poll back (or makes its send fail), set with polling on. The chain
// of registrations goes on through it, and the first interval after it is undone polls again.
struct HeldBack {
    const char* name;
    void (*arrange)(Bench&);
    void (*undo)(Bench&);
    std::size_t sentOverTwoIntervals;  // sends the client saw while the condition held
};

void PrintTo(const HeldBack& c, std::ostream* os) {
    *os << c.name;
}

class MiniMapPollHeldBack : public MiniMapPoll, public ::testing::WithParamInterface<HeldBack> {};

TEST_P(MiniMapPollHeldBack, ChainGoesOnAndTheNextIntervalPollsOnceUndone) {
    minimap->SetPollEnabled(true);
    GetParam().arrange(bench);
    ExpectChainGoesOn(2);
    EXPECT_EQ(bench.client.SentCount(), GetParam().sentOverTwoIntervals);
    GetParam().undo(bench);
    ExpectChainGoesOn(1);
    EXPECT_EQ(bench.client.SentCount(), GetParam().sentOverTwoIntervals + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, MiniMapPollHeldBack,
    ::testing::Values(HeldBack{"RoleInBattle", [](Bench& b) { b.battle.inBattle = true; },
                               [](Bench& b) { b.battle.inBattle = false; }, 0},
                      HeldBack{"NoCurrentRole", [](Bench& b) { b.roles.currentRole = nullptr; },
                               [](Bench& b) { b.roles.currentRole = &b.role; }, 0},
                      HeldBack{"RoleWithoutBattleInformation",
                               [](Bench& b) { b.role.battleEntity = nullptr; },
                               [](Bench& b) { b.role.battleEntity = &b.battle; }, 0},
                      HeldBack{"BattleInformationOfAnotherType",
                               [](Bench& b) { b.role.battleEntity = &b.otherEntity; },
                               [](Bench& b) { b.role.battleEntity = &b.battle; }, 0},
                      // A failed send is tried again at the next interval.
                      HeldBack{"FailedSend", [](Bench& b) { b.client.sendResult = false; },
                               [](Bench& b) { b.client.sendResult = true; }, 2}),
    [](const ::testing::TestParamInfo<HeldBack>& info) { return info.param.name; });

TEST_F(MiniMapPoll, SwitchingPollingOffStopsTheRequestsButNotTheTimer) {
    minimap->SetPollEnabled(true);
    ExpectChainGoesOn(1);
    minimap->SetPollEnabled(false);
    ExpectChainGoesOn(2);
    EXPECT_EQ(bench.client.SentCount(), 1u);
}

TEST_F(MiniMapPoll, AQueryEmptiesTheQueryStoreAndSendsItsArgument) {
    bench.Deliver(QueryResult(NpcRecord(1)));
    ASSERT_EQ(minimap->GetQueryNpcInfoMap().size(), 1u);
    EXPECT_TRUE(minimap->RequestNpcQuery(7));
    EXPECT_TRUE(minimap->GetQueryNpcInfoMap().empty());
    EXPECT_TRUE(minimap->RequestNpcQuery(-1));
    EXPECT_EQ(bench.client.Sent(),
              (std::vector<Bytes>{Query(0x07, 0x00, 0x00, 0x00), Query(0xFF, 0xFF, 0xFF, 0xFF)}));
}

TEST_F(MiniMapPoll, AQueryReportsAFailedSendAfterEmptyingTheStore) {
    bench.Deliver(QueryResult(NpcRecord(1)));
    bench.client.sendResult = false;
    EXPECT_FALSE(minimap->RequestNpcQuery(3));
    EXPECT_TRUE(minimap->GetQueryNpcInfoMap().empty());
    EXPECT_EQ(bench.client.SentCount(), 1u);
}

TEST_F(MiniMapPoll, AQueryAnswerArrivesAsResultsAndAnEnd) {
    SignalRecorder recorder;
    recorder.Attach(minimap);
    ASSERT_TRUE(minimap->RequestNpcQuery(4));
    bench.Deliver(QueryResult(NpcRecord(10)));
    bench.Deliver(QueryResult(NpcRecord(11)));
    bench.Deliver(QueryEnd());
    EXPECT_EQ(recorder.queryFinished, 1);
    EXPECT_EQ(minimap->GetQueryNpcInfoMap().size(), 2u);
}

TEST_F(MiniMapPoll, TheTimerStopsWithTheRelease) {
    minimap->SetPollEnabled(true);
    ExpectChainGoesOn(1);
    bench.Release();
    EXPECT_EQ(Interval(), 0u);
    EXPECT_EQ(bench.client.SentCount(), 1u);
}

TEST(MiniMapQuery, BeforeTheTreeStartsNothingIsSentAndTheAnswerIsFalse) {
    Bench bench;
    EXPECT_FALSE(bench.MiniMap()->RequestNpcQuery(7));
    EXPECT_EQ(bench.client.SentCount(), 0u);
}

}  // namespace
}  // namespace minimaptest
