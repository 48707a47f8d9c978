// Capture and replay end to end: minimap-client records a live session with --capture;
// pyr-netdump decodes the file, tshark with the dissector decodes it field by field alike;
// minimap-client --replay prints exactly the live run's event stream, twice alike;
// minimap-server --replay serves the captured session to a live client, which prints that
// stream again; and the file cut at any block boundary decodes up to that boundary.
//
// Three sessions: the embedded simulator's village; the same capture cut into other TCP
// segments (messages split over segments, segments carrying pieces of two); and a hostile
// server of this test that sends every store operation, then malformed messages and a cut
// one, reconnection by reconnection. Waits are bounded; nothing here measures time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/Decode.h"
#include "capture/Pcapng.h"
#include "e2e/ChildProcess.h"
#include "e2e/Json.h"
#include "protocol/MiniMapProtocol.h"
#include "server/SimMessages.h"
#include "support/Loopback.h"
#include "support/Scoped.h"

namespace {

constexpr int kWaitMs = 30000;
/// What both replays log for a jump of the captured clock beyond a day.
constexpr const char* kJumpLogged = "s ahead; replayed as 86400 s";
const std::vector<std::string> kFastTimers = {"PLINTH_TIMER_SCALE=0.01"};

struct Output {
    int exit = -1;
    std::vector<std::string> lines;
    std::string err;
};

/// Runs a program to its end; its standard output as lines.
Output RunProgram(const std::vector<std::string>& argv, const std::string& errPath,
                  const std::vector<std::string>& env = kFastTimers) {
    Output out;
    auto process = test::ChildProcess::Spawn(argv, env, errPath);
    if (process == nullptr) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return out;
    }
    std::string line;
    while (process->ReadLine(line, kWaitMs)) {
        out.lines.push_back(line);
    }
    out.exit = process->WaitExit(kWaitMs);
    out.err = test::ReadTextFile(errPath);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

test::json::Value ParseJson(const std::string& text) {
    test::json::Value value;
    EXPECT_TRUE(test::json::Parse(text, value)) << "not JSON: " << text.substr(0, 200);
    return value;
}

std::vector<char> SetPlayer(std::uint64_t id, float x, float y) {
    sim::SyncItem set;
    set.op = proto::MiniMapSyncOp::Set;
    set.player = true;
    set.playerRecord = proto::MakePlayer(id, x, y);
    return sim::EncodeSync(set);
}

/// A recorded live run: the capture file and the event lines the client printed.
struct LiveRun {
    std::string capture;
    std::vector<std::string> events;
};

/// The embedded simulator's village, polled every 50 ms, with a query for every NPC.
LiveRun VillageRun(const test::TempDir& dir) {
    LiveRun run{(dir / "village.pcapng").string(), {}};
    const Output out = RunProgram({MINIMAP_CLIENT, "--events", "jsonl", "--query", "-1",
                                   "--duration-ms", "1500", "--capture", run.capture},
                                  (dir / "village.err").string());
    EXPECT_EQ(out.exit, 0) << out.err;
    run.events = out.lines;
    return run;
}

/// A server of this test: every operation once, then a message with a chunk past its end, a
/// length field of 3, a message cut after 10 bytes, each on a connection of its own, then a
/// Set on a healthy connection.
LiveRun HostileRun(const test::TempDir& dir) {
    LiveRun run{(dir / "hostile.pcapng").string(), {}};
    test::Listener listener;
    auto client = test::ChildProcess::Spawn(
        {MINIMAP_CLIENT, "--server", "127.0.0.1:" + std::to_string(listener.Port()), "--events",
         "jsonl", "--capture", run.capture},
        kFastTimers, (dir / "hostile.err").string());
    EXPECT_NE(client, nullptr);
    if (client == nullptr) {
        return run;
    }
    const auto next = [&](const char* what) {
        std::string line;
        EXPECT_TRUE(client->ReadLine(line, kWaitMs)) << "no event after " << what;
        run.events.push_back(line);
    };
    {
        test::Socket c = listener.Accept(kWaitMs);
        EXPECT_TRUE(c.IsOpen());
        sim::SyncItem npc;
        npc.op = proto::MiniMapSyncOp::Set;
        npc.npcRecord =
            proto::MakeNpc(7, std::string("Sm\xFFth \xE6\x9C\xA8", 9), 1.5f, -2.0f, 3, 42);
        sim::SyncItem remove;
        remove.op = proto::MiniMapSyncOp::Remove;
        remove.player = true;
        remove.id = 1;
        for (const std::vector<char>& m :
             {sim::EncodeHello(), SetPlayer(1, 10, 20), sim::EncodeSync(npc),
              sim::EncodeSync(remove), sim::EncodeRoleReset(), SetPlayer(2, 3, 4),
              sim::EncodeSync(sim::SyncItem{}), sim::EncodeQueryResult(npc.npcRecord),
              sim::EncodeQueryEnd()}) {
            EXPECT_TRUE(c.Send(m));
        }
        for (const char* what :
             {"Set", "Set NPC", "Remove", "RoleReset", "Set", "Clear", "QueryEnd"}) {
            next(what);
        }
        EXPECT_TRUE(c.Send(std::vector<unsigned char>{0x20, 0x00, 0xFE, 0x00, 0x0E, 0x00, 0x00,
                                                      0x00, 0x0C, 0x00, 0x02, 0x00, 0x00, 0x00}));
        EXPECT_TRUE(c.WaitClosed(kWaitMs));
    }
    {
        test::Socket c = listener.Accept(kWaitMs);
        EXPECT_TRUE(c.Send(std::vector<unsigned char>{0x20, 0x00, 0xFE, 0x00, 0x03, 0x00}));
        EXPECT_TRUE(c.WaitClosed(kWaitMs));
    }
    {
        test::Socket c = listener.Accept(kWaitMs);
        EXPECT_TRUE(c.Send(std::vector<unsigned char>{0x20, 0x00, 0xFE, 0x00, 0x0E, 0x00, 0x00,
                                                      0x00, 0x08, 0x00}));
    }
    test::Socket healthy = listener.Accept(kWaitMs);
    EXPECT_TRUE(healthy.Send(SetPlayer(42, 1.5f, 2)));
    next("the healthy Set");
    client->Signal(SIGTERM);
    std::string line;
    while (client->ReadLine(line, kWaitMs)) {
        run.events.push_back(line);
    }
    EXPECT_EQ(client->WaitExit(kWaitMs), 0);
    return run;
}

/// The village run's capture cut into other segments: each message's first 7 bytes end a
/// segment, and the rest of it travels with the next message's first bytes when that follows
/// in the same direction, so messages are split over segments and segments carry pieces of
/// two. The readers must put the same messages back together.
LiveRun ResegmentedRun(const test::TempDir& dir) {
    LiveRun run = VillageRun(dir);
    capture::FileReader reader(ReadFile(run.capture));
    std::string packets;
    struct Piece {
        bool fromClient = false;
        std::uint16_t clientPort = 0;
        std::uint32_t seq = 0;
        std::uint32_t ack = 0;
        std::string bytes;
        std::int64_t timeUs = 0;
    };
    std::optional<Piece> pending;
    std::size_t packetsIn = 0;
    std::size_t packetsOut = 0;
    const auto emit = [&packets, &packetsOut](const Piece& p, std::uint8_t flags) {
        ++packetsOut;
        capture::Segment s;
        s.fromClient = p.fromClient;
        s.clientPort = p.clientPort;
        s.seq = p.seq;
        s.ack = p.ack;
        s.flags = flags;
        s.payload = p.bytes.data();
        s.size = p.bytes.size();
        packets += capture::EnhancedPacketBlock(p.timeUs, capture::EthernetFrame(s), 0);
    };
    const auto be = [](const std::string& d, std::size_t at, int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            v = (v << 8) | static_cast<std::uint8_t>(d[at + static_cast<std::size_t>(i)]);
        }
        return v;
    };
    capture::Packet packet;
    std::int64_t firstUs = -1;
    while (reader.Next(packet) == capture::FileReader::Status::Packet) {
        ++packetsIn;
        const std::string& d = packet.data;
        Piece p;
        p.timeUs = packet.timeNs / 1000;
        firstUs = firstUs < 0 ? p.timeUs : firstUs;
        p.fromClient = be(d, 36, 2) == capture::kServerPort;
        p.clientPort = static_cast<std::uint16_t>(be(d, p.fromClient ? 34 : 36, 2));
        p.seq = be(d, 38, 4);
        p.ack = be(d, 42, 4);
        const auto flags = static_cast<std::uint8_t>(d[47]);
        p.bytes = d.substr(54);
        const bool joins = pending && !p.bytes.empty() && pending->fromClient == p.fromClient &&
                           pending->clientPort == p.clientPort &&
                           pending->seq + pending->bytes.size() == p.seq;
        if (pending && !joins) {
            emit(*pending, capture::kTcpPsh | capture::kTcpAck);
            pending.reset();
        }
        if (p.bytes.size() <= 7) {
            emit(p, flags);
            continue;
        }
        Piece head = p;
        head.bytes = p.bytes.substr(0, 7);
        if (joins) {
            head.seq = pending->seq;
            head.bytes = pending->bytes + head.bytes;
        }
        emit(head, flags);
        pending = p;
        pending->seq = p.seq + 7;
        pending->bytes = p.bytes.substr(7);
    }
    if (pending) {
        emit(*pending, capture::kTcpPsh | capture::kTcpAck);
    }
    EXPECT_GT(packetsOut, packetsIn + 10) << "the messages were not split";
    // The replays count time from the capture's start: the original one.
    const std::int64_t startUs = reader.GetStartTimeNs().value_or(firstUs * 1000) / 1000;
    run.capture = (dir / "resegmented.pcapng").string();
    std::ofstream(run.capture, std::ios::binary)
        << capture::SectionHeaderBlock("resegmented")
        << capture::InterfaceDescriptionBlock("resegmented village")
        << capture::InterfaceStatisticsBlock({startUs, startUs, {}, {}, {}, ""}) << packets
        << capture::InterfaceStatisticsBlock({startUs, startUs, startUs, {}, 0, ""});
    return run;
}

