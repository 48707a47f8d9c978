// minimap-client, minimap-server and the module as the programs they are, over loopback.
//
// The client runs with PLINTH_TIMER_SCALE=0.01 (a poll every 50 ms). Nothing here measures
// time: counts are taken against the simulator's Tick messages, which the client sends from a
// timer chain right behind the minimap's poll chain, and every wait is a bounded wait for
// something to happen.
#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "e2e/ChildProcess.h"
#include "e2e/Json.h"
#include "net/NetMsg.h"
#include "protocol/MiniMapProtocol.h"
#include "server/SimMessages.h"
#include "server/SimServer.h"
#include "support/Loopback.h"

namespace {

constexpr int kWaitMs = 30000;

const std::vector<std::string> kFastTimers = {"PLINTH_TIMER_SCALE=0.01"};

std::string TempPath(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return ::testing::TempDir() + "/" + info->name() + "." + name;
}

std::unique_ptr<test::ChildProcess> StartClient(const std::vector<std::string>& args,
                                                const std::string& stderrPath) {
    std::vector<std::string> argv = {MINIMAP_CLIENT};
    argv.insert(argv.end(), args.begin(), args.end());
    auto client = test::ChildProcess::Spawn(argv, kFastTimers, stderrPath);
    EXPECT_NE(client, nullptr) << "cannot start " << MINIMAP_CLIENT;
    return client;
}

/// Stops a program with `signal` and expects a clean exit; then every line it wrote must be
/// a JSON object (the client's --events jsonl promise).
void StopAndCheckOutput(test::ChildProcess& process, int signal, const std::string& stderrPath,
                        bool jsonOnly = true) {
    process.Signal(signal);
    EXPECT_EQ(process.WaitExit(kWaitMs), 0) << test::ReadTextFile(stderrPath);
    std::string line;
    while (jsonOnly && process.ReadLine(line, 0)) {
        test::json::Value value;
        EXPECT_TRUE(test::json::Parse(line, value) && value.type == test::json::Value::Type::Object)
            << "not a JSON object on standard output: " << line;
    }
}

/// One event as a short text: "MarkersChanged P 1(10.0,20.0) | N 7 Smith (1.0,2.0) k3 q-1 | Q".
std::string Describe(const test::json::Value& event) {
    std::string out = event["event"].text;
    out += " P";
    for (const auto& p : event["players"].items) {
        out += " " + p["id"].text + "(" + p["x"].text + "," + p["y"].text + ")";
    }
    const auto npcs = [&out](const test::json::Value& list) {
        for (const auto& n : list.items) {
            out += " " + n["id"].text + " " + n["name"].text + " (" + n["x"].text + "," +
                   n["y"].text + ") k" + n["kind"].text + " q" + n["quest"].text;
        }
    };
    out += " | N";
    npcs(event["npcs"]);
    out += " | Q";
    npcs(event["query"]);
    return out;
}

/// Reads event lines until one is described as `wanted`; its raw line goes to `raw`.
bool WaitForEvent(test::ChildProcess& client, const std::string& wanted, std::string* raw = nullptr,
                  std::vector<std::string>* seen = nullptr) {
    std::string line;
    while (client.ReadLine(line, kWaitMs)) {
        test::json::Value event;
        if (!test::json::Parse(line, event)) {
            ADD_FAILURE() << "not JSON: " << line;
            return false;
        }
        const std::string described = Describe(event);
        if (seen != nullptr) {
            seen->push_back(described);
        }
        if (described == wanted) {
            if (raw != nullptr) {
                *raw = line;
            }
            return true;
        }
    }
    ADD_FAILURE() << "never saw: " << wanted;
    return false;
}

/// The next event, described.
std::string NextEvent(test::ChildProcess& client, std::string* raw = nullptr) {
    std::string line;
    if (!client.ReadLine(line, kWaitMs)) {
        return "(no event)";
    }
    if (raw != nullptr) {
        *raw = line;
    }
    test::json::Value event;
    return test::json::Parse(line, event) ? Describe(event) : "(not JSON) " + line;
}

/// A simulator in this process that records every message it receives, in order.
class RecordingServer {
public:
    explicit RecordingServer(const std::string& scenario) {
        auto parsed = sim::ParseScenario(scenario);
        EXPECT_TRUE(parsed) << parsed.error.Text();
        sim::SimServerOptions options;
        options.scenario = std::move(*parsed.scenario);
        server = std::make_unique<sim::SimServer>(std::move(options));
        server->SetMessageObserver([this](std::uint64_t, const std::vector<char>& bytes) {
            std::lock_guard<std::mutex> guard(mutex);
            received.push_back(bytes);
        });
        std::string error;
        EXPECT_TRUE(server->Start(error)) << error;
    }

