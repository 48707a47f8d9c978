// The reference host's own parts, without the module: event lines, the map drawing, the
// command line, the role system, and the game-server client against a loopback peer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/CommandLine.h"
#include "function/Bind.h"
#include "host/ClientApp.h"
#include "host/ClientOptions.h"
#include "host/CursesView.h"
#include "host/GameServerClient.h"
#include "host/MarkerSnapshot.h"
#include "host/RoleSystem.h"
#include "host/SimulatorLink.h"
#include "net/NetMsg.h"
#include "plinth/String.h"
#include "protocol/MiniMapProtocol.h"
#include "server/SimMessages.h"
#include "support/ConnectionWatch.h"
#include "support/FillSendQueue.h"
#include "support/LogCapture.h"
#include "support/Loopback.h"

namespace {

using host::FormatJsonFloat;
using host::FormatJsonString;

TEST(EventJson, LineCarriesTheVersionTheSerialAndEachChangeInOrder) {
    const _MiniMapPlayerInfo player = proto::MakePlayer(UINT64_MAX, 1.0f, 20.0f);
    const _MiniMapNpcInfo npc = proto::MakeNpc(7, "Smith", 1.0f, 2.0f, 3, -1);
    using Op = host::MarkerChange::Op;
    using Store = host::MarkerStore;
    host::MarkerChange setPlayer{Op::Set, Store::Players, UINT64_MAX};
    setPlayer.player = &player;
    host::MarkerChange setAnswer{Op::Set, Store::Query, 7};
    setAnswer.npc = &npc;
    std::string line;
    host::AppendEventJson(
        line, "MarkersChanged", 12,
        {{Op::Clear, Store::Npcs, 0}, setPlayer, {Op::Remove, Store::Npcs, 9}, setAnswer});
    EXPECT_EQ(line,
              "{\"version\":1,\"serial\":12,\"event\":\"MarkersChanged\",\"changes\":["
              "{\"store\":\"npcs\",\"op\":\"clear\"},"
              "{\"store\":\"players\",\"op\":\"set\",\"id\":18446744073709551615,\"x\":1.0,"
              "\"y\":20.0},{\"store\":\"npcs\",\"op\":\"remove\",\"id\":9},"
              "{\"store\":\"query\",\"op\":\"set\",\"id\":7,\"name\":\"Smith\",\"x\":1.0,"
              "\"y\":2.0,\"kind\":3,\"quest\":-1}]}\n");
    line.clear();
    host::AppendEventJson(line, "RoleReset", 1, {});
    EXPECT_EQ(line, "{\"version\":1,\"serial\":1,\"event\":\"RoleReset\",\"changes\":[]}\n");
}

TEST(EventJson, NumbersReadBackExactlyAndNonFiniteOnesAreNull) {
    EXPECT_EQ(FormatJsonFloat(10.0f), "10.0");
    EXPECT_EQ(FormatJsonFloat(-7.5f), "-7.5");
    EXPECT_EQ(FormatJsonFloat(0.1f), "0.1");
    EXPECT_EQ(FormatJsonFloat(0.0f), "0.0");
    EXPECT_EQ(FormatJsonFloat(1e20f), "1e+20");
    EXPECT_EQ(FormatJsonFloat(std::numeric_limits<float>::quiet_NaN()), "null");
    EXPECT_EQ(FormatJsonFloat(-std::numeric_limits<float>::infinity()), "null");
    EXPECT_EQ(std::stof(FormatJsonFloat(3.14159274f)), 3.14159274f);
}

TEST(EventJson, NamesAreValidJsonWhateverBytesTheServerSent) {
    EXPECT_EQ(FormatJsonString("Smith \"Iron\" \\ Gao"), "\"Smith \\\"Iron\\\" \\\\ Gao\"");
    EXPECT_EQ(FormatJsonString("a\nb\x01"), "\"a\\u000ab\\u0001\"");
    EXPECT_EQ(FormatJsonString("\xE6\x9C\xA8"), "\"\xE6\x9C\xA8\"") << "valid UTF-8 stays";
    EXPECT_EQ(FormatJsonString("\xB0\xDC"), "\"\\u00b0\\u00dc\"") << "GBK bytes, not UTF-8";
    EXPECT_EQ(FormatJsonString("\xE6\x9C"), "\"\\u00e6\\u009c\"") << "a cut sequence";
    EXPECT_EQ(FormatJsonString("\xED\xA0\x80"), "\"\\u00ed\\u00a0\\u0080\"") << "a surrogate";
    EXPECT_EQ(FormatJsonString("a\xC2\x85"
                               "b\xE2\x80\xA8"
                               "c\xE2\x80\xA9"
                               "d\xC2\x9B"
                               "e\xC2\xA0"),
              "\"a\\u0085b\\u2028c\\u2029d\\u009be\xC2\xA0\"")
        << "characters some readers end a line at, control characters a terminal acts on";
}

TEST(EventJson, NameIsTheTextUpToTheFirstNulOrAllFiftyTwoBytes) {
    MiniMapNpcInfoMap npcs;
    _MiniMapNpcInfo record = proto::MakeNpc(1, "Ab", 0, 0, 0, 0);
    reinterpret_cast<char*>(&record)[8 + 3] = 'Z';  // after the NUL: not part of the name
    npcs[1] = record;
    npcs[2] = proto::MakeNpc(2, std::string(52, 'x'), 0, 0, 0, 0);
    const host::MarkerSnapshot s = host::SnapshotOf({}, npcs, {});
    ASSERT_EQ(s.npcs.size(), 2u);
    EXPECT_EQ(s.npcs[0].name, "Ab");
    EXPECT_EQ(s.npcs[1].name, std::string(52, 'x'));
}

TEST(ClientOutput, WritesEndAtALineEndWhereThePageHasOne) {
    EXPECT_EQ(host::WholeLinesPage("ab\ncd", 8), 5u) << "all of it fits";
    EXPECT_EQ(host::WholeLinesPage("ab\ncd\nefg", 8), 6u) << "cut after the last line end";
    EXPECT_EQ(host::WholeLinesPage("abcdefghij", 8), 8u) << "a line longer than the page";
}

TEST(MapDrawing, PlacesPlayersAndLettersAndMarksSharedCells) {
    host::MarkerSnapshot s;
    s.players.push_back({1, 0.0f, 0.0f});
    s.players.push_back({2, 100.0f, 100.0f});
    s.npcs.push_back({7, "A", 50.0f, 50.0f, 0, -1});
    s.npcs.push_back({8, "B", 0.0f, 0.0f, 0, -1});
    s.npcs.push_back({9, "C", std::nanf(""), 5.0f, 0, -1});
    const auto rows = host::DrawMap(s, 11, 11);
    ASSERT_EQ(rows.size(), 11u);
    EXPECT_EQ(rows[10][0], '*') << "player 1 and NPC B share the bottom left cell";
    EXPECT_EQ(rows[0][10], '@') << "y grows upwards";
    EXPECT_EQ(rows[5][5], 'A');
    int marks = 0;
    for (const auto& row : rows) {
        for (const char c : row) {
            marks += c != ' ' ? 1 : 0;
        }
    }
    EXPECT_EQ(marks, 3) << "a marker without a finite position is not drawn";
}

// The terminal library ends the process when it cannot set up the terminal, so the client
// asks first: only a type the terminal database knows, and one that can move the cursor, is
// drawn on.
TEST(MapDrawing, OnlyATerminalTypeTheDatabaseKnowsAndThatMovesTheCursorIsDrawnOn) {
    const char* saved = std::getenv("TERM");
    const std::string restore = saved != nullptr ? saved : "";
    std::string why;
    setenv("TERM", "xterm", 1);
    EXPECT_TRUE(host::CanDrawMap(why)) << why;
    setenv("TERM", "pyr-no-such-terminal", 1);
    EXPECT_FALSE(host::CanDrawMap(why));
    EXPECT_EQ(why, "the terminal type \"pyr-no-such-terminal\" is unknown");
    setenv("TERM", "dumb", 1);
    EXPECT_FALSE(host::CanDrawMap(why));
    EXPECT_EQ(why, "the terminal type \"dumb\" cannot move the cursor");
    unsetenv("TERM");
    EXPECT_FALSE(host::CanDrawMap(why));
    EXPECT_EQ(why, "TERM is not set");
    if (saved != nullptr) {
        setenv("TERM", restore.c_str(), 1);
    }
}

// Names line up by the columns they take, not their bytes: a CJK character takes two, an
// accented letter one, a combining mark none; a wide character never shows half.
TEST(MapDrawing, TextIsFittedByTheColumnsItTakes) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    EXPECT_EQ(host::FitColumns("\u00c9lodie", 3), "\u00c9lo");
    EXPECT_EQ(host::FitColumns("\u738b\u5c0f\u660e", 5), "\u738b\u5c0f");
    EXPECT_EQ(host::FitColumns("e\u0301x", 1), "e\u0301");
    EXPECT_EQ(host::FitColumns("ab", 5), "ab");
    EXPECT_EQ(host::FitColumns("\xff\xfe", 1), "\xff") << "a byte the locale cannot read is one";
    std::setlocale(LC_ALL, saved.c_str());
}