/// Field name -> values, in message order, for each frame: what pyr-netdump --json says.
using FrameFields = std::map<std::uint64_t, std::map<std::string, std::vector<std::string>>>;

void Flatten(const std::string& prefix, const test::json::Value& v,
             std::map<std::string, std::vector<std::string>>& out) {
    using Type = test::json::Value::Type;
    if (v.type == Type::Object) {
        for (const auto& [key, member] : v.members) {
            Flatten(prefix.empty() ? key : prefix + "." + key, member, out);
        }
    } else if (v.type == Type::Array) {
        for (const auto& item : v.items) {  // chunks: chunk.id, chunk.size
            Flatten("chunk", item, out);
        }
    } else {
        out[prefix].push_back(v.type == Type::Null ? "null" : v.text);
    }
}

FrameFields NetdumpFields(const std::vector<std::string>& lines) {
    FrameFields frames;
    for (const std::string& line : lines) {
        const test::json::Value whole = ParseJson(line);
        test::json::Value m = whole;
        if (m["event"].text != "message" ||
            m["error"].text.rfind("connection cut in the middle", 0) == 0) {
            // A message cut by its connection's end never completes for tshark either: it
            // shows its bytes as a segment of a PDU that was never reassembled.
            continue;
        }
        const std::uint64_t frame = m["frame"].AsUint64();
        // Not fields of the dissector: where and when, and the malformed flag, which
        // tshark shows as the expert info pyrmm.malformed.
        std::erase_if(m.members, [](const auto& member) {
            return member.first == "frame" || member.first == "time" || member.first == "conn" ||
                   member.first == "event" || member.first == "dir" ||
                   member.first == "malformed" || member.first == "hex" || member.first == "chunks";
        });
        Flatten("", m, frames[frame]);
        // The dissector shows a name as pyr-netdump's text lines do: invalid bytes as \xNN.
        for (std::string& name : frames[frame]["npc.name"]) {
            name = capture::EscapeText(name);
        }
        if (frames[frame]["npc.name"].empty()) {
            frames[frame].erase("npc.name");
        }
        for (const auto& chunk : whole["chunks"].items) {
            frames[frame]["chunk.id"].push_back(chunk["id"].text);
            frames[frame]["chunk.size"].push_back(chunk["size"].text);
        }
    }
    return frames;
}