    std::string Address() const { return "127.0.0.1:" + std::to_string(server->GetPort()); }

    bool WaitForTicks(std::uint64_t ticks) {
        return server->WaitForStats(
            [ticks](const sim::SimServerStats& s) { return s.ticks >= ticks; }, kWaitMs * 2);
    }

    std::vector<std::vector<char>> Received() {
        std::lock_guard<std::mutex> guard(mutex);
        return received;
    }

    sim::SimServer& Get() { return *server; }

private:
    std::unique_ptr<sim::SimServer> server;
    std::mutex mutex;
    std::vector<std::vector<char>> received;
};

bool IsTick(const std::vector<char>& m) {
    return m.size() >= 4 && m[0] == proto::kSimulatorMsgType && m[1] == 0 &&
           m[2] == static_cast<char>(proto::SimulatorMsgId::Tick) && m[3] == 0;
}

bool IsRequest(const std::vector<char>& m) {
    return m.size() >= 4 && m[0] == 32 && m[1] == 0 && static_cast<unsigned char>(m[2]) == 255 &&
           m[3] == 0;
}

TEST(EndToEnd, PollRequestsArriveAsTheExactFourteenBytesOncePerIntervalWhilePollingAndNotInBattle) {
    RecordingServer server("0 player 1 appear x=1 y=2\n");
    const std::string err = TempPath("client.err");
    auto client = StartClient(
        {"--server", server.Address(), "--events", "jsonl", "--poll", "on", "--battle", "off"},
        err);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(server.WaitForTicks(12)) << test::ReadTextFile(err);

    const std::vector<char> poll = sim::EncodePoll();
    std::string order;  // P for a poll, T for a tick
    for (const auto& m : server.Received()) {
        if (IsTick(m)) {
            order += 'T';
        } else if (IsRequest(m)) {
            EXPECT_EQ(m, poll) << "a request other than the 14-byte poll";
            order += 'P';
        }
    }
    const std::size_t first = order.find('T');
    const std::size_t last = order.rfind('T');
    ASSERT_NE(first, last);
    // Between two ticks, one interval: exactly one poll.
    const std::string between = order.substr(first, last - first + 1);
    std::string expected = "T";
    while (expected.size() < between.size()) {
        expected += "PT";
    }
    EXPECT_EQ(between, expected);
    StopAndCheckOutput(*client, SIGTERM, err);
}

TEST(EndToEnd, NoPollRequestWhilePollingIsOffOrTheRoleIsInBattle) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--poll", "off"}, {"--battle", "on"}}) {
        RecordingServer server("0 player 1 appear x=1 y=2\n");
        const std::string err = TempPath("client." + args[0].substr(2) + ".err");
        std::vector<std::string> all = {"--server", server.Address(), "--events", "jsonl"};
        all.insert(all.end(), args.begin(), args.end());
        auto client = StartClient(all, err);
        ASSERT_NE(client, nullptr);
        ASSERT_TRUE(server.WaitForTicks(8)) << test::ReadTextFile(err);
        EXPECT_EQ(server.Get().GetStats().polls, 0u) << args[0] << " " << args[1];
        for (const auto& m : server.Received()) {
            EXPECT_FALSE(IsRequest(m)) << "a request with " << args[0] << " " << args[1];
        }
        StopAndCheckOutput(*client, SIGTERM, err);
    }
}