// The key loop never reads an input that has ended (each read would answer at once, for
// ever), reads a pipe's keys written before its end, and ends with a terminal that hung up.
TEST(MapDrawing, KeyInputTellsKeysFromAnEndedInputAndAHungUpTerminal) {
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    EXPECT_EQ(host::CheckKeyInput(null), host::KeyInput::None);
    ::close(null);

    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    EXPECT_EQ(host::CheckKeyInput(pipe[0]), host::KeyInput::Keys) << "open, nothing yet";
    ASSERT_EQ(::write(pipe[1], "q", 1), 1);
    ::close(pipe[1]);
    EXPECT_EQ(host::CheckKeyInput(pipe[0]), host::KeyInput::Keys) << "a key before the end";
    char key = 0;
    ASSERT_EQ(::read(pipe[0], &key, 1), 1);
    EXPECT_EQ(host::CheckKeyInput(pipe[0]), host::KeyInput::None);
    ::close(pipe[0]);

    int master = -1;
    int terminal = -1;
    ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(host::CheckKeyInput(terminal), host::KeyInput::Keys);
    ::close(master);
    EXPECT_EQ(host::CheckKeyInput(terminal), host::KeyInput::Gone);
    ::close(terminal);
    EXPECT_EQ(host::CheckKeyInput(terminal), host::KeyInput::None) << "closed";
}