const char* const kDissectorFields[] = {"type",         "id",        "length",     "msg",
                                        "op",           "selector",  "store",      "player.id",
                                        "player.x",     "player.y",  "npc.id",     "npc.name",
                                        "npc.x",        "npc.y",     "npc.kind",   "npc.quest",
                                        "npc.reserved", "remove.id", "query.arg",  "hello.version",
                                        "tick.serial",  "chunk.id",  "chunk.size", "error"};

FrameFields TsharkFields(const std::string& capture, const test::TempDir& dir) {
    std::vector<std::string> argv = {TSHARK,  "-X",          std::string("lua_script:") + PYRMM_LUA,
                                     "-r",    capture,       "-Y",
                                     "pyrmm", "-T",          "json",
                                     "-e",    "frame.number"};
    for (const char* field : kDissectorFields) {
        argv.push_back("-e");
        argv.push_back(std::string("pyrmm.") + field);
    }
    // Its own home: no preference of whoever runs the tests changes what it decodes.
    const Output out = RunProgram(argv, (dir / "tshark.err").string(),
                                  {"HOME=" + dir.Path().string(), "LC_ALL=C.UTF-8"});
    EXPECT_EQ(out.exit, 0) << out.err;
    std::string text;
    for (const std::string& line : out.lines) {
        text += line + "\n";
    }
    FrameFields frames;
    for (const auto& packet : ParseJson(text).items) {
        const test::json::Value& layers = packet["_source"]["layers"];
        const std::uint64_t frame = layers["frame.number"].items.at(0).AsUint64();
        for (const auto& [name, values] : layers.members) {
            if (name.rfind("pyrmm.", 0) == 0) {
                for (const auto& value : values.items) {
                    frames[frame][name.substr(6)].push_back(value.text);
                }
            }
        }
    }
    return frames;
}

