// The server's synchronisation messages (type 32, identifier 254), delivered in the wire format
// through the game-server client's type-32 registration.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "minimap/MiniMapTesting.h"
#include "plugin/HostServices.h"
#include "support/LogCapture.h"

namespace minimaptest {
namespace {

class MiniMapSync : public StartedMiniMap {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(StartedMiniMap::SetUp());
        recorder.Attach(minimap);
    }
    void TearDown() override { EXPECT_TRUE(recorder.alwaysUnderCoreLock); }

    MiniMapPlayerInfoMap& Players() { return minimap->GetPlayerInfoMap(); }
    MiniMapNpcInfoMap& Npcs() { return minimap->GetNpcInfoMap(); }
    MiniMapNpcInfoMap& Queried() { return minimap->GetQueryNpcInfoMap(); }

    /// Delivers `wire` and returns the error lines the delivery logged.
    std::vector<std::string> DeliverLogged(const Bytes& wire) {
        test::LogCapture capture;
        EXPECT_TRUE(bench.Deliver(wire));
        return capture.Lines();
    }

    SignalRecorder recorder;
};

TEST_F(MiniMapSync, SetOfAPresentPlayerReplacesAllSixteenBytesAndSignalsOnce) {
    bench.Deliver(SetPlayer(PlayerRecord(0x1122334455667788ull, 1, 2)));
    ASSERT_EQ(recorder.markersChanged, 1);
    const auto updated = PlayerRecord(0x1122334455667788ull, 0xAABBCCDD, 0x01020304);
    EXPECT_TRUE(DeliverLogged(SetPlayer(updated)).empty());
    ASSERT_EQ(Players().size(), 1u);
    EXPECT_EQ(RecordBytes(Players().at(0x1122334455667788ull)), RecordBytes(updated));
    EXPECT_EQ(recorder.markersChanged, 2);
    EXPECT_TRUE(Npcs().empty());
}

TEST_F(MiniMapSync, AnyNonZeroSelectorByteMeansThePlayerStore) {
    bench.Deliver(SetPlayer(PlayerRecord(9), 0x80));
    EXPECT_EQ(Players().count(9), 1u);
}

TEST_F(MiniMapSync, SetOfAPlayerWithAnNpcSizedRecordChangesNothing) {
    const auto lines = DeliverLogged(WireMessage().Int(0).Selector(1).Npc(NpcRecord(4)));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "VerifyChunk() error : class=struct _MiniMapPlayerInfo ChunkID==2 "
              "ChunkSize=84");
    EXPECT_TRUE(Players().empty());
    EXPECT_TRUE(Npcs().empty());
    EXPECT_EQ(recorder.markersChanged, 0);
}

TEST_F(MiniMapSync, SetOfAnNpcStoresTheWholeRecordAndLeavesThePlayersAlone) {
    bench.Deliver(SetPlayer(PlayerRecord(1)));
    const auto npc = NpcRecord(77, 0x5A);
    bench.Deliver(SetNpc(npc));
    ASSERT_EQ(Npcs().count(77), 1u);
    EXPECT_EQ(RecordBytes(Npcs().at(77)), RecordBytes(npc));
    EXPECT_EQ(Players().size(), 1u);
    EXPECT_EQ(recorder.markersChanged, 2);
}

TEST_F(MiniMapSync, IdentifiersAreWholeSixtyFourBitKeysAndZeroIsOneOfThem) {
    bench.Deliver(SetPlayer(PlayerRecord(0x0000000100000005ull)));
    bench.Deliver(SetPlayer(PlayerRecord(0x0000000200000005ull)));
    bench.Deliver(SetPlayer(PlayerRecord(0)));
    EXPECT_EQ(Players().size(), 3u);
    EXPECT_EQ(Players().count(0), 1u);
    for (const auto& [key, record] : Players()) {
        EXPECT_EQ(key, record.id);
    }
}

TEST_F(MiniMapSync, ChunksAreReadByPositionWhateverTheirIdentifiers) {
    bench.Deliver(
        WireMessage().WithChunkId(40).Int(0).WithChunkId(7).Selector(1).WithChunkId(0xFFFF).Player(
            PlayerRecord(12)));
    EXPECT_EQ(Players().count(12), 1u);
}