TEST(MapDrawing, SpanGrowsToHoldMarkersOutsideTheUsualSquare) {
    host::MarkerSnapshot s;
    s.players.push_back({1, -100.0f, 0.0f});
    s.players.push_back({2, 100.0f, 0.0f});
    const auto rows = host::DrawMap(s, 21, 3);
    EXPECT_EQ(rows[2][0], '@');
    EXPECT_EQ(rows[2][20], '@');
}

TEST(ClientCommandLine, ReadsEveryOptionAndRefusesWhatItDoesNotKnow) {
    const char* argv[] = {
        "minimap-client", "--server", "127.0.0.1:7450", "--poll",   "off",
        "--battle",       "on",       "--query",        "-1",       "--duration-ms",
        "5000",           "--events", "jsonl",          "--plugin", "a.so",
        "--plugin",       "b.so"};
    host::ClientOptions options;
    std::string error;
    ASSERT_TRUE(host::ParseClientOptions(17, argv, options, error)) << error;
    EXPECT_EQ(options.plugins, (std::vector<std::string>{"a.so", "b.so"}));
    EXPECT_EQ(options.serverHost, "127.0.0.1");
    EXPECT_EQ(options.serverPort, 7450);
    EXPECT_FALSE(options.poll);
    EXPECT_TRUE(options.battle);
    EXPECT_EQ(options.query, -1);
    EXPECT_EQ(options.durationMs, 5000);
    EXPECT_TRUE(options.jsonEvents);

    const std::vector<std::vector<const char*>> bad = {
        {"c", "--poll", "maybe"}, {"c", "--server", "nohost"},
        {"c", "--query", "12x"},  {"c", "--duration-ms", "-5"},
        {"c", "--events", "xml"}, {"c", "--frobnicate", "1"},
        {"c", "--server"},        {"c", "--server", "h:1", "--scenario", "a.scn"},
        {"c", "--plugin"},        {"c", "--plugin", "a.so", "b.so"},
    };
    for (const auto& args : bad) {
        host::ClientOptions ignored;
        EXPECT_FALSE(
            host::ParseClientOptions(static_cast<int>(args.size()), args.data(), ignored, error))
            << args[1];
        EXPECT_FALSE(error.empty());
    }
}

