// minimap-client, minimap-server and the module as the programs they are, over loopback.
//
// The client runs with PLINTH_TIMER_SCALE=0.01 (a poll every 50 ms). Nothing here measures
// time: counts are taken against the simulator's Tick messages, which the client sends from a
// timer chain right behind the minimap's poll chain, and every wait is a bounded wait for
// something to happen.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "capture/CaptureWriter.h"
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
    std::string test = info->name();
    std::replace(test.begin(), test.end(), '/', '.');  // a parameterised test's "Name/0"
    return ::testing::TempDir() + "/" + test + "." + name;
}

/// minimap-client with --events jsonl, and a consumer of its lines that knows nothing else:
/// it rebuilds the three stores from the changes, keeps every line for the schema check, and
/// describes the stores after each event.
struct Client {
    std::unique_ptr<test::ChildProcess> process;
    std::string stderrPath;
    std::vector<std::string> lines;
    /// store -> id (ascending) -> the record's fields, described.
    std::map<std::string, std::map<std::uint64_t, std::string>> stores;

    explicit operator bool() const { return process != nullptr; }
};

Client StartClient(const std::vector<std::string>& args, const std::string& stderrPath) {
    std::vector<std::string> argv = {MINIMAP_CLIENT};
    argv.insert(argv.end(), args.begin(), args.end());
    Client client;
    client.process = test::ChildProcess::Spawn(argv, kFastTimers, stderrPath);
    client.stderrPath = stderrPath;
    EXPECT_NE(client.process, nullptr) << "cannot start " << MINIMAP_CLIENT;
    return client;
}

/// The client's first line, for a test to go on from. False when the client did not start or
/// wrote no line within the wait; the failure then shows its standard error.
bool ReadFirstLine(Client& client, std::string& line) {
    if (!client) {
        return false;
    }
    if (client.process->ReadLine(line, kWaitMs)) {
        return true;
    }
    ADD_FAILURE() << "no line from the client: " << test::ReadTextFile(client.stderrPath);
    return false;
}

/// Applies one line; the event's name followed by the stores, described:
/// "MarkersChanged P 1(10.0,20.0) | N 7 Smith (1.0,2.0) k3 q-1 | Q".
std::string Consume(Client& client, const std::string& line) {
    client.lines.push_back(line);
    test::json::Value event;
    if (!test::json::Parse(line, event) || event.type != test::json::Value::Type::Object) {
        return "(not JSON) " + line;
    }
    for (const auto& change : event["changes"].items) {
        auto& store = client.stores[change["store"].text];
        const std::string& op = change["op"].text;
        if (op == "clear") {
            store.clear();
        } else if (op == "remove") {
            store.erase(change["id"].AsUint64());
        } else if (change["store"].text == "players") {
            store[change["id"].AsUint64()] =
                change["id"].text + "(" + change["x"].text + "," + change["y"].text + ")";
        } else {
            store[change["id"].AsUint64()] = change["id"].text + " " + change["name"].text + " (" +
                                             change["x"].text + "," + change["y"].text + ") k" +
                                             change["kind"].text + " q" + change["quest"].text;
        }
    }
    std::string out = event["event"].text;
    const auto list = [&](const char* tag, const char* store) {
        out += tag;
        for (const auto& [id, described] : client.stores[store]) {
            out += " " + described;
        }
    };
    list(" P", "players");
    list(" | N", "npcs");
    list(" | Q", "query");
    return out;
}

/// Every line `lines` holds must be valid against the event stream's JSON Schema, checked by
/// a real validator (scripts/validate_events.py, Debian's python3-jsonschema).
void ExpectValidAgainstSchema(const std::vector<std::string>& lines) {
    const std::string path = TempPath("events.jsonl");
    {
        std::ofstream out(path, std::ios::binary);
        for (const std::string& line : lines) {
            out << line << '\n';
        }
    }
    const std::string err = TempPath("validator.err");
    auto validator =
        test::ChildProcess::Spawn({PYTHON3, E2E_SOURCE_DIR "/scripts/validate_events.py",
                                   E2E_SOURCE_DIR "/docs/events.schema.json", path},
                                  {}, err);
    ASSERT_NE(validator, nullptr);
    std::string report;
    std::string line;
    while (validator->ReadLine(line, kWaitMs)) {
        report += line + "\n";
    }
    EXPECT_EQ(validator->WaitExit(kWaitMs), 0) << report << test::ReadTextFile(err);
    EXPECT_NE(report.find("validated " + std::to_string(lines.size()) + " lines, 0 errors"),
              std::string::npos)
        << report << test::ReadTextFile(err);
}