TEST_F(MiniMapSync, RemoveOfAnAbsentMarkerSignalsNothing) {
    bench.Deliver(SetPlayer(PlayerRecord(1)));
    EXPECT_TRUE(DeliverLogged(RemoveMarker(true, 2)).empty());
    EXPECT_EQ(Players().size(), 1u);
    EXPECT_EQ(recorder.markersChanged, 1);
}

TEST_F(MiniMapSync, RemoveOfAPresentMarkerShrinksTheStoreAndSignalsOnce) {
    bench.Deliver(SetPlayer(PlayerRecord(1)));
    bench.Deliver(SetPlayer(PlayerRecord(2)));
    bench.Deliver(RemoveMarker(true, 1));
    EXPECT_EQ(Players().size(), 1u);
    EXPECT_EQ(Players().count(1), 0u);
    EXPECT_EQ(recorder.markersChanged, 3);
}

TEST_F(MiniMapSync, RemoveTouchesOnlyTheSelectedStore) {
    bench.Deliver(SetPlayer(PlayerRecord(5)));
    bench.Deliver(SetNpc(NpcRecord(5)));
    bench.Deliver(RemoveMarker(true, 5));
    EXPECT_TRUE(Players().empty());
    EXPECT_EQ(Npcs().count(5), 1u);
    bench.Deliver(RemoveMarker(false, 5));
    EXPECT_TRUE(Npcs().empty());
}

TEST_F(MiniMapSync, RemoveWithoutItsChunksLogsBothMissingReads) {
    bench.Deliver(SetPlayer(PlayerRecord(1)));
    const auto lines = DeliverLogged(WireMessage().Int(1));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "VerifyChunk() error : class=bool Chunk==NULL",
                         "VerifyChunk() error : class=unsigned __int64 Chunk==NULL"}));
    EXPECT_EQ(Players().size(), 1u);
    EXPECT_EQ(recorder.markersChanged, 1);
}

TEST_F(MiniMapSync, ClearEmptiesMarkersSignalsAlwaysAndKeepsTheQueryAnswer) {
    bench.Deliver(ClearMarkers());
    EXPECT_EQ(recorder.markersChanged, 1);
    bench.Deliver(SetPlayer(PlayerRecord(1)));
    bench.Deliver(SetNpc(NpcRecord(2)));
    bench.Deliver(QueryResult(NpcRecord(3)));
    bench.Deliver(ClearMarkers());
    EXPECT_TRUE(Players().empty());
    EXPECT_TRUE(Npcs().empty());
    EXPECT_EQ(Queried().count(3), 1u);
    EXPECT_EQ(recorder.markersChanged, 4);
}

TEST_F(MiniMapSync, TheFirstQueryResultForAnIdentifierStaysAndNoneSignals) {
    const auto first = NpcRecord(8, 0x11);
    bench.Deliver(QueryResult(first));
    bench.Deliver(QueryResult(NpcRecord(8, 0x22)));
    ASSERT_EQ(Queried().size(), 1u);
    EXPECT_EQ(RecordBytes(Queried().at(8)), RecordBytes(first));
    EXPECT_EQ(recorder.markersChanged, 0);
    EXPECT_EQ(recorder.queryFinished, 0);
    EXPECT_TRUE(Npcs().empty());
}

TEST_F(MiniMapSync, QueryEndSignalsQueryFinishedAndChangesNoStore) {
    bench.Deliver(QueryResult(NpcRecord(8)));
    bench.Deliver(QueryEnd());
    EXPECT_EQ(recorder.queryFinished, 1);
    EXPECT_EQ(recorder.markersChanged, 0);
    EXPECT_EQ(Queried().size(), 1u);
}

