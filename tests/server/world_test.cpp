#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/NetMsg.h"
#include "protocol/MiniMapProtocol.h"
#include "server/Scenario.h"
#include "server/SimMessages.h"
#include "server/World.h"

namespace {

using proto::MiniMapSyncOp;
using sim::ClientView;
using sim::SyncItem;
using sim::World;

/// A scenario text played into a world step by step.
class Script {
public:
    explicit Script(const std::string& text) {
        auto parsed = sim::ParseScenario(text);
        EXPECT_TRUE(parsed) << parsed.error.Text();
        if (parsed) {
            scenario = std::move(*parsed.scenario);
        }
    }
    /// Applies the events up to and including `untilMs`.
    void PlayUntil(World& world, std::int64_t untilMs) {
        while (next < scenario.events.size() && scenario.events[next].timeMs <= untilMs) {
            world.Apply(scenario.events[next++]);
        }
    }

private:
    sim::Scenario scenario;
    std::size_t next = 0;
};

/// "Set p1", "Set n7", "Remove p1", "Clear": a poll answer in a form that reads in a failure.
std::vector<std::string> Describe(const std::vector<SyncItem>& items) {
    std::vector<std::string> out;
    for (const SyncItem& item : items) {
        const std::string target =
            (item.player ? "p" : "n") +
            std::to_string(
                item.op == MiniMapSyncOp::Set
                    ? (item.player ? proto::GetId(item.playerRecord) : proto::GetId(item.npcRecord))
                    : item.id);
        switch (item.op) {
            case MiniMapSyncOp::Set:
                out.push_back("Set " + target);
                break;
            case MiniMapSyncOp::Remove:
                out.push_back("Remove " + target);
                break;
            case MiniMapSyncOp::Clear:
                out.push_back("Clear");
                break;
            default:
                out.push_back("?");
        }
    }
    return out;
}

using Ops = std::vector<std::string>;

const char* const kStart =
    "0 player 2 appear x=1 y=1\n"
    "0 player 1 appear x=2 y=2\n"
    "0 npc 9 appear name=\"Smith\" x=3 y=4 kind=3\n"
    "0 npc 7 appear name=\"Elder\" x=5 y=6 kind=1 quest=42\n";

/// A world played from the start plus `events` up to time 0, and a client that polled it then.
class CaughtUpClient {
public:
    explicit CaughtUpClient(const std::string& events)
        : script(PlayedToZero(world, events)), view(world) {
        view.Poll(world);
    }

    /// Plays the events up to and including `untilMs`; what the client's next poll sends.
    std::vector<SyncItem> PollAt(std::int64_t untilMs) {
        script.PlayUntil(world, untilMs);
        return view.Poll(world);
    }