// --duration-ms takes any count up to the largest int64; one the clock cannot add to now (a
// "forever") must not wrap into the past and end the run at once.
TEST(ClientCommandLine, DurationTooLongForTheClockSetsNoDeadline) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(cli::DeadlineAfter(start, 0), start);
    EXPECT_EQ(cli::DeadlineAfter(start, 5000), start + std::chrono::seconds(5));
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - start);
    EXPECT_EQ(cli::DeadlineAfter(start, room.count() - 1),
              start + room - std::chrono::milliseconds(1));
    for (const std::int64_t ms : {room.count(), std::numeric_limits<std::int64_t>::max()}) {
        EXPECT_FALSE(cli::DeadlineAfter(start, ms)) << ms;
    }
}

// A program started with standard output closed must not let its next descriptor (a socket, the
// archive being written) take number 1 and receive what it prints.
TEST(ClientCommandLine, ClosedStandardOutputIsReplacedByDevNullAndReported) {
    const int saved = dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    std::fflush(stdout);
    close(STDOUT_FILENO);
    const bool closed = cli::OpenClosedStandardStreams();
    const bool again = cli::OpenClosedStandardStreams();
    std::error_code error;
    const auto target = std::filesystem::read_symlink("/proc/self/fd/1", error);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(again) << "an open standard output is left alone";
    EXPECT_EQ(target, "/dev/null") << error.message();
}

// A closed terminal stops a program as Ctrl-C and kill do, unless the program was started to
// outlive its terminal: nohup starts it with SIGHUP ignored.
TEST(ClientCommandLine, HangUpIsAStopSignalUnlessTheProgramStartedIgnoringIt) {
    struct sigaction saved {};
    ASSERT_EQ(sigaction(SIGHUP, nullptr, &saved), 0);
    std::signal(SIGHUP, SIG_DFL);
    const sigset_t fromATerminal = cli::StopSignalSet();
    std::signal(SIGHUP, SIG_IGN);
    const sigset_t fromNohup = cli::StopSignalSet();
    sigaction(SIGHUP, &saved, nullptr);

    for (const sigset_t& set : {fromATerminal, fromNohup}) {
        EXPECT_TRUE(sigismember(&set, SIGINT) == 1 && sigismember(&set, SIGTERM) == 1);
        EXPECT_EQ(sigismember(&set, SIGUSR2), 0);
    }
    EXPECT_EQ(sigismember(&fromATerminal, SIGHUP), 1);
    EXPECT_EQ(sigismember(&fromNohup, SIGHUP), 0);
}

struct SignalCounter {
    int count = 0;
    void Count() { ++count; }
};

