#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "net/NetMsg.h"
#include "protocol/MiniMapProtocol.h"
#include "server/SimMessages.h"
#include "server/SimServer.h"
#include "support/Loopback.h"

namespace {

/// A query argument no NPC has: its answer is a lone QueryEnd, which marks the end of
/// whatever the server sent before it.
constexpr std::int32_t kNoSuchKind = 999;

struct Received {
    std::uint16_t type = 0;
    std::uint16_t id = 0;
    std::int32_t op = -100;  ///< chunk 0 as an integer, when it is 4 bytes
    std::vector<char> bytes;
};

Received Decode(const std::vector<char>& bytes) {
    Received r;
    r.bytes = bytes;
    ReceivedNetMsg parsed;
    EXPECT_TRUE(ParseNetMsg(bytes.data(), bytes.size(), parsed));
    if (const NetMsg* msg = parsed.Get()) {
        r.type = msg->GetMsgType();
        r.id = msg->GetMsgID();
        const Chunk* c = msg->GetChunk(0);
        if (c != nullptr && c->GetChunkSize() == 8) {
            std::memcpy(&r.op, c->GetData(), 4);
        }
    }
    return r;
}

class SimServerTest : public ::testing::Test {
protected:
    void StartServer(const std::string& scenarioText, std::size_t maxPending = 1u << 20) {
        auto parsed = sim::ParseScenario(scenarioText);
        ASSERT_TRUE(parsed) << parsed.error.Text();
        sim::SimServerOptions options;
        options.scenario = std::move(*parsed.scenario);
        options.clock = sim::SimServerOptions::Clock::Poll;
        options.maxPendingBytes = maxPending;
        server = std::make_unique<sim::SimServer>(std::move(options));
        server->SetMessageObserver(
            [this](std::uint64_t connection, const std::vector<char>& bytes) {
                std::lock_guard<std::mutex> guard(mutex);
                observed.emplace_back(connection, bytes);
            });
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }

    test::Socket Connect() {
        test::Socket socket = test::ConnectLoopback(server->GetPort());
        EXPECT_TRUE(socket.IsOpen());
        std::vector<char> hello;
        EXPECT_TRUE(socket.ReadMessage(hello));
        const Received r = Decode(hello);
        EXPECT_EQ(r.type, proto::kSimulatorMsgType);
        EXPECT_EQ(r.id, static_cast<int>(proto::SimulatorMsgId::Hello));
        return socket;
    }

    /// Sends `request`, then a query no NPC answers, and returns every message received up to
    /// (not including) that query's end. A query as `request` has its own end among them.
    static std::vector<Received> Ask(test::Socket& socket, const std::vector<char>& request) {
        EXPECT_TRUE(socket.Send(request));
        EXPECT_TRUE(socket.Send(sim::EncodeQuery(kNoSuchKind)));
        const sim::Request asked = [&] {
            ReceivedNetMsg parsed;
            EXPECT_TRUE(ParseNetMsg(request.data(), request.size(), parsed));
            return sim::DecodeRequest(*parsed.Get());
        }();
        int endsToGo = asked.kind == sim::Request::Kind::Query ? 2 : 1;
        std::vector<Received> out;
        while (true) {
            std::vector<char> bytes;
            if (!socket.ReadMessage(bytes)) {
                ADD_FAILURE() << "no QueryEnd";
                return out;
            }
            Received r = Decode(bytes);
            if (r.type == 32 && r.op == static_cast<int>(proto::SyncOp::QueryEnd) &&
                --endsToGo == 0) {
                return out;
            }
            out.push_back(std::move(r));
        }
    }

    static std::vector<std::int32_t> Ops(const std::vector<Received>& messages) {
        std::vector<std::int32_t> ops;
        for (const Received& r : messages) {
            ops.push_back(r.op);
        }
        return ops;
    }

