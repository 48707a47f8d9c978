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

class MiniMapPoll : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bench.Start());
        minimap = bench.MiniMap();
        ASSERT_NE(minimap, nullptr);
    }

    /// Runs one interval; returns how many minimap timers it ran.
    std::size_t Interval() { return os::GetTimer()->Advance(pyr::MiniMapPollInterval); }

    /// Runs `n` intervals and checks that each ended with exactly one new registration.
    void ExpectChainGoesOn(int n) {
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(Interval(), 1u);
            EXPECT_EQ(MiniMapTimers().size(), 1u);
        }
    }

    Bench bench;
    pyr::IPyr_MiniMap* minimap = nullptr;
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

TEST_F(MiniMapPoll, NothingIsSentWhileTheRoleIsInBattle) {
    minimap->SetPollEnabled(true);
    bench.battle.inBattle = true;
    ExpectChainGoesOn(2);
    EXPECT_EQ(bench.client.SentCount(), 0u);
    bench.battle.inBattle = false;
    ExpectChainGoesOn(1);
    EXPECT_EQ(bench.client.SentCount(), 1u);
}

TEST_F(MiniMapPoll, NothingIsSentWithoutACurrentRole) {
    minimap->SetPollEnabled(true);
    bench.roles.currentRole = nullptr;
    ExpectChainGoesOn(2);
    EXPECT_EQ(bench.client.SentCount(), 0u);
}

TEST_F(MiniMapPoll, NothingIsSentForARoleWithoutBattleInformation) {
    minimap->SetPollEnabled(true);
    bench.role.battleEntity = nullptr;
    ExpectChainGoesOn(1);
    bench.role.battleEntity = &bench.otherEntity;
    ExpectChainGoesOn(1);
    EXPECT_EQ(bench.client.SentCount(), 0u);
}

TEST_F(MiniMapPoll, AFailedSendIsTriedAgainNextInterval) {
    minimap->SetPollEnabled(true);
    bench.client.sendResult = false;
    ExpectChainGoesOn(2);
    EXPECT_EQ(bench.client.SentCount(), 2u);
}

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