TEST(RoleSystem, ResetMakesANewCurrentRoleKeepsTheOldOneAliveAndEmitsOnce) {
    host::RoleSystem roles(true);
    SignalCounter counter;
    roles.RoleResetSignal.Add(os::bind(&SignalCounter::Count, &counter));

    const pyr::RoleHandle before = roles.GetCurrentRole();
    ASSERT_TRUE(before);
    auto* info = dynamic_cast<pyr::IRoleBattleInfo*>(before.role->GetRoleEntity(28));
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(info->GetBattleFlag());
    EXPECT_EQ(before.role->GetRoleEntity(27), nullptr);

    roles.ResetRole();
    EXPECT_EQ(counter.count, 1);
    const pyr::RoleHandle after = roles.GetCurrentRole();
    EXPECT_NE(after.role, before.role);
    EXPECT_EQ(roles.GetRoleSerial(), 2u);
    EXPECT_TRUE(roles.GetBattleFlag()) << "the battle flag carries over";
    // A handle taken before the reset (as by a poll run on another thread) still works.
    EXPECT_NE(before.role->GetRoleEntity(28), nullptr);

    roles.SetBattleFlag(false);
    EXPECT_FALSE(
        dynamic_cast<pyr::IRoleBattleInfo*>(after.role->GetRoleEntity(28))->GetBattleFlag());
    roles.RoleResetSignal.Remove(os::bind(&SignalCounter::Count, &counter));
}

struct ThrowingSubscriber {
    void Throw() { throw os::String("no such container"); }
};

// A subscriber that throws (a plug-in's may, and the container framework throws an os::String)
// must not reach whoever asked for the reset: a server's message, a key, the web page.
TEST(HostileRoleSystem, SubscriberThatThrowsEndsTheEmissionNotTheCaller) {
    host::RoleSystem roles(false);
    SignalCounter counter;
    ThrowingSubscriber thrower;
    roles.RoleResetSignal.Add(os::bind(&SignalCounter::Count, &counter));
    roles.RoleResetSignal.Add(os::bind(&ThrowingSubscriber::Throw, &thrower));
    test::LogCapture log;
    EXPECT_NO_THROW(roles.ResetRole());
    EXPECT_EQ(roles.GetRoleSerial(), 2u);
    EXPECT_EQ(counter.count, 1);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{
                               "role system: a role-reset subscriber threw: no such container"});
    roles.RoleResetSignal.DisconnectAll();
}

// Resets from a hostile or busy server: every role that no handle holds any more is freed, so
// the number of live roles stays flat however many resets come.
TEST(HostileRoleSystem, ResetFloodLeavesOnlyTheCurrentRoleAndThoseStillInAHandle) {
    const std::size_t before = host::Role::GetLiveCount();
    {
        host::RoleSystem roles(false);
        pyr::RoleHandle held = roles.GetCurrentRole();
        for (int i = 0; i < 10000; ++i) {
            roles.ResetRole();
        }
        EXPECT_EQ(roles.GetRoleSerial(), 10001u);
        EXPECT_EQ(host::Role::GetLiveCount(), before + 2) << "the current role and the held one";
        // The held role is still whole: a poll run on another thread may be reading it.
        auto* info = dynamic_cast<pyr::IRoleBattleInfo*>(held.role->GetRoleEntity(28));
        ASSERT_NE(info, nullptr);
        EXPECT_FALSE(info->GetBattleFlag());
        const pyr::RoleHandle copy = held;
        held = pyr::RoleHandle{};
        EXPECT_EQ(host::Role::GetLiveCount(), before + 2) << "a copy still holds it";
    }
    EXPECT_EQ(host::Role::GetLiveCount(), before);
}

TEST(RoleSystemThreads, HandlesTakenDuringResetsOnAnotherThreadStayReadableAndAreFreed) {
    const std::size_t before = host::Role::GetLiveCount();
    {
        host::RoleSystem roles(false);
        std::latch start(2);
        std::atomic<bool> resetting{true};
        std::thread poller([&] {
            start.arrive_and_wait();
            // At least once after the last reset, so the loop ends however the threads meet.
            bool last = false;
            while (!last) {
                last = !resetting.load();
                const pyr::RoleHandle role = roles.GetCurrentRole();
                auto* info = dynamic_cast<pyr::IRoleBattleInfo*>(role.role->GetRoleEntity(28));
                EXPECT_NE(info, nullptr);
                EXPECT_FALSE(info->GetBattleFlag());
            }
        });
        start.arrive_and_wait();
        for (int i = 0; i < 2000; ++i) {
            roles.ResetRole();
        }
        resetting = false;
        poller.join();
        EXPECT_EQ(host::Role::GetLiveCount(), before + 1);
    }
    EXPECT_EQ(host::Role::GetLiveCount(), before);
}