TEST_F(MiniMapSync, UnknownCodesChangeNothingAndLogNothing) {
    bench.Deliver(SetPlayer(PlayerRecord(1)));
    for (const std::int32_t code : {5, 255, -1}) {
        EXPECT_TRUE(
            DeliverLogged(WireMessage().Int(code).Selector(1).Player(PlayerRecord(2))).empty())
            << code;
    }
    EXPECT_EQ(Players().size(), 1u);
    EXPECT_EQ(recorder.markersChanged, 1);
    EXPECT_EQ(recorder.queryFinished, 0);
}

TEST_F(MiniMapSync, ACodeOfTheWrongSizeIsRejected) {
    const std::uint16_t shortCode = 0;
    const auto lines =
        DeliverLogged(WireMessage().Raw(&shortCode, 2).Selector(1).Player(PlayerRecord(1)));
    EXPECT_EQ(lines,
              (std::vector<std::string>{"VerifyChunk() error : class=int ChunkID==0 ChunkSize=6"}));
    EXPECT_TRUE(Players().empty());
}

TEST_F(MiniMapSync, ASetWithOnlyItsCodeStopsAtTheSelector) {
    const auto lines = DeliverLogged(WireMessage().Int(0));
    EXPECT_EQ(lines, (std::vector<std::string>{"VerifyChunk() error : class=bool Chunk==NULL"}));
    EXPECT_EQ(recorder.markersChanged, 0);
}

TEST_F(MiniMapSync, OtherMessageIdentifiersOfType32AreDropped) {
    EXPECT_TRUE(DeliverLogged(WireMessage(253).Int(0).Selector(1).Player(PlayerRecord(1))).empty());
    bench.Deliver(WireMessage(pyr::MiniMapRequestMsgId).Int(4));
    EXPECT_TRUE(Players().empty());
    EXPECT_EQ(recorder.queryFinished, 0);
}

TEST_F(MiniMapSync, ExtraChunksAreIgnored) {
    bench.Deliver(WireMessage().Int(0).Selector(1).Player(PlayerRecord(3)).Int(99).Id(4));
    EXPECT_EQ(Players().count(3), 1u);
    EXPECT_EQ(recorder.markersChanged, 1);
}

/// A subscriber of another module whose slots throw: a std::exception from MarkersChanged, an
/// int from QueryFinished.
struct ThrowingSubscriber {
    void OnMarkersChanged() { throw std::runtime_error("subscriber failed"); }
    void OnQueryFinished() { throw 42; }
};

// The change is applied and the exception logged, and it ends that emission: the slots connected
// after the thrower do not hear it. Plug-ins rely on no slot throwing.
TEST_F(MiniMapSync, ASlotThatThrowsIsLoggedAndEndsThatEmission) {
    ThrowingSubscriber thrower;
    SignalRecorder later;
    {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        minimap->MarkersChanged.Add(os::bind(&ThrowingSubscriber::OnMarkersChanged, &thrower));
        minimap->QueryFinished.Add(os::bind(&ThrowingSubscriber::OnQueryFinished, &thrower));
    }
    later.Attach(minimap);
    EXPECT_EQ(DeliverLogged(SetPlayer(PlayerRecord(1))),
              (std::vector<std::string>{"Pyr_MiniMap::OnMiniMapMsg() error : subscriber failed"}));
    EXPECT_EQ(DeliverLogged(QueryEnd()),
              (std::vector<std::string>{"Pyr_MiniMap::OnMiniMapMsg() error : unknown exception"}));
    EXPECT_EQ(Players().count(1), 1u);
    EXPECT_EQ(recorder.markersChanged, 1);
    EXPECT_EQ(later.markersChanged, 0);
    EXPECT_EQ(later.queryFinished, 0);
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    minimap->MarkersChanged.Remove(os::bind(&ThrowingSubscriber::OnMarkersChanged, &thrower));
    minimap->QueryFinished.Remove(os::bind(&ThrowingSubscriber::OnQueryFinished, &thrower));
    minimap->MarkersChanged.Remove(os::bind(&SignalRecorder::OnMarkersChanged, &later));
    minimap->QueryFinished.Remove(os::bind(&SignalRecorder::OnQueryFinished, &later));
}

}  // namespace
}  // namespace minimaptest