/// minimap-server as a process of its own: its first line tells the port.
std::unique_ptr<test::ChildProcess> StartServerProcess(const std::vector<std::string>& args,
                                                       const std::string& stderrPath,
                                                       std::string& address) {
    std::vector<std::string> argv = {MINIMAP_SERVER, "--port", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto server = test::ChildProcess::Spawn(argv, kFastTimers, stderrPath);
    if (server == nullptr) {
        ADD_FAILURE() << "cannot start " << MINIMAP_SERVER;
        return nullptr;
    }
    std::string line;
    std::smatch match;
    if (!server->ReadLine(line, kWaitMs) ||
        !std::regex_search(line, match, std::regex("listening on (127\\.0\\.0\\.1:[0-9]+)"))) {
        ADD_FAILURE() << "the server did not say where it listens: " << line
                      << test::ReadTextFile(stderrPath);
        return nullptr;
    }
    address = match[1];
    return server;
}

TEST(EndToEnd, SetRemoveClearAndRoleResetReachTheUserInterfaceInOrder) {
    const std::string serverErr = TempPath("server.err");
    std::string address;
    auto server = StartServerProcess({"--clock", "poll", "--scenario", E2E_DATA_DIR "/steps.scn"},
                                     serverErr, address);
    ASSERT_NE(server, nullptr);
    const std::string err = TempPath("client.err");
    auto client = StartClient({"--server", address, "--events", "jsonl", "--poll", "on"}, err);
    ASSERT_NE(client, nullptr);

    const std::string npcs =
        " | N 7 Smith (1.0,2.0) k3 q-1 18446744073709551615 Elder (5.0,6.0) k2 q42 | Q";
    std::string raw;
    // Time 0, set marker by marker: the last Set shows everything.
    ASSERT_TRUE(WaitForEvent(*client, "MarkersChanged P 1(10.0,20.0)" + npcs, &raw));
    EXPECT_EQ(raw,
              "{\"event\":\"MarkersChanged\",\"players\":[{\"id\":1,\"x\":10.0,\"y\":20.0}],"
              "\"npcs\":[{\"id\":7,\"name\":\"Smith\",\"x\":1.0,\"y\":2.0,\"kind\":3,\"quest\":-1},"
              "{\"id\":18446744073709551615,\"name\":\"Elder\",\"x\":5.0,\"y\":6.0,\"kind\":2,"
              "\"quest\":42}],\"query\":[]}");
    // Time 1: a move and a new player (two Sets).
    ASSERT_TRUE(WaitForEvent(*client, "MarkersChanged P 1(11.0,21.0) 2(5.0,5.0)" + npcs));
    // Time 2: one Remove.
    EXPECT_EQ(NextEvent(*client), "MarkersChanged P 2(5.0,5.0)" + npcs);
    // Time 3: a clear empties both stores at once, in one operation.
    EXPECT_EQ(NextEvent(*client), "MarkersChanged P | N | Q");
    // Time 4: new markers.
    ASSERT_TRUE(
        WaitForEvent(*client, "MarkersChanged P 3(-7.5,0.25) | N 8 Guard (50.0,50.0) k0 q-1 | Q"));
    // Time 5: the role changes: the stores are emptied, and the next poll sets them again.
    EXPECT_EQ(NextEvent(*client, &raw), "RoleReset P | N | Q");
    EXPECT_EQ(raw, "{\"event\":\"RoleReset\",\"players\":[],\"npcs\":[],\"query\":[]}");
    ASSERT_TRUE(
        WaitForEvent(*client, "MarkersChanged P 3(-7.5,0.25) | N 8 Guard (50.0,50.0) k0 q-1 | Q"));

    StopAndCheckOutput(*client, SIGTERM, err);
    StopAndCheckOutput(*server, SIGTERM, serverErr, false);
}

TEST(EndToEnd, QueryIsAnsweredAndFinished) {
    const std::string serverErr = TempPath("server.err");
    std::string address;
    auto server = StartServerProcess({"--scenario", E2E_DATA_DIR "/query.scn"}, serverErr, address);
    ASSERT_NE(server, nullptr);
    const std::string err = TempPath("client.err");
    auto client = StartClient(
        {"--server", address, "--events", "jsonl", "--poll", "off", "--query", "2"}, err);
    ASSERT_NE(client, nullptr);

    std::string raw;
    ASSERT_TRUE(WaitForEvent(*client,
                             "QueryFinished P | N | Q 5 Herbalist (75.0,25.0) k2 q7 100 Elder "
                             "(5.0,6.0) k2 q42",
                             &raw));
    EXPECT_EQ(raw,
              "{\"event\":\"QueryFinished\",\"players\":[],\"npcs\":[],\"query\":["
              "{\"id\":5,\"name\":\"Herbalist\",\"x\":75.0,\"y\":25.0,\"kind\":2,\"quest\":7},"
              "{\"id\":100,\"name\":\"Elder\",\"x\":5.0,\"y\":6.0,\"kind\":2,\"quest\":42}]}");
    StopAndCheckOutput(*client, SIGTERM, err);
    StopAndCheckOutput(*server, SIGTERM, serverErr, false);
}

std::vector<unsigned char> Bytes(std::initializer_list<int> values) {
    std::vector<unsigned char> out;
    for (const int v : values) {
        out.push_back(static_cast<unsigned char>(v));
    }
    return out;
}

TEST(EndToEnd, HostileServerIsLoggedDisconnectedAndSurvived) {
    test::Listener listener;
    ASSERT_NE(listener.Port(), 0);
    const std::string err = TempPath("client.err");
    auto client = StartClient({"--server", "127.0.0.1:" + std::to_string(listener.Port()),
                               "--events", "jsonl", "--poll", "on"},
                              err);
    ASSERT_NE(client, nullptr);

    std::vector<unsigned char> manyChunks = Bytes({0x20, 0x00, 0xFE, 0x00});
    const int length = 6 + 300 * 4;
    manyChunks.push_back(static_cast<unsigned char>(length & 0xFF));
    manyChunks.push_back(static_cast<unsigned char>(length >> 8));
    for (int i = 0; i < 300; ++i) {
        const auto chunk = Bytes({i & 0xFF, i >> 8, 0x04, 0x00});
        manyChunks.insert(manyChunks.end(), chunk.begin(), chunk.end());
    }
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
    };
    const Case closedByTheClient[] = {
        {"length field 3", Bytes({0x20, 0x00, 0xFE, 0x00, 0x03, 0x00})},
        {"length field 65000", Bytes({0x20, 0x00, 0xFE, 0x00, 0xE8, 0xFD, 0x00, 0x00})},
        {"a chunk running past the end", Bytes({0x20, 0x00, 0xFE, 0x00, 0x0E, 0x00, 0x00, 0x00,
                                                0x0C, 0x00, 0x02, 0x00, 0x00, 0x00})},
        {"300 chunks", manyChunks},
    };
    for (const Case& c : closedByTheClient) {
        test::Socket connection = listener.Accept(kWaitMs);
        ASSERT_TRUE(connection.IsOpen()) << "no (re)connection before " << c.what;
        ASSERT_TRUE(connection.Send(c.bytes)) << c.what;
        EXPECT_TRUE(connection.WaitClosed(kWaitMs))
            << "the client kept the connection after " << c.what;
    }
    {
        // A Clear cut after 10 of its 14 bytes.
        test::Socket connection = listener.Accept(kWaitMs);
        ASSERT_TRUE(connection.IsOpen());
        ASSERT_TRUE(
            connection.Send(Bytes({0x20, 0x00, 0xFE, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x08, 0x00})));
    }
    // Still alive: the next connection is served as usual.
    test::Socket healthy = listener.Accept(kWaitMs);
    ASSERT_TRUE(healthy.IsOpen()) << "the client did not come back";
    sim::SyncItem set;
    set.op = proto::SyncOp::Set;
    set.player = true;
    set.playerRecord = proto::MakePlayer(42, 1.5f, 2.0f);
    ASSERT_TRUE(healthy.Send(sim::EncodeSync(set)));
    EXPECT_TRUE(WaitForEvent(*client, "MarkersChanged P 42(1.5,2.0) | N | Q"));

    StopAndCheckOutput(*client, SIGTERM, err);
    const std::string log = test::ReadTextFile(err);
    for (const char* reason : {"length field below the 6-byte header: length 3",
                               "length field above the limit of 64512 bytes: length 65000",
                               "chunkSize 12 runs past the message end", "more than 256 chunks",
                               "connection cut in the middle of a message (10 of 14 bytes)"}) {
        EXPECT_NE(log.find(reason), std::string::npos) << "no log line with: " << reason << "\n"
                                                       << log;
    }
}

TEST(EndToEnd, EmbeddedSimulatorServesTheDefaultScenarioAndTheClientStopsCleanly) {
    // Ctrl-C: the first markers, then SIGINT, then a clean exit.
    {
        const std::string err = TempPath("interrupted.err");
        auto client = StartClient({"--events", "jsonl"}, err);
        ASSERT_NE(client, nullptr);
        std::string line;
        ASSERT_TRUE(client->ReadLine(line, kWaitMs)) << test::ReadTextFile(err);
        test::json::Value event;
        ASSERT_TRUE(test::json::Parse(line, event)) << line;
        EXPECT_EQ(event["event"].text, "MarkersChanged");
        StopAndCheckOutput(*client, SIGINT, err);
    }
    // --duration-ms: runs, then shuts down by itself with exit code 0.
    {
        const std::string err = TempPath("timed.err");
        auto client = StartClient({"--events", "jsonl", "--duration-ms", "500"}, err);
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(client->WaitExit(kWaitMs * 2), 0) << test::ReadTextFile(err);
        std::string line;
        while (client->ReadLine(line, 0)) {
            test::json::Value value;
            EXPECT_TRUE(test::json::Parse(line, value)) << line;
        }
    }
}

}  // namespace