// The simulator greets with Hello first on every connection: a RoleReset before it, or before
// a Hello this client can read, is not the simulator's, and resets nothing.
TEST(HostileSimulatorLink, RoleResetBeforeHelloIsIgnoredAndCountedOnEveryConnection) {
    host::GameServerClient client(host::GameServerClientOptions{});
    host::RoleSystem roles(false);
    host::SimulatorLink link(client, roles);
    link.Install();
    struct Sender : ISender {
    } sender;
    const auto deliver = [&](const std::vector<char>& bytes) {
        ReceivedNetMsg msg;
        ASSERT_TRUE(ParseNetMsg(bytes.data(), bytes.size(), msg));
        (*client.MsgTypeDispatcher)(&sender, msg.Get());
    };
    test::LogCapture capture;
    deliver(sim::EncodeRoleReset());
    deliver(sim::EncodeRoleReset());
    EXPECT_EQ(roles.GetRoleSerial(), 1u);
    EXPECT_EQ(link.GetRoleResets(), 0u);
    EXPECT_EQ(link.GetIgnoredRoleResets(), 2u);
    ASSERT_EQ(capture.Lines().size(), 1u) << "one line per connection, not per message";
    EXPECT_NE(capture.Lines()[0].find("RoleReset before Hello ignored"), std::string::npos);

    // A Hello without its version, or of a version this client does not speak, greets nobody.
    deliver({0x21, 0x00, 0x01, 0x00, 0x06, 0x00});
    deliver({0x21, 0x00, 0x01, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00});
    deliver(sim::EncodeRoleReset());
    EXPECT_EQ(roles.GetRoleSerial(), 1u);
    ASSERT_EQ(capture.Lines().size(), 3u);
    EXPECT_NE(capture.Lines()[1].find("Hello without its extension version (chunk 0, a 4-byte "
                                      "int) ignored"),
              std::string::npos);
    EXPECT_NE(capture.Lines()[2].find("Hello of extension version 2 ignored: this client speaks "
                                      "version 1"),
              std::string::npos);

    deliver(sim::EncodeHello());
    deliver(sim::EncodeRoleReset());
    EXPECT_EQ(roles.GetRoleSerial(), 2u);
    EXPECT_EQ(link.GetRoleResets(), 1u);

    // A new connection must greet again.
    link.OnConnection(false);
    deliver(sim::EncodeRoleReset());
    EXPECT_EQ(roles.GetRoleSerial(), 2u);
    EXPECT_EQ(link.GetIgnoredRoleResets(), 4u);
    EXPECT_EQ(capture.Lines().size(), 4u);
    link.Uninstall();
}

/// A handler that records the messages it is given; a test waits for them.
class Inbox {
public:
    void Take(ISender* sender, const NetMsg* msg) {
        std::lock_guard<std::mutex> guard(mutex);
        senders += sender != nullptr ? 1 : 0;
        messages.emplace_back(msg->GetBytes(), msg->GetBytes() + msg->GetLength());
        arrived.notify_all();
    }
    bool WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> guard(mutex);
        return arrived.wait_for(guard, std::chrono::milliseconds(test::kWaitMs),
                                [&] { return messages.size() >= count; });
    }
    std::vector<std::vector<char>> Messages() {
        std::lock_guard<std::mutex> guard(mutex);
        return messages;
    }
    int senders = 0;

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::vector<char>> messages;
};

using test::ConnectionWatch;

host::GameServerClientOptions OptionsFor(const test::Listener& listener) {
    host::GameServerClientOptions options;
    options.port = listener.Port();
    options.timeScale = 0.01;
    return options;
}