    std::unique_ptr<sim::SimServer> server;
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, std::vector<char>>> observed;
};

constexpr std::int32_t kSet = 0, kRemove = 1, kClear = 2, kResult = 3, kEnd = 4;

TEST_F(SimServerTest, EachPollMovesTheWorldOneStepAndAnswersWithTheChanges) {
    StartServer(
        "0 player 1 appear x=1 y=2\n"
        "0 player 2 appear x=5 y=5\n"
        "1 player 1 move x=3 y=4\n"
        "2 player 2 leave\n"
        "3 clear\n"
        "3 npc 7 appear name=\"Smith\" x=1 y=1 kind=3\n");
    test::Socket client = Connect();
    EXPECT_EQ(Ops(Ask(client, sim::EncodePoll())), (std::vector<std::int32_t>{kSet, kSet}));

    const auto moved = Ask(client, sim::EncodePoll());
    ASSERT_EQ(Ops(moved), (std::vector<std::int32_t>{kSet}));
    ReceivedNetMsg parsed;
    ASSERT_TRUE(ParseNetMsg(moved[0].bytes.data(), moved[0].bytes.size(), parsed));
    const _MiniMapPlayerInfo* record = nullptr;
    ASSERT_TRUE(VerifyChunk(&record, parsed.Get()->GetChunk(2)));
    const _MiniMapPlayerInfo player = ReadChunkValue(record);
    EXPECT_EQ(proto::GetId(player), 1u);
    EXPECT_EQ(proto::GetX(player), 3.0f);
    EXPECT_EQ(proto::GetY(player), 4.0f);

    EXPECT_EQ(Ops(Ask(client, sim::EncodePoll())), (std::vector<std::int32_t>{kRemove}));
    EXPECT_EQ(Ops(Ask(client, sim::EncodePoll())), (std::vector<std::int32_t>{kClear, kSet}));
    EXPECT_TRUE(Ask(client, sim::EncodePoll()).empty()) << "the scenario is over";
    EXPECT_EQ(server->GetStats().polls, 5u);
}

TEST_F(SimServerTest, AnswersAQueryWithOneResultPerMatchingNpcThenQueryEnd) {
    StartServer(
        "0 npc 7 appear name=\"Smith\" x=1 y=1 kind=3\n"
        "0 npc 8 appear name=\"Elder\" x=2 y=2 kind=1 quest=42\n"
        "0 npc 9 appear name=\"Gao\" x=3 y=3 kind=3\n");
    test::Socket client = Connect();
    Ask(client, sim::EncodePoll());
    auto answer = Ask(client, sim::EncodeQuery(3));
    ASSERT_EQ(Ops(answer), (std::vector<std::int32_t>{kResult, kResult, kEnd}));
    answer.pop_back();
    std::vector<std::string> names;
    for (const Received& r : answer) {
        ReceivedNetMsg parsed;
        ASSERT_TRUE(ParseNetMsg(r.bytes.data(), r.bytes.size(), parsed));
        const _MiniMapNpcInfo* npc = nullptr;
        ASSERT_TRUE(VerifyChunk(&npc, parsed.Get()->GetChunk(1)));
        names.push_back(proto::GetName(ReadChunkValue(npc)));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Smith", "Gao"}));
    EXPECT_EQ(Ops(Ask(client, sim::EncodeQuery(-1))),
              (std::vector<std::int32_t>{kResult, kResult, kResult, kEnd}));
}

TEST_F(SimServerTest, MalformedMessageClosesThatConnectionAndTheServerServesOthers) {
    StartServer("0 player 1 appear x=1 y=2\n");
    test::Socket bad = Connect();
    test::Socket good = Connect();
    const unsigned char lengthThree[] = {0x20, 0x00, 0xFF, 0x00, 0x03, 0x00};
    ASSERT_TRUE(bad.Send(lengthThree, sizeof lengthThree));
    EXPECT_TRUE(bad.WaitClosed());

    test::Socket pastEnd = Connect();
    // One chunk claiming 12 bytes in a 14-byte message: it runs 4 bytes past the end.
    const unsigned char chunkPastEnd[] = {0x20, 0x00, 0xFF, 0x00, 0x0E, 0x00, 0x00,
                                          0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00};
    ASSERT_TRUE(pastEnd.Send(chunkPastEnd, sizeof chunkPastEnd));
    EXPECT_TRUE(pastEnd.WaitClosed());

    EXPECT_EQ(Ops(Ask(good, sim::EncodePoll())), (std::vector<std::int32_t>{kSet}));
    EXPECT_EQ(server->GetStats().malformed, 2u);
    EXPECT_EQ(server->GetStats().open, 1u);
}

TEST_F(SimServerTest, RoleResetTellsEveryClientAndTheNextPollSetsEverythingAgain) {
    StartServer(
        "0 player 1 appear x=1 y=2\n"
        "0 npc 7 appear name=\"Smith\" x=1 y=1\n"
        "1 role-reset\n");
    test::Socket first = Connect();
    test::Socket second = Connect();
    // The second client's poll is answered, then plays the role reset, which reaches both.
    const auto answer = Ask(second, sim::EncodePoll());
    ASSERT_EQ(answer.size(), 3u);
    EXPECT_EQ(Ops({answer.begin(), answer.begin() + 2}), (std::vector<std::int32_t>{kSet, kSet}));
    EXPECT_EQ(answer[2].type, proto::kSimulatorMsgType);
    EXPECT_EQ(answer[2].id, static_cast<int>(proto::SimulatorMsgId::RoleReset));

    const auto firstAnswer = Ask(first, sim::EncodePoll());
    ASSERT_EQ(firstAnswer.size(), 3u);
    EXPECT_EQ(firstAnswer[0].id, static_cast<int>(proto::SimulatorMsgId::RoleReset));
    EXPECT_EQ(Ops({firstAnswer.begin() + 1, firstAnswer.end()}),
              (std::vector<std::int32_t>{kSet, kSet}));

    EXPECT_EQ(Ops(Ask(second, sim::EncodePoll())), (std::vector<std::int32_t>{kSet, kSet}))
        << "a reset client holds nothing, so it is sent every marker again";
}

TEST_F(SimServerTest, ObserverSeesEveryWellFormedMessageAsReceived) {
    StartServer("");
    test::Socket client = Connect();
    Ask(client, sim::EncodeTick(1));
    std::lock_guard<std::mutex> guard(mutex);
    ASSERT_EQ(observed.size(), 2u);
    EXPECT_EQ(observed[0].second, sim::EncodeTick(1));
    EXPECT_EQ(observed[1].second, sim::EncodeQuery(kNoSuchKind));
    EXPECT_EQ(observed[0].first, observed[1].first);
    EXPECT_EQ(server->GetStats().ticks, 1u);
}

TEST_F(SimServerTest, ClientThatNeverReadsIsDisconnectedInsteadOfHoardingMemory) {
    std::string scenario;
    for (int i = 0; i < 60; ++i) {
        scenario += "0 npc " + std::to_string(100 + i) + " appear name=\"Trader\" x=1 y=1\n";
    }
    StartServer(scenario, 64 * 1024);
    test::Socket client = test::ConnectLoopback(server->GetPort(), 4096);
    ASSERT_TRUE(client.IsOpen());
    // Each answer is about 5 KB; a few thousand of them overflow any socket buffer.
    std::vector<char> many;
    const auto query = sim::EncodeQuery(-1);
    for (int i = 0; i < 3000; ++i) {
        many.insert(many.end(), query.begin(), query.end());
    }
    client.Send(many);
    // The client reads nothing, so the connection's end is seen at the server.
    EXPECT_TRUE(server->WaitForStats(
        [](const sim::SimServerStats& s) { return s.connections == 1 && s.open == 0; },
        test::kWaitMs));
}

TEST(HostPort, ParsesHostAndPortAndRefusesTheRest) {
    std::string host;
    std::uint16_t port = 0;
    EXPECT_TRUE(sim::ParseHostPort("127.0.0.1:7450", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 7450);
    EXPECT_TRUE(sim::ParseHostPort("localhost:1", host, port));
    EXPECT_EQ(host, "localhost");
    for (const char* bad : {"", "7450", ":7450", "host:", "host:0", "host:65536", "host:12x"}) {
        EXPECT_FALSE(sim::ParseHostPort(bad, host, port)) << bad;
    }
}

}  // namespace