/// Stops the client with `signal` and expects a clean exit; then every line it wrote must be
/// a valid event line (the client's --events jsonl promise), and the consumer's stores must
/// have followed every one.
void StopAndCheckOutput(Client& client, int signal) {
    client.process->Signal(signal);
    EXPECT_EQ(client.process->WaitExit(kWaitMs), 0) << test::ReadTextFile(client.stderrPath);
    std::string line;
    while (client.process->ReadLine(line, 0)) {
        Consume(client, line);
    }
    ExpectValidAgainstSchema(client.lines);
}

/// A program other than the client: stopped, expected to exit cleanly.
void StopProgram(test::ChildProcess& process, int signal, const std::string& stderrPath) {
    process.Signal(signal);
    EXPECT_EQ(process.WaitExit(kWaitMs), 0) << test::ReadTextFile(stderrPath);
}

/// Reads event lines until the stores after one are described as `wanted`; its raw line goes
/// to `raw`.
bool WaitForEvent(Client& client, const std::string& wanted, std::string* raw = nullptr) {
    std::string line;
    while (client.process->ReadLine(line, kWaitMs)) {
        if (Consume(client, line) == wanted) {
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
std::string NextEvent(Client& client, std::string* raw = nullptr) {
    std::string line;
    if (!client.process->ReadLine(line, kWaitMs)) {
        return "(no event)";
    }
    if (raw != nullptr) {
        *raw = line;
    }
    return Consume(client, line);
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
    ASSERT_TRUE(client);
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
    StopAndCheckOutput(client, SIGTERM);
}

TEST(EndToEnd, NoPollRequestWhilePollingIsOffOrTheRoleIsInBattle) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--poll", "off"}, {"--battle", "on"}}) {
        RecordingServer server("0 player 1 appear x=1 y=2\n");
        const std::string err = TempPath("client." + args[0].substr(2) + ".err");
        std::vector<std::string> all = {"--server", server.Address(), "--events", "jsonl"};
        all.insert(all.end(), args.begin(), args.end());
        auto client = StartClient(all, err);
        ASSERT_TRUE(client);
        ASSERT_TRUE(server.WaitForTicks(8)) << test::ReadTextFile(err);
        EXPECT_EQ(server.Get().GetStats().polls, 0u) << args[0] << " " << args[1];
        for (const auto& m : server.Received()) {
            EXPECT_FALSE(IsRequest(m)) << "a request with " << args[0] << " " << args[1];
        }
        StopAndCheckOutput(client, SIGTERM);
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

/// The JSON line of `event` number `serial` that empties both stores at once.
std::string BothStoresCleared(int serial, const std::string& event) {
    return "{\"version\":1,\"serial\":" + std::to_string(serial) + ",\"event\":\"" + event +
           "\",\"changes\":[{\"store\":\"players\",\"op\":\"clear\"},"
           "{\"store\":\"npcs\",\"op\":\"clear\"}]}";
}

TEST(EndToEnd, SetRemoveClearAndRoleResetReachTheUserInterfaceInOrder) {
    const std::string serverErr = TempPath("server.err");
    std::string address;
    auto server = StartServerProcess({"--clock", "poll", "--scenario", E2E_DATA_DIR "/steps.scn"},
                                     serverErr, address);
    ASSERT_NE(server, nullptr);
    const std::string err = TempPath("client.err");
    auto client = StartClient({"--server", address, "--events", "jsonl", "--poll", "on"}, err);
    ASSERT_TRUE(client);

    const std::string npcs =
        " | N 7 Smith (1.0,2.0) k3 q-1 18446744073709551615 Elder (5.0,6.0) k2 q42 | Q";
    std::string raw;
    // The connection's first answer clears what an earlier connection may have left; this
    // client's stores hold nothing, so nothing changes.
    EXPECT_EQ(NextEvent(client, &raw), "MarkersChanged P | N | Q");
    EXPECT_EQ(raw, "{\"version\":1,\"serial\":1,\"event\":\"MarkersChanged\",\"changes\":[]}");
    // Time 0, set marker by marker: the last Set shows everything.
    ASSERT_TRUE(WaitForEvent(client, "MarkersChanged P 1(10.0,20.0)" + npcs, &raw));
    // One Set, one line: what changed, not the stores.
    EXPECT_EQ(raw,
              "{\"version\":1,\"serial\":4,\"event\":\"MarkersChanged\",\"changes\":[{\"store\":"
              "\"npcs\",\"op\":\"set\",\"id\":18446744073709551615,\"name\":\"Elder\",\"x\":5.0,"
              "\"y\":6.0,\"kind\":2,\"quest\":42}]}");
    // Time 1: a move and a new player (two Sets).
    ASSERT_TRUE(WaitForEvent(client, "MarkersChanged P 1(11.0,21.0) 2(5.0,5.0)" + npcs));
    // Time 2: one Remove.
    EXPECT_EQ(NextEvent(client), "MarkersChanged P 2(5.0,5.0)" + npcs);
    // Time 3: a clear empties both stores at once, in one operation.
    EXPECT_EQ(NextEvent(client, &raw), "MarkersChanged P | N | Q");
    EXPECT_EQ(raw, BothStoresCleared(8, "MarkersChanged"));
    // Time 4: new markers.
    ASSERT_TRUE(
        WaitForEvent(client, "MarkersChanged P 3(-7.5,0.25) | N 8 Guard (50.0,50.0) k0 q-1 | Q"));
    // Time 5: the role changes: the stores are emptied, and the next poll sets them again.
    EXPECT_EQ(NextEvent(client, &raw), "RoleReset P | N | Q");
    EXPECT_EQ(raw, BothStoresCleared(11, "RoleReset"));
    ASSERT_TRUE(
        WaitForEvent(client, "MarkersChanged P 3(-7.5,0.25) | N 8 Guard (50.0,50.0) k0 q-1 | Q"));

    StopAndCheckOutput(client, SIGTERM);
    StopProgram(*server, SIGTERM, serverErr);
}

TEST(EndToEnd, QueryIsAnsweredAndFinished) {
    const std::string serverErr = TempPath("server.err");
    std::string address;
    auto server = StartServerProcess({"--scenario", E2E_DATA_DIR "/query.scn"}, serverErr, address);
    ASSERT_NE(server, nullptr);
    const std::string err = TempPath("client.err");
    auto client = StartClient(
        {"--server", address, "--events", "jsonl", "--poll", "off", "--query", "2"}, err);
    ASSERT_TRUE(client);

    std::string raw;
    ASSERT_TRUE(WaitForEvent(client,
                             "QueryFinished P | N | Q 5 Herbalist (75.0,25.0) k2 q7 100 Elder "
                             "(5.0,6.0) k2 q42",
                             &raw));
    EXPECT_EQ(raw,
              "{\"version\":1,\"serial\":1,\"event\":\"QueryFinished\",\"changes\":["
              "{\"store\":\"query\",\"op\":\"set\",\"id\":5,\"name\":\"Herbalist\",\"x\":75.0,"
              "\"y\":25.0,\"kind\":2,\"quest\":7},{\"store\":\"query\",\"op\":\"set\",\"id\":100,"
              "\"name\":\"Elder\",\"x\":5.0,\"y\":6.0,\"kind\":2,\"quest\":42}]}");
    StopAndCheckOutput(client, SIGTERM);
    StopProgram(*server, SIGTERM, serverErr);
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
    ASSERT_TRUE(client);

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
    set.op = proto::MiniMapSyncOp::Set;
    set.player = true;
    set.playerRecord = proto::MakePlayer(42, 1.5f, 2.0f);
    ASSERT_TRUE(healthy.Send(sim::EncodeSync(set)));
    EXPECT_TRUE(WaitForEvent(client, "MarkersChanged P 42(1.5,2.0) | N | Q"));

    StopAndCheckOutput(client, SIGTERM);
    const std::string log = test::ReadTextFile(err);
    for (const char* reason : {"length field below the 6-byte header: length 3",
                               "length field above the limit of 64512 bytes: length 65000",
                               "chunkSize 12 runs past the message end", "more than 256 chunks",
                               "connection cut in the middle of a message (10 of 14 bytes)"}) {
        EXPECT_NE(log.find(reason), std::string::npos) << "no log line with: " << reason << "\n"
                                                       << log;
    }
}

// A name is the server's bytes. Printed raw, a hostile one would drive the user's terminal (set
// its title, clear it) and split the line; the lines show it escaped.
TEST(EndToEnd, LinesShowAServersNameAsTextNotAsTerminalControls) {
    test::Listener listener;
    ASSERT_NE(listener.Port(), 0);
    const std::string err = TempPath("client.err");
    auto client = StartClient({"--server", "127.0.0.1:" + std::to_string(listener.Port()), "--view",
                               "lines", "--poll", "off"},
                              err);
    ASSERT_TRUE(client);
    test::Socket connection = listener.Accept(kWaitMs);
    ASSERT_TRUE(connection.IsOpen());
    // ESC and BEL sequences, CR LF, and U+009B (CSI as a UTF-8 control character).
    const char* const hostile =
        "\x1b]0;owned\x07\x1b[2J\r\nX\xC2\x9B"
        "2J";
    ASSERT_TRUE(
        connection.Send(sim::EncodeQueryResult(proto::MakeNpc(5, hostile, 1.0f, 2.0f, 0, -1))));
    ASSERT_TRUE(connection.Send(sim::EncodeQueryEnd()));

    std::string line;
    while (client.process->ReadLine(line, kWaitMs) && line.rfind("QueryFinished", 0) != 0) {
    }
    EXPECT_NE(line.find("[\\x1b]0;owned\\x07\\x1b[2J\\x0d\\x0aX\\xc2\\x9b2J, "), std::string::npos)
        << line;
    EXPECT_EQ(std::count_if(line.begin(), line.end(),
                            [](unsigned char c) { return c < 0x20 || c == 0x7F; }),
              0)
        << line;
    client.process->Signal(SIGTERM);
    EXPECT_EQ(client.process->WaitExit(kWaitMs), 0) << test::ReadTextFile(err);
}

// `minimap-client --events jsonl | head -1`: once the reader is gone nobody gets the events,
// so the next write ends the run, with the reason and a failing status, instead of running on.
TEST(EndToEnd, ClientWhoseOutputReaderWentAwayStopsAndSaysWhy) {
    const std::string err = TempPath("reader-gone.err");
    auto client = StartClient({"--events", "jsonl"}, err);
    std::string line;
    ASSERT_TRUE(ReadFirstLine(client, line));
    client.process->CloseOutput();
    EXPECT_EQ(client.process->WaitExit(kWaitMs), 1);
    EXPECT_NE(test::ReadTextFile(err).find("cannot write to standard output: Broken pipe"),
              std::string::npos)
        << test::ReadTextFile(err);
}

// The example host's output is its result: lost to a full disk, the run fails and says why.
TEST(EndToEnd, ExampleHostWhoseOutputIsLostFailsAndSaysWhy) {
    test::Listener listener;
    ASSERT_NE(listener.Port(), 0);
    const std::string err = TempPath("example-host-full.err");
    auto host = test::ChildProcess::Spawn(
        {"/bin/sh", "-c", "exec \"$0\" \"$@\" > /dev/full", MINIMAP_EXAMPLE_HOST, "--server",
         "127.0.0.1:" + std::to_string(listener.Port()), "--timeout-ms", "0"},
        {}, err);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->WaitExit(kWaitMs), 1) << test::ReadTextFile(err);
    EXPECT_NE(test::ReadTextFile(err).find(
                  "example-host: cannot write to standard output: No space left on device"),
              std::string::npos)
        << test::ReadTextFile(err);
}

// A reader that stopped reading (an unscrolled pager) holds the client's output, not the end
// of its run: at the end it gives up on what the reader does not take, and says how much.
TEST(EndToEnd, ClientWhoseOutputReaderStoppedReadingStillEndsAndSaysWhatWasLeft) {
    // Standard output is a FIFO that is full before the client starts, and stays full.
    const std::string fifo = TempPath("full.fifo");
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const std::string filler(4096, '.');
    while (::write(reader, filler.data(), filler.size()) > 0) {
    }
    const std::string err = TempPath("reader-stopped.err");
    auto client = test::ChildProcess::Spawn(
        {MINIMAP_CLIENT, "--view", "lines", "--duration-ms", "200"}, kFastTimers, err, "", fifo);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->WaitExit(kWaitMs), 1);
    EXPECT_NE(test::ReadTextFile(err).find(" bytes of output that standard output did not take"),
              std::string::npos)
        << test::ReadTextFile(err);
    ::close(reader);
}

TEST(EndToEnd, EmbeddedSimulatorServesTheDefaultScenarioAndTheClientStopsCleanly) {
    // Ctrl-C: the first markers, then SIGINT, then a clean exit.
    {
        const std::string err = TempPath("interrupted.err");
        auto client = StartClient({"--events", "jsonl"}, err);
        std::string line;
        ASSERT_TRUE(ReadFirstLine(client, line));
        EXPECT_EQ(Consume(client, line).rfind("MarkersChanged P", 0), 0u) << line;
        StopAndCheckOutput(client, SIGINT);
    }
    // --duration-ms: runs, then shuts down by itself with exit code 0. The time counts from
    // the program's start, and under an emulator on a busy machine the start alone can take
    // half a second: the run is long enough to meet the simulator whatever the start took.
    {
        const std::string err = TempPath("timed.err");
        auto client = StartClient({"--events", "jsonl", "--duration-ms", "3000"}, err);
        ASSERT_TRUE(client);
        EXPECT_EQ(client.process->WaitExit(kWaitMs * 2), 0) << test::ReadTextFile(err);
        std::string line;
        while (client.process->ReadLine(line, 0)) {
            Consume(client, line);
        }
        EXPECT_FALSE(client.lines.empty());
        ExpectValidAgainstSchema(client.lines);
    }
}

/// The last record of a capture, as `pyr-netdump --json` prints it.
std::string LastCaptureRecord(const std::string& capture) {
    const std::string err = TempPath("netdump.err");
    auto netdump = test::ChildProcess::Spawn({PYR_NETDUMP, "--json", capture}, {}, err);
    if (netdump == nullptr) {
        ADD_FAILURE() << "cannot start " << PYR_NETDUMP;
        return "";
    }
    std::string last;
    std::string line;
    while (netdump->ReadLine(line, kWaitMs)) {
        last = line;
    }
    EXPECT_EQ(netdump->WaitExit(kWaitMs), 0) << test::ReadTextFile(err);
    return last;
}

/// Ctrl-C, kill and a closed terminal alike: the client and the simulator stop cleanly, and
/// the captures they were writing end whole, with the connection's close.
class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, EndsClientAndSimulatorCleanlyWithTheirCapturesWhole) {
    const std::string serverErr = TempPath("server.err");
    const std::string serverCapture = TempPath("server.pcapng");
    const std::string clientCapture = TempPath("client.pcapng");
    std::string address;
    auto server = StartServerProcess({"--capture", serverCapture}, serverErr, address);
    ASSERT_NE(server, nullptr);
    auto client =
        StartClient({"--server", address, "--events", "jsonl", "--capture", clientCapture},
                    TempPath("client.err"));
    std::string line;
    ASSERT_TRUE(ReadFirstLine(client, line));
    Consume(client, line);