/// The client at every log level, or at the default ones: it works alike, and only with level 0
/// on does it trace each message it sends, cannot send or receives, one line each.
class GameServerClientAtLevels : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(GameServerClientAtLevels, SendsExactBytesAndDeliversCheckedMessagesByType) {
    test::LogCapture log(GetParam());
    test::Listener listener;
    host::GameServerClient client(OptionsFor(listener));
    Inbox inbox;
    client.MsgTypeDispatcher->Register(32, os::bind(&Inbox::Take, &inbox));
    ConnectionWatch watch;
    client.SetConnectionObserver([&](bool up) { watch.Changed(up); });

    const std::vector<char> poll = sim::EncodePoll();
    NetMsg before(32, 255);
    const int five = 5;
    before.AddChunk(&five, 4, 0);
    EXPECT_FALSE(client.SendNetMsg(&before)) << "nothing is sent without a connection";

    client.Start();
    test::Socket server = listener.Accept();
    ASSERT_TRUE(server.IsOpen());
    ASSERT_TRUE(watch.WaitUps(1));
    EXPECT_TRUE(client.SendNetMsg(&before));
    std::vector<char> received;
    ASSERT_TRUE(server.ReadMessage(received));
    EXPECT_EQ(received, poll);

    // Type 33 has no handler: dropped. Type 32 reaches the handler, with a sender.
    ASSERT_TRUE(server.Send(sim::EncodeHello()));
    ASSERT_TRUE(server.Send(sim::EncodeQueryEnd()));
    ASSERT_TRUE(inbox.WaitFor(1));
    EXPECT_EQ(inbox.Messages()[0], sim::EncodeQueryEnd());
    EXPECT_EQ(inbox.senders, 1);
    client.Stop();
    EXPECT_FALSE(client.SendNetMsg(&before));
    client.MsgTypeDispatcher->Unregister(32);

    std::vector<std::string> traced;
    for (const test::CapturedRecord& record : log.Records()) {
        if (record.level == 0) {
            traced.push_back(record.text.substr(record.text.find(": ") + 2));
        }
    }
    std::vector<std::string> expected;
    if ((GetParam() & 1u) != 0) {
        const std::string refused = "not sent, no connection: Poll (type 32, id 255), 14 bytes";
        expected = {refused, "sent Poll (type 32, id 255), 14 bytes",
                    "received Hello (type 33, id 1), 14 bytes",
                    "received QueryEnd (type 32, id 254), 14 bytes", refused};
    }
    EXPECT_EQ(traced, expected);
}

INSTANTIATE_TEST_SUITE_P(Levels, GameServerClientAtLevels, ::testing::Values(~0u, ~0u << 3),
                         [](const ::testing::TestParamInfo<std::uint32_t>& info) {
                             return std::string(info.param == ~0u ? "Trace" : "Default");
                         });

TEST(GameServerClient, MalformedMessageClosesTheConnectionAndTheClientComesBack) {
    test::Listener listener;
    host::GameServerClient client(OptionsFor(listener));
    Inbox inbox;
    client.MsgTypeDispatcher->Register(32, os::bind(&Inbox::Take, &inbox));
    client.Start();
    {
        test::Socket first = listener.Accept();
        ASSERT_TRUE(first.IsOpen());
        // Chunk size 2: below its own 4-byte header.
        const unsigned char bad[] = {0x20, 0x00, 0xFE, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x02, 0x00};
        ASSERT_TRUE(first.Send(bad, sizeof bad));
        EXPECT_TRUE(first.WaitClosed());
    }
    test::Socket second = listener.Accept();
    ASSERT_TRUE(second.IsOpen()) << "no reconnection";
    ASSERT_TRUE(second.Send(sim::EncodeQueryEnd()));
    ASSERT_TRUE(inbox.WaitFor(1));
    EXPECT_EQ(inbox.Messages().size(), 1u) << "the malformed message reached no handler";
    EXPECT_EQ(client.GetStats().malformed, 1u);
    client.Stop();
    client.MsgTypeDispatcher->Unregister(32);
}