/// The frames tshark flags with the expert info `name`.
std::vector<std::string> TsharkExpertFrames(const std::string& capture, const std::string& name,
                                            const test::TempDir& dir) {
    const Output out = RunProgram({TSHARK, "-X", std::string("lua_script:") + PYRMM_LUA, "-r",
                                   capture, "-Y", name, "-T", "fields", "-e", "frame.number"},
                                  (dir / "tshark.err").string(),
                                  {"HOME=" + dir.Path().string(), "LC_ALL=C.UTF-8"});
    EXPECT_EQ(out.exit, 0) << out.err;
    return out.lines;
}

/// Numbers compare as numbers ("10.0" and "10"), everything else as text.
std::string Canonical(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (!text.empty() && end == text.c_str() + text.size()) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.9g", value);
        return buffer;
    }
    return text;
}

std::string Describe(const FrameFields& frames) {
    std::string out;
    for (const auto& [frame, fields] : frames) {
        out += "#" + std::to_string(frame);
        for (const auto& [name, values] : fields) {
            out += " " + name + "=";
            for (std::size_t i = 0; i < values.size(); ++i) {
                out += (i == 0 ? "" : "|") + Canonical(values[i]);
            }
        }
        out += "\n";
    }
    return out;
}

class CaptureReplay : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const std::string session = GetParam();
        run = session == "village"       ? VillageRun(dir)
              : session == "resegmented" ? ResegmentedRun(dir)
                                         : HostileRun(dir);
        ASSERT_FALSE(run.events.empty());
    }

    /// A copy of the capture whose second half of packets is stamped two hundred years late.
    std::string JumpedCopy() {
        std::string bytes = ReadFile(run.capture);
        const std::vector<std::size_t> ends = capture::BlockEnds(bytes);
        for (std::size_t block = ends.size() / 2; block + 1 < ends.size(); ++block) {
            char* const packet = bytes.data() + ends[block - 1];
            EXPECT_EQ(packet[0], 6) << "an enhanced packet block";
            std::uint32_t time[2];  // microseconds, the high word first
            std::memcpy(time, packet + 12, sizeof time);
            const std::uint64_t units = (std::uint64_t{time[0]} << 32 | time[1]) +
                                        std::uint64_t{200} * 365 * 86400 * 1000000;
            time[0] = static_cast<std::uint32_t>(units >> 32);
            time[1] = static_cast<std::uint32_t>(units);
            std::memcpy(packet + 12, time, sizeof time);
        }
        const std::string jumped = (dir / "jumped.pcapng").string();
        std::ofstream(jumped, std::ios::binary) << bytes;
        return jumped;
    }

    Output Netdump(const std::string& path, const std::string& name = "netdump") {
        return RunProgram({PYR_NETDUMP, "--json", path}, (dir / (name + ".err")).string());
    }

    test::TempDir dir;
    LiveRun run;
};