    World world;
    Script script;
    ClientView view;

private:
    static Script PlayedToZero(World& world, const std::string& events) {
        Script played(std::string(kStart) + events);
        played.PlayUntil(world, 0);
        return played;
    }
};

// A new connection's client may hold what an earlier connection set: its first answer clears.
TEST(ClientView, FirstPollClearsThenSetsEveryMarkerPlayersFirstInAscendingId) {
    World world;
    Script(kStart).PlayUntil(world, 0);
    ClientView view(world);
    EXPECT_EQ(Describe(view.Poll(world)), (Ops{"Clear", "Set p1", "Set p2", "Set n7", "Set n9"}));
    EXPECT_TRUE(view.Poll(world).empty()) << "an up-to-date client is sent nothing";
}

TEST(ClientView, SendsOnlyWhatChangedSinceThatClientsLastPoll) {
    CaughtUpClient client(
        "1 player 1 move x=9 y=9\n"
        "1 npc 9 update quest=5\n"
        "2 player 2 leave\n"
        "2 npc 7 leave\n"
        "2 player 3 appear x=0 y=0\n");
    const auto items = client.PollAt(2);
    EXPECT_EQ(Describe(items), (Ops{"Remove p2", "Remove n7", "Set p1", "Set p3", "Set n9"}));
    EXPECT_TRUE(items[0].player);
    EXPECT_FALSE(items[1].player);
    EXPECT_EQ(proto::GetX(items[2].playerRecord), 9.0f);
    EXPECT_EQ(proto::GetQuest(items[4].npcRecord), 5);
}

TEST(ClientView, ClearEventSendsOneClearThenWhatExistsAfterIt) {
    CaughtUpClient client("1 clear\n1 player 5 appear x=1 y=1\n");
    EXPECT_EQ(Describe(client.PollAt(1)), (Ops{"Clear", "Set p5"}));
}

TEST(ClientView, WorldEmptiedByLeavesIsOneClearRatherThanARemoveEach) {
    CaughtUpClient client(
        "1 player 1 leave\n1 player 2 leave\n1 npc 7 leave\n1 npc 9 leave\n"
        "1 player 8 appear x=1 y=1\n1 player 8 leave\n");
    EXPECT_EQ(Describe(client.PollAt(1)), (Ops{"Clear"}));
    EXPECT_TRUE(client.PollAt(1).empty());
}

TEST(ClientView, ClientKnownToHoldNothingIsNeverSentClear) {
    World world;
    Script script(std::string(kStart) + "1 clear\n2 player 4 appear x=1 y=1\n");
    script.PlayUntil(world, 0);
    ClientView view(world);
    script.PlayUntil(world, 1);
    EXPECT_EQ(Describe(view.Poll(world)), (Ops{"Clear"})) << "the first answer, to an empty world";
    EXPECT_TRUE(view.Poll(world).empty());
    script.PlayUntil(world, 2);
    EXPECT_EQ(Describe(view.Poll(world)), (Ops{"Set p4"}));
}

TEST(ClientView, ForgetAfterARoleResetSetsEveryMarkerAgainWithoutClear) {
    CaughtUpClient client("1 role-reset\n");
    client.script.PlayUntil(client.world, 1);
    EXPECT_EQ(client.world.GetRoleResets(), 1u);
    client.view.Forget();
    EXPECT_EQ(Describe(client.view.Poll(client.world)),
              (Ops{"Set p1", "Set p2", "Set n7", "Set n9"}));
}

TEST(ClientView, TwoClientsKeepTheirOwnViews) {
    World world;
    Script script(std::string(kStart) + "1 player 1 move x=0 y=0\n");
    script.PlayUntil(world, 0);
    ClientView early(world);
    ClientView late(world);
    early.Poll(world);
    script.PlayUntil(world, 1);
    EXPECT_EQ(Describe(early.Poll(world)), (Ops{"Set p1"}));
    EXPECT_EQ(Describe(late.Poll(world)), (Ops{"Clear", "Set p1", "Set p2", "Set n7", "Set n9"}));
}

TEST(World, QueryAnswersNpcsOfOneKindOrAllForMinusOne) {
    World world;
    Script(std::string(kStart) + "0 npc 11 appear name=\"Gao\" x=0 y=0 kind=3\n")
        .PlayUntil(world, 0);
    std::vector<std::uint64_t> ids;
    for (const auto& r : world.Query(3)) {
        ids.push_back(proto::GetId(r));
    }
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{9, 11}));
    EXPECT_EQ(world.Query(-1).size(), 3u);
    EXPECT_TRUE(world.Query(77).empty());
}

TEST(Protocol, RecordsCarryTheFieldsAtTheirOffsetsLittleEndian) {
    const _MiniMapPlayerInfo p = proto::MakePlayer(0x0102030405060708ull, 10.0f, -2.5f);
    unsigned char bytes[16];
    std::memcpy(bytes, &p, 16);
    EXPECT_EQ(bytes[0], 0x08);
    EXPECT_EQ(bytes[7], 0x01);
    float x = 0;
    std::memcpy(&x, bytes + 8, 4);
    EXPECT_EQ(x, 10.0f);
    EXPECT_EQ(proto::GetY(p), -2.5f);

    const _MiniMapNpcInfo n = proto::MakeNpc(7, "Smith", 1.0f, 2.0f, 3, -1);
    unsigned char nb[80];
    std::memcpy(nb, &n, 80);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(nb + 8)), "Smith");
    for (int i = 8 + 5; i < 60; ++i) {
        EXPECT_EQ(nb[i], 0) << "name padding at " << i;
    }
    EXPECT_EQ(nb[68], 3);
    EXPECT_EQ(nb[72], 0xFF);
    EXPECT_EQ(nb[75], 0xFF);
    for (int i = 76; i < 80; ++i) {
        EXPECT_EQ(nb[i], 0) << "reserved byte " << i;
    }
    EXPECT_EQ(proto::GetName(n), "Smith");
    EXPECT_EQ(proto::GetKind(n), 3);
    EXPECT_EQ(proto::GetQuest(n), -1);
}

TEST(Protocol, NameOfFiftyTwoBytesWithoutNulIsReadWhole) {
    const std::string full(52, 'n');
    EXPECT_EQ(proto::GetName(proto::MakeNpc(1, full + "cut", 0, 0, 0, 0)), full);
}