// What a user sees at the default level: each change of the connection's state once, however
// often the client retries while the state stays the same.
TEST(GameServerClient, SaysEachConnectionStateChangeOnceNotEachRetry) {
    test::LogCapture log((1u << 1) | (1u << 3));
    auto listener = std::make_unique<test::Listener>();
    host::GameServerClient client(OptionsFor(*listener));
    ConnectionWatch watch;
    client.SetConnectionObserver([&](bool up) { watch.Changed(up); });
    client.Start();
    {
        test::Socket server = listener->Accept();
        ASSERT_TRUE(server.IsOpen());
        ASSERT_TRUE(watch.WaitUps(1));
        listener.reset();  // nothing listens any more: every retry is refused
    }
    // The close, then at least three refused attempts.
    ASSERT_TRUE(log.WaitForRecords("reconnecting in", 4, test::kWaitMs));
    client.Stop();

    std::vector<std::string> said;
    for (const test::CapturedRecord& record : log.Records()) {
        if (record.level == 3) {
            said.push_back(record.text.substr(record.text.find(": ") + 2));
        }
    }
    const std::vector<std::string> expected = {"connected",
                                               "connection closed by the server; retrying",
                                               "cannot connect: Connection refused; retrying"};
    EXPECT_EQ(said, expected);
}

// A server whose packets are dropped (a firewall) answers no connection attempt: each is given
// up after the time limit, said once, and tried again.
TEST(GameServerClient, ConnectionAttemptWithoutAnswerIsGivenUpSaidAndTriedAgain) {
    // Backlog 0 and one connection nobody accepts: the listen queue is full, and the system
    // drops every further SYN.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    test::LogCapture log((1u << 1) | (1u << 3));
    host::GameServerClientOptions options;
    options.port = ntohs(address.sin_port);
    options.timeScale = 0.01;
    options.connectTimeoutMs = 50;
    host::GameServerClient client(options);
    client.Start();
    ASSERT_TRUE(log.WaitForRecords("cannot connect: no answer within 50 ms; reconnecting in", 3,
                                   test::kWaitMs));
    client.Stop();
    EXPECT_EQ(client.GetStats().connects, 0u);
    std::size_t said = 0;
    for (const test::CapturedRecord& record : log.Records()) {
        said += record.level == 3 ? 1 : 0;
        if (record.level == 3) {
            EXPECT_NE(record.text.find("cannot connect: no answer within 50 ms; retrying"),
                      std::string::npos)
                << record.text;
        }
    }
    EXPECT_EQ(said, 1u) << "once, not at each attempt";
    ::close(queued);
    ::close(listener);
}

TEST(GameServerClient, ServerThatNeverReadsMakesSendsFailInsteadOfBlocking) {
    test::Listener listener;
    host::GameServerClientOptions options = OptionsFor(listener);
    options.maxQueuedBytes = 128 * 1024;
    host::GameServerClient client(options);
    ConnectionWatch watch;
    client.SetConnectionObserver([&](bool up) { watch.Changed(up); });
    client.Start();
    test::Socket server = listener.Accept();
    ASSERT_TRUE(server.IsOpen());
    ASSERT_TRUE(watch.WaitUps(1));

    EXPECT_TRUE(test::SendUntilRefused(client));
    EXPECT_GE(client.GetStats().refused, 1u);
    client.Stop();
}

TEST(GameServerClient, HandlerMayUnregisterItselfWhileItIsDispatched) {
    host::LockedMsgTypeDispatcher dispatcher;
    int calls = 0;
    dispatcher.Register(32, [&](ISender*, const NetMsg*) {
        ++calls;
        dispatcher.Unregister(32);  // would deadlock if the handler ran under the leaf lock
    });
    const auto bytes = sim::EncodeQueryEnd();
    ReceivedNetMsg msg;
    ASSERT_TRUE(ParseNetMsg(bytes.data(), bytes.size(), msg));
    struct Sender : ISender {
    } sender;
    dispatcher(&sender, msg.Get());
    dispatcher(&sender, msg.Get());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(dispatcher.CountHandlers(), 0u);
}

}  // namespace