TEST_P(CaptureReplay, NetdumpAndTsharkWithTheDissectorDecodeEveryFieldAlike) {
    const Output dump = Netdump(run.capture);
    ASSERT_EQ(dump.exit, 0) << dump.err;
    const FrameFields netdump = NetdumpFields(dump.lines);
    ASSERT_GT(netdump.size(), 5u);
    EXPECT_EQ(Describe(TsharkFields(run.capture, dir)), Describe(netdump));
    // What the parser refuses is malformed for both; a chunk of the wrong size, unreadable.
    std::vector<std::string> malformed;
    std::vector<std::string> unreadable;
    for (const std::string& line : dump.lines) {
        const test::json::Value m = ParseJson(line);
        if (m["event"].text == "message" && !m["error"].text.empty() &&
            m["error"].text.rfind("connection cut in the middle", 0) != 0) {
            (m["malformed"].boolean ? malformed : unreadable).push_back(m["frame"].text);
        }
    }
    EXPECT_EQ(TsharkExpertFrames(run.capture, "pyrmm.malformed", dir), malformed);
    EXPECT_EQ(TsharkExpertFrames(run.capture, "pyrmm.unreadable", dir), unreadable);
    // One name an --op, in either spelling: the capture's name after it is not taken for one.
    const Output picked =
        RunProgram({PYR_NETDUMP, "--json", "--op", "Malformed", "--op=queryend", run.capture},
                   (dir / "picked.err").string());
    EXPECT_EQ(picked.exit, 0) << picked.err;
    std::vector<std::string> wanted;
    for (const std::string& line : dump.lines) {
        const std::string msg = ParseJson(line)["msg"].text;
        if (msg == "Malformed" || msg == "QueryEnd") {
            wanted.push_back(line);
        }
    }
    EXPECT_EQ(picked.lines, wanted);
}

TEST_P(CaptureReplay, ClientReplayPrintsTheLiveEventStreamEveryTime) {
    // Also from the copy stamped two hundred years late: the timers run a day of that jump,
    // not every poll of it, and the events are the same.
    const std::string jumped = JumpedCopy();
    for (const auto& [name, capture] :
         {std::pair{"replay1", run.capture}, {"replay2", run.capture}, {"jumped", jumped}}) {
        const Output replay = RunProgram({MINIMAP_CLIENT, "--events", "jsonl", "--replay", capture},
                                         (dir / name).string());
        EXPECT_EQ(replay.exit, 0) << replay.err;
        EXPECT_EQ(replay.lines, run.events) << name;
        EXPECT_EQ(replay.err.find(kJumpLogged) != std::string::npos, capture == jumped)
            << replay.err;
    }
}

// Also the copy stamped two hundred years late, at the fastest pace: a jump inside a
// connection waits a day divided by that pace, not two centuries.
TEST_P(CaptureReplay, ServerReplayServesTheCapturedSessionToALiveClient) {
    const std::string jumped = JumpedCopy();
    for (const auto& [capture, speed] : {std::pair{run.capture, "4"}, {jumped, "1000000"}}) {
        const std::string serverErr = (dir / "server.err").string();
        auto server = test::ChildProcess::Spawn(
            {MINIMAP_SERVER, "--port", "0", "--replay", capture, "--speed", speed}, kFastTimers,
            serverErr);
        ASSERT_NE(server, nullptr);
        std::string banner;
        ASSERT_TRUE(server->ReadLine(banner, kWaitMs)) << test::ReadTextFile(serverErr);
        const std::size_t colon = banner.find("127.0.0.1:");
        ASSERT_NE(colon, std::string::npos) << banner;
        const std::string port = banner.substr(colon + 10, banner.find(',', colon) - colon - 10);
        auto client = test::ChildProcess::Spawn(
            {MINIMAP_CLIENT, "--server", "127.0.0.1:" + port, "--events", "jsonl"}, kFastTimers,
            (dir / "client.err").string());
        ASSERT_NE(client, nullptr);
        std::vector<std::string> events;
        std::string line;
        while (events.size() < run.events.size() && client->ReadLine(line, kWaitMs)) {
            events.push_back(line);
        }
        EXPECT_EQ(events, run.events) << capture;
        client->Signal(SIGTERM);
        EXPECT_EQ(client->WaitExit(kWaitMs), 0);
        server->Signal(SIGTERM);
        EXPECT_EQ(server->WaitExit(kWaitMs), 0);
    }
}