std::vector<unsigned char> Unsigned(const std::vector<char>& bytes) {
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

TEST(SimMessages, RequestsAreTheExactFourteenAndTwentyTwoBytes) {
    EXPECT_EQ(Unsigned(sim::EncodePoll()),
              (std::vector<unsigned char>{0x20, 0x00, 0xFF, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x08,
                                          0x00, 0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Unsigned(sim::EncodeQuery(-1)),
              (std::vector<unsigned char>{0x20, 0x00, 0xFF, 0x00, 0x16, 0x00, 0x00, 0x00,
                                          0x08, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00,
                                          0x08, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(SimMessages, SetOfAPlayerAndTheExtensionsAreTheDocumentedBytes) {
    SyncItem set;
    set.op = MiniMapSyncOp::Set;
    set.player = true;
    set.playerRecord = proto::MakePlayer(1, 10.0f, 20.0f);
    EXPECT_EQ(Unsigned(sim::EncodeSync(set)),
              (std::vector<unsigned char>{
                  0x20, 0x00, 0xFE, 0x00, 0x27, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00,
                  0x00, 0x01, 0x00, 0x05, 0x00, 0x01, 0x02, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00,
                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0xA0, 0x41}));
    EXPECT_EQ(Unsigned(sim::EncodeHello()),
              (std::vector<unsigned char>{0x21, 0x00, 0x01, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x08,
                                          0x00, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Unsigned(sim::EncodeRoleReset()),
              (std::vector<unsigned char>{0x21, 0x00, 0x02, 0x00, 0x06, 0x00}));
    EXPECT_EQ(Unsigned(sim::EncodeTick(1)),
              (std::vector<unsigned char>{0x21, 0x00, 0x03, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x08,
                                          0x00, 0x01, 0x00, 0x00, 0x00}));
}

TEST(SimMessages, SyncMessagesParseWithTheChunkSizesTheMinimapReads) {
    SyncItem set;
    set.op = MiniMapSyncOp::Set;
    set.player = false;
    set.npcRecord = proto::MakeNpc(7, "Smith", 1, 2, 3, -1);
    SyncItem remove;
    remove.op = MiniMapSyncOp::Remove;
    remove.player = true;
    remove.id = 0x1122334455667788ull;
    SyncItem clear;
    clear.op = MiniMapSyncOp::Clear;

    struct Expect {
        std::vector<char> bytes;
        std::vector<int> chunkSizes;
    };
    const Expect expectations[] = {
        {sim::EncodeSync(set), {8, 5, 84}}, {sim::EncodeSync(remove), {8, 5, 12}},
        {sim::EncodeSync(clear), {8}},      {sim::EncodeQueryResult(set.npcRecord), {8, 84}},
        {sim::EncodeQueryEnd(), {8}},
    };
    for (const Expect& e : expectations) {
        ReceivedNetMsg received;
        ASSERT_TRUE(ParseNetMsg(e.bytes.data(), e.bytes.size(), received));
        const NetMsg& msg = *received.Get();
        EXPECT_EQ(msg.GetMsgType(), 32);
        EXPECT_EQ(msg.GetMsgID(), 254);
        ASSERT_EQ(msg.GetChunkCount(), static_cast<int>(e.chunkSizes.size()));
        for (int i = 0; i < msg.GetChunkCount(); ++i) {
            EXPECT_EQ(msg.GetChunk(i)->GetChunkSize(), e.chunkSizes[i]);
        }
    }
    ReceivedNetMsg received;
    const auto bytes = sim::EncodeSync(remove);
    ASSERT_TRUE(ParseNetMsg(bytes.data(), bytes.size(), received));
    const std::uint64_t* id = nullptr;
    ASSERT_TRUE(VerifyChunk(&id, received.Get()->GetChunk(2)));
    EXPECT_EQ(ReadChunkValue(id), 0x1122334455667788ull);
}

TEST(SimMessages, DecodesPollQueryAndTickAndNamesWhatIsWrongOtherwise) {
    const auto decode = [](const std::vector<char>& bytes) {
        ReceivedNetMsg received;
        EXPECT_TRUE(ParseNetMsg(bytes.data(), bytes.size(), received));
        return sim::DecodeRequest(*received.Get());
    };
    EXPECT_EQ(decode(sim::EncodePoll()).kind, sim::Request::Kind::Poll);
    const sim::Request query = decode(sim::EncodeQuery(42));
    EXPECT_EQ(query.kind, sim::Request::Kind::Query);
    EXPECT_EQ(query.queryArg, 42);
    const sim::Request tick = decode(sim::EncodeTick(9));
    EXPECT_EQ(tick.kind, sim::Request::Kind::Tick);
    EXPECT_EQ(tick.tickSerial, 9u);
    EXPECT_EQ(decode(sim::EncodeHello()).kind, sim::Request::Kind::Other);

    NetMsg unknown(32, 255);
    const int code = 9;
    unknown.AddChunk(&code, 4, 0);
    const sim::Request bad =
        decode(std::vector<char>(unknown.GetBytes(), unknown.GetBytes() + unknown.GetLength()));
    EXPECT_EQ(bad.kind, sim::Request::Kind::Bad);
    EXPECT_EQ(bad.error, "unknown request code 9");

    NetMsg queryWithoutArg(32, 255);
    const int three = 3;
    queryWithoutArg.AddChunk(&three, 4, 0);
    EXPECT_EQ(decode(std::vector<char>(queryWithoutArg.GetBytes(),
                                       queryWithoutArg.GetBytes() + queryWithoutArg.GetLength()))
                  .kind,
              sim::Request::Kind::Bad);
}

}  // namespace