    StopAndCheckOutput(client, GetParam());
    StopProgram(*server, GetParam(), serverErr);
    for (const std::string& capture : {clientCapture, serverCapture}) {
        EXPECT_NE(LastCaptureRecord(capture).find("\"event\":\"close\""), std::string::npos)
            << capture;
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, StopSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// A capture that could not be written (here: a full disk) stops while the run goes on; at the
// end both programs say the file is incomplete and fail, so that a script that asked for the
// capture does not take what was written for the whole conversation.
TEST(EndToEnd, CaptureThatCouldNotBeWrittenFailsTheRunAtItsEnd) {
    const std::string serverErr = TempPath("server.err");
    std::string address;
    auto server = StartServerProcess({"--capture", "/dev/full"}, serverErr, address);
    ASSERT_NE(server, nullptr);
    auto client = StartClient({"--server", address, "--events", "jsonl", "--capture", "/dev/full"},
                              TempPath("client.err"));
    std::string line;
    ASSERT_TRUE(ReadFirstLine(client, line));

    client.process->Signal(SIGTERM);
    server->Signal(SIGTERM);
    EXPECT_EQ(client.process->WaitExit(kWaitMs), 1);
    EXPECT_EQ(server->WaitExit(kWaitMs), 1);
    for (const std::string& err : {client.stderrPath, serverErr}) {
        const std::string text = test::ReadTextFile(err);
        EXPECT_NE(text.find("capture /dev/full: write failed (No space left on device)"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("the capture /dev/full is incomplete: writing it failed"),
                  std::string::npos)
            << text;
    }
}

// The client takes the stop signals on a thread of its own and leaves every other signal its
// usual meaning: one it does not use (SIGUSR2) ends it as it ends any program, and can never
// end that thread's wait and leave the client deaf to Ctrl-C and kill.
TEST(EndToEnd, SignalTheClientDoesNotUseKeepsItsUsualMeaning) {
    auto client = StartClient({"--events", "jsonl"}, TempPath("client.err"));
    std::string line;
    ASSERT_TRUE(ReadFirstLine(client, line));
    client.process->Signal(SIGUSR2);
    EXPECT_EQ(client.process->WaitExit(kWaitMs), 128 + SIGUSR2);
}

// A plug-in folder given on the command line that cannot be read is named, not passed over in
// silence: the plug-ins the user meant would just not run.
// A mistyped folder looks like plug-ins that do nothing, or like a string table without names:
// both are named, with the reason.
TEST(EndToEnd, PluginAndConfigurationFoldersThatCannotBeReadAreNamed) {
    const std::string folder = TempPath("no-such-folder");
    const std::string config = TempPath("no-such-config");
    const std::string err = TempPath("client.err");
    std::vector<std::string> environment = kFastTimers;
    environment.push_back("PLINTH_CONFIG_DIR=" + config);
    auto client = test::ChildProcess::Spawn(
        {MINIMAP_CLIENT, "--events", "jsonl", "--duration-ms", "0", "--plugin-dir", folder},
        environment, err);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->WaitExit(kWaitMs), 0);
    const std::string text = test::ReadTextFile(err);
    EXPECT_NE(text.find("plug-in folder not read: " + folder + ": No such file or directory"),
              std::string::npos)
        << text;
    for (const char* table : {"common", "PetSystem"}) {
        EXPECT_NE(text.find("string table \"" + std::string(table) + "\" (cannot open " + config +
                            "/config/StringTable/" + table + ".xml: No such file or directory)"),
                  std::string::npos)
            << text;
    }
}

/// A host of plug-ins, with the arguments that load the careless plug-in into it.
struct PluginHost {
    const char* name;
    std::vector<std::string> argv;
    /// The option that makes the host stop by itself after N milliseconds.
    const char* stopAfter = nullptr;
    /// The messages come from a capture (--replay) instead of a server.
    bool replay = false;
    friend void PrintTo(const PluginHost& host, std::ostream* out) { *out << host.name; }
};

const PluginHost kClientWithPlugin{
    "Client",
    {MINIMAP_CLIENT, "--plugin", CARELESS_PLUGIN, "--view", "lines", "--poll", "off"},
    "--duration-ms"};
const PluginHost kExampleHostWithPlugin{
    "ExampleHost", {MINIMAP_EXAMPLE_HOST, "--printer", CARELESS_PLUGIN}, "--timeout-ms"};

std::string HostName(const ::testing::TestParamInfo<PluginHost>& info) {
    return info.param.name;
}

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

/// A capture of one connection on which the server sent `bytes`, as the client records one.
void WriteCapture(const std::string& path, const std::vector<char>& bytes) {
    capture::CaptureWriterOptions options;
    options.application = "minimap-client";
    options.clockUs = [] { return std::int64_t{1'700'000'000'000'000}; };
    std::string error;
    auto writer = capture::CaptureWriter::Open(path, options, error);
    ASSERT_NE(writer, nullptr) << error;
    writer->Opened(1);
    writer->Bytes(1, capture::Direction::ServerToClient, bytes.data(), bytes.size());
    writer->Closed(1);
}

class ThrowingHandler : public ::testing::TestWithParam<PluginHost> {};

// A plug-in's message handler may throw anything, not only a std::exception. The host logs it
// and goes on delivering; a throw that left the receiving thread would end the whole program.
TEST_P(ThrowingHandler, IsLoggedAndTheHostGoesOnDelivering) {
    std::vector<char> messages;
    for (const unsigned short id : {1, 2}) {
        NetMsg msg(0x77, id);
        messages.insert(messages.end(), msg.GetBytes(), msg.GetBytes() + msg.GetLength());
    }
    test::Listener listener;
    std::vector<std::string> argv = GetParam().argv;
    if (GetParam().replay) {
        const std::string capture = TempPath("server.pcapng");
        ASSERT_NO_FATAL_FAILURE(WriteCapture(capture, messages));
        argv.insert(argv.end(), {"--replay", capture});
    } else {
        ASSERT_NE(listener.Port(), 0);
        argv.insert(argv.end(), {"--server", "127.0.0.1:" + std::to_string(listener.Port())});
    }
    const std::string err = TempPath("host.err");
    auto host = test::ChildProcess::Spawn(argv, kFastTimers, err);
    ASSERT_NE(host, nullptr);
    test::Socket connection;
    if (!GetParam().replay) {
        connection = listener.Accept(kWaitMs);
        ASSERT_TRUE(connection.IsOpen()) << test::ReadTextFile(err);
        ASSERT_TRUE(connection.Send(messages));
    }

    // The plug-in's line for the second message: the host outlived the first throw.
    std::string line;
    bool second = false;
    while (!second && host->ReadLine(line, kWaitMs)) {
        second = line == "careless-plugin: message 2, throwing";
    }
    EXPECT_TRUE(second) << test::ReadTextFile(err);
    host->Signal(SIGTERM);
    EXPECT_EQ(host->WaitExit(kWaitMs), 0) << test::ReadTextFile(err);
    const std::string log = test::ReadTextFile(err);
    EXPECT_EQ(CountOf(log, "a message handler threw: an exception of unknown type"), 2) << log;
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, ThrowingHandler,
                         ::testing::Values(kClientWithPlugin,
                                           PluginHost{"ClientReplay",
                                                      {MINIMAP_CLIENT, "--plugin", CARELESS_PLUGIN,
                                                       "--view", "lines"},
                                                      nullptr,
                                                      true},
                                           kExampleHostWithPlugin),
                         HostName);

class CarelessPlugin : public ::testing::TestWithParam<PluginHost> {
protected:
    /// Runs the host and the plug-in, careless as `carelessness` (an environment entry) asks,
    /// against a server that sends nothing; the host stops by itself after 300 ms. The plug-in
    /// is named `plugin` on the command line, the host runs in `folder` (empty: the test's).
    /// Its exit status; its standard error in `log`.
    int Run(const std::string& carelessness, std::string& log,
            const std::string& plugin = CARELESS_PLUGIN, const std::string& folder = "") {
        test::Listener listener;
        EXPECT_NE(listener.Port(), 0);
        std::vector<std::string> argv = GetParam().argv;
        std::replace(argv.begin(), argv.end(), std::string(CARELESS_PLUGIN), plugin);
        argv.insert(argv.end(), {"--server", "127.0.0.1:" + std::to_string(listener.Port()),
                                 GetParam().stopAfter, "300"});
        std::vector<std::string> env = kFastTimers;
        env.push_back(carelessness);
        const std::string err = TempPath("host.err");
        auto host = test::ChildProcess::Spawn(argv, env, err, folder);
        EXPECT_NE(host, nullptr);
        const int status = host != nullptr ? host->WaitExit(kWaitMs) : -1;
        log = test::ReadTextFile(err);
        return status;
    }
};

// A start that throws (here the os::String of a typed query for a container that must exist)
// fails as a false would: the host says why and ends with status 1 instead of aborting.
TEST_P(CarelessPlugin, ThatThrowsAtStartFailsTheStartWithTheReason) {
    std::string log;
    EXPECT_EQ(Run("CARELESS_PLUGIN_THROW_AT_START=1", log), 1) << log;
    EXPECT_NE(log.find("threw"), std::string::npos) << log;
    EXPECT_NE(log.find("QuerySiblingContainer()[IPluginContainer]"), std::string::npos) << log;
    EXPECT_NE(log.find("did not start"), std::string::npos) << log;
}

// A chain of timers the plug-in never cancels would run, or be destroyed through, its code
// after the host unloaded it: cancelled before the unload, and named.
TEST_P(CarelessPlugin, ThatLeavesATimerHasItCancelledBeforeItsCodeIsUnloaded) {
    std::string log;
    EXPECT_EQ(Run("CARELESS_PLUGIN_LEAVE_TIMER=1", log), 0) << log;
    EXPECT_EQ(CountOf(log, std::string("PluginModule::Unload() : ") + CARELESS_PLUGIN +
                               " left a timer pending ({anonymous}::Tick, "
                               "tests/e2e/careless_plugin.cpp:"),
              1)
        << log;
}

// A message handler and a role-reset slot the plug-in left behind would be destroyed through
// its code after the unload: withdrawn before, and said.
TEST_P(CarelessPlugin, ThatLeavesCallablesHasThemWithdrawnBeforeItsCodeIsUnloaded) {
    std::string log;
    EXPECT_EQ(Run("CARELESS_PLUGIN_LEAVE_CALLABLES=1", log), 0) << log;
    EXPECT_EQ(CountOf(log, "left 1 message handler(s) registered"), 1) << log;
    EXPECT_EQ(CountOf(log, "left 1 role-reset slot(s) connected"), 1) << log;
}

// An entry point written by hand may throw: the call answers false, is logged, and the host
// goes on without the plug-in.
TEST_P(CarelessPlugin, ThatThrowsFromAnEntryPointLetsTheHostGoOnWithoutIt) {
    std::string log;
    EXPECT_EQ(Run("CARELESS_PLUGIN_THROW_AT_INIT=1", log), 0) << log;
    EXPECT_EQ(CountOf(log, std::string("PluginModule::InitPlugin() : ") + CARELESS_PLUGIN +
                               " threw: an exception of unknown type"),
              1)
        << log;
    EXPECT_EQ(CountOf(log, std::string("InitPlugin() of ") + CARELESS_PLUGIN + " failed; not used"),
              1)
        << log;
}

// A plug-in whose entry points PYR_PLUGIN_ENTRY_POINTS made catches what they throw itself:
// the text is logged there, as the host's catch never sees it. A release that throws leaves its
// container registered: withdrawn before the plug-in's code is unloaded, and named.
TEST_P(CarelessPlugin, ThatThrowsFromAMacroMadeEntryPointHasTheTextLogged) {
    std::string log;
    EXPECT_EQ(Run("CARELESS_PLUGIN_THROW_AT_INIT=1", log, CARELESS_MACRO_PLUGIN), 0) << log;
    EXPECT_EQ(CountOf(log,
                      "PYR_PLUGIN_ENTRY_POINTS(CarelessEntry) : InitPlugin() threw: an "
                      "exception of unknown type"),
              1)
        << log;
    EXPECT_EQ(Run("CARELESS_PLUGIN_THROW_AT_RELEASE=1", log, CARELESS_MACRO_PLUGIN), 0) << log;
    EXPECT_EQ(CountOf(log,
                      "PYR_PLUGIN_ENTRY_POINTS(CarelessEntry) : ReleasePluginContainer() "
                      "threw: an exception of unknown type"),
              1)
        << log;
    EXPECT_EQ(
        CountOf(log,
                std::string("PluginModule::ReleasePluginContainer() : ") + CARELESS_MACRO_PLUGIN +
                    " left its container (anonymous namespace)::CarelessPlugin registered under "
                    "the host; unregistered"),
        1)
        << log;
}

// InitPlugin and ReleasePlugin run without the core lock: a plug-in may take it on a thread of
// its own there and wait for that thread, which under the lock would wait for ever.
TEST_P(CarelessPlugin, ThatTakesTheCoreLockOnAThreadInInitAndReleasePluginIsNotHeldUp) {
    std::string log;
    EXPECT_EQ(Run("CARELESS_PLUGIN_CORE_LOCK_ON_A_THREAD=1", log), 0) << log;
}

// A shutdown hook that throws is logged, and every other container is still shut down: the
// host's own view gives back its role-reset slot, and nothing is reported left behind by it.
TEST_P(CarelessPlugin, ThatThrowsAtShutdownLeavesTheOthersShutDown) {
    std::string log;
    EXPECT_EQ(Run("CARELESS_PLUGIN_THROW_AT_SHUTDOWN=1", log), 0) << log;
    EXPECT_EQ(CountOf(log, "threw at shutdown: an exception of unknown type") +
                  CountOf(log, "threw while the plug-ins shut down: an exception of unknown type"),
              1)
        << log;
    EXPECT_EQ(CountOf(log, "role-reset slot(s)"), 0) << log;
}

// A plug-in named by its file name alone is the file of that name in the current directory, as
// any file a command line names, not whatever the loader finds on its search path: there, the
// minimap module's name found the module the host had loaded already, whose entry points were
// then called a second time.
TEST_P(CarelessPlugin, NamedByItsFileNameAloneIsTheOneInTheCurrentDirectory) {
    const std::string path = CARELESS_PLUGIN;
    const std::size_t slash = path.rfind('/');
    std::string log;
    EXPECT_EQ(Run("CARELESS_PLUGIN_LEAVE_CALLABLES=1", log, path.substr(slash + 1),
                  path.substr(0, slash)),
              0)
        << log;
    EXPECT_EQ(CountOf(log, "left 1 message handler(s) registered"), 1) << log;

    Run("CARELESS_PLUGIN_NONE=1", log, "libPyr_MiniMap.so", ::testing::TempDir());
    EXPECT_EQ(CountOf(log, "./libPyr_MiniMap.so: cannot open shared object file"), 1) << log;
    EXPECT_EQ(CountOf(log, "RegisterChildContainer() error"), 0) << log;
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, CarelessPlugin,
                         ::testing::Values(kClientWithPlugin, kExampleHostWithPlugin), HostName);

// The stop waits for the plug-ins; one stuck in its shutdown would hold it for ever. A second
// stop signal ends the host at once, saying so, with 128 + the signal.
class SecondStopSignal : public ::testing::TestWithParam<PluginHost> {
protected:
    /// Starts the host with a plug-in that blocks in its shutdown, and stops it with
    /// `firstSignal`; null (with a failure) unless the plug-in said it is blocked.
    std::unique_ptr<test::ChildProcess> HostStuckInItsStop(int firstSignal) {
        if (listener.Port() == 0) {
            ADD_FAILURE() << "no listening port";
            return nullptr;
        }
        std::vector<std::string> argv = GetParam().argv;
        argv.insert(argv.end(), {"--server", "127.0.0.1:" + std::to_string(listener.Port())});
        std::vector<std::string> env = kFastTimers;
        env.push_back("CARELESS_PLUGIN_BLOCK_AT_SHUTDOWN=1");
        auto host = test::ChildProcess::Spawn(argv, env, err);
        std::string line;
        if (host == nullptr || !host->ReadLine(line, kWaitMs)) {  // started
            ADD_FAILURE() << test::ReadTextFile(err);
            return nullptr;
        }
        host->Signal(firstSignal);
        while (host->ReadLine(line, kWaitMs)) {
            if (line == "careless-plugin: blocked in the shutdown") {
                return host;
            }
        }
        ADD_FAILURE() << test::ReadTextFile(err);
        return nullptr;
    }

    test::Listener listener;
    const std::string err = TempPath("host.err");
};

TEST_P(SecondStopSignal, EndsAHostWhoseStopIsHeldUpByAPlugin) {
    auto host = HostStuckInItsStop(SIGTERM);
    ASSERT_NE(host, nullptr);
    host->Signal(SIGINT);
    EXPECT_EQ(host->WaitExit(kWaitMs), 128 + SIGINT);
    const std::string log = test::ReadTextFile(err);
    EXPECT_EQ(CountOf(log, ": a second stop signal (SIGINT) while stopping; ending at once"), 1)
        << log;
}

// GNU timeout sends its signal to the program and then to the program's process group: one
// stop request, arriving twice from the same process, does not end the host at once. Pending
// signals are taken lowest number first, so the second SIGINT is taken before the SIGTERM that
// follows it, which still ends the host.
TEST_P(SecondStopSignal, TheSameSignalAgainFromTheSameProcessIsTheSameRequest) {
    auto host = HostStuckInItsStop(SIGINT);
    ASSERT_NE(host, nullptr);
    host->Signal(SIGINT);
    host->Signal(SIGTERM);
    EXPECT_EQ(host->WaitExit(kWaitMs), 128 + SIGTERM);
    const std::string log = test::ReadTextFile(err);
    EXPECT_EQ(CountOf(log, ": SIGINT again from process " + std::to_string(::getpid()) +
                               ", taken as the same stop request"),
              1)
        << log;
    EXPECT_EQ(CountOf(log, ": a second stop signal (SIGTERM) while stopping; ending at once"), 1)
        << log;
    EXPECT_EQ(CountOf(log, "(SIGINT) while stopping"), 0) << log;
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, SecondStopSignal,
                         ::testing::Values(kClientWithPlugin, kExampleHostWithPlugin), HostName);

}  // namespace