// A capture still being written (a FIFO that tcpdump -U -w writes) is decoded as it comes:
// the messages of its first half are printed while the writer holds the file open.
TEST_P(CaptureReplay, NetdumpDecodesACaptureAsItIsWritten) {
    const Output whole = Netdump(run.capture);
    ASSERT_EQ(whole.exit, 0) << whole.err;
    const std::string bytes = ReadFile(run.capture);
    const std::vector<std::size_t> ends = capture::BlockEnds(bytes);
    const std::size_t half = ends[ends.size() / 2];
    const std::string fifo = (dir / "live.pcapng").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Read and write: opening never waits for the other end, and the reader sees the end of
    // the file only when this descriptor closes.
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    auto netdump =
        test::ChildProcess::Spawn({PYR_NETDUMP, "--json", fifo}, {}, (dir / "live.err").string());
    ASSERT_NE(netdump, nullptr);
    const auto write = [writer](std::string_view part) {
        while (!part.empty()) {
            const ssize_t n = ::write(writer, part.data(), part.size());
            ASSERT_GT(n, 0);
            part.remove_prefix(static_cast<std::size_t>(n));
        }
    };
    write(std::string_view(bytes).substr(0, half));
    std::vector<std::string> lines;
    std::string line;
    // Every line of an item whose frame the first half holds, before the rest is written.
    const std::uint64_t frames = ends.size() / 2 - 2;
    for (const std::string& expected : whole.lines) {
        if (ParseJson(expected)["frame"].AsUint64() >= frames) {
            break;
        }
        ASSERT_TRUE(netdump->ReadLine(line, kWaitMs)) << "line " << lines.size() + 1;
        lines.push_back(line);
    }
    ASSERT_FALSE(lines.empty());
    write(std::string_view(bytes).substr(half));
    ::close(writer);
    while (netdump->ReadLine(line, kWaitMs)) {
        lines.push_back(line);
    }
    EXPECT_EQ(netdump->WaitExit(kWaitMs), 0);
    EXPECT_EQ(lines, whole.lines);
}

TEST_P(CaptureReplay, CaptureCutAtEveryBlockBoundaryDecodesUpToThatBoundary) {
    const std::string bytes = ReadFile(run.capture);
    const Output whole = Netdump(run.capture);
    ASSERT_EQ(whole.exit, 0);
    // Block boundaries: the section header, the interface, the statistics, then a packet a
    // block, then the final statistics.
    const std::vector<std::size_t> ends = capture::BlockEnds(bytes);
    ASSERT_EQ(ends.back(), bytes.size());
    const std::string cut = (dir / "cut.pcapng").string();
    // Every boundary of the hostile session; every seventh of the longer village one.
    const std::size_t step = std::string(GetParam()) == "hostile" ? 1 : 7;
    for (std::size_t block = 0; block < ends.size(); block += step) {
        const std::uint64_t packets = block < 3 ? 0 : std::min(block - 2, ends.size() - 4);
        std::ofstream(cut, std::ios::binary | std::ios::trunc)
            .write(bytes.data(), static_cast<std::streamsize>(ends[block]));
        const Output part = Netdump(cut, "cut");
        EXPECT_EQ(part.exit, 0) << part.err;
        std::vector<std::string> expected;
        for (const std::string& line : whole.lines) {
            // A connection is one once the server's SYN-ACK, the frame after the SYN, is in.
            const auto item = ParseJson(line);
            if (item["frame"].AsUint64() + (item["event"].text == "open" ? 1 : 0) <= packets) {
                expected.push_back(line);
            }
        }
        std::vector<std::string> got;
        for (const std::string& line : part.lines) {
            // What a connection still open holds when the file ends is reported apart.
            if (ParseJson(line)["error"].text.rfind("the capture ends", 0) != 0) {
                got.push_back(line);
            }
        }
        EXPECT_EQ(got, expected) << "cut after block " << block;
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, CaptureReplay,
                         ::testing::Values("village", "resegmented", "hostile"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
