// The reference host's game-server client against a server that does not play by the rules:
// random bytes, length fields at and beyond the limits, messages trickled a few bytes at a
// time, connections cut, hundreds of reconnections, and a server that never reads while the
// minimap module polls through the client on the timer thread. The client must deliver
// exactly the messages a correct receiver takes, drop the connection at the first malformed
// one, come back every time, and never make a sender wait. The client runs a network thread:
// suites here carry the label concurrency.
#include <gtest/gtest.h>

#include <condition_variable>
#include <latch>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "function/Bind.h"
#include "hardening/ModuleBench.h"
#include "host/GameServerClient.h"
#include "net/NetMsg.h"
#include "plinth/Timer.h"
#include "support/ConnectionWatch.h"
#include "support/FillSendQueue.h"
#include "support/LogCapture.h"
#include "support/Loopback.h"

namespace hardening {
namespace {

using Wire = std::vector<unsigned char>;

/// What the minimap's handler would get: every message of type 32, each checked again.
class Inbox {
public:
    void Take(ISender* sender, const NetMsg* msg) {
        ReceivedNetMsg again;
        const bool valid = sender != nullptr && msg != nullptr &&
                           static_cast<bool>(ParseNetMsg(msg->GetBytes(), msg->GetLength(), again));
        const auto* bytes = reinterpret_cast<const unsigned char*>(msg->GetBytes());
        std::lock_guard<std::mutex> guard(mutex);
        allValid = allValid && valid;
        messages.emplace_back(bytes, bytes + msg->GetLength());
        arrived.notify_all();
    }
    bool WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> guard(mutex);
        return arrived.wait_for(guard, std::chrono::milliseconds(test::kWaitMs),
                                [&] { return messages.size() >= count; });
    }
    std::vector<Wire> Messages() {
        std::lock_guard<std::mutex> guard(mutex);
        return messages;
    }
    bool AllValid() {
        std::lock_guard<std::mutex> guard(mutex);
        return allValid;
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Wire> messages;
    bool allValid = true;
};

using test::ConnectionWatch;

/// A client of a loopback listener, with its type-32 messages going to an inbox.
struct ClientBench {
    explicit ClientBench(std::size_t maxQueuedBytes = 256 * 1024)
        : client(Options(maxQueuedBytes)) {
        client.MsgTypeDispatcher->Register(pyr::MiniMapMsgType, os::bind(&Inbox::Take, &inbox));
        client.SetConnectionObserver([this](bool up) { watch.Changed(up); });
    }
    ~ClientBench() {
        client.Stop();
        client.MsgTypeDispatcher->Unregister(pyr::MiniMapMsgType);
    }
    host::GameServerClientOptions Options(std::size_t maxQueuedBytes) {
        host::GameServerClientOptions options;
        options.port = listener.Port();
        options.maxQueuedBytes = maxQueuedBytes;
        options.timeScale = 0.01;  // back-off 1 ms, doubling to 20 ms
        return options;
    }

    test::LogCapture log;  // the client's connection lines stay out of the test output
    test::Listener listener;
    Inbox inbox;
    ConnectionWatch watch;
    host::GameServerClient client;
};

Wire Message(std::uint16_t type, std::uint16_t id, const std::vector<Wire>& chunks) {
    Wire body;
    std::uint16_t position = 0;
    for (const Wire& data : chunks) {
        const auto size = static_cast<std::uint16_t>(data.size() + 4);
        body.insert(body.end(),
                    {static_cast<unsigned char>(position), 0, static_cast<unsigned char>(size),
                     static_cast<unsigned char>(size >> 8)});
        body.insert(body.end(), data.begin(), data.end());
        ++position;
    }
    const auto length = static_cast<std::uint16_t>(body.size() + 6);
    Wire wire = {static_cast<unsigned char>(type),   static_cast<unsigned char>(type >> 8),
                 static_cast<unsigned char>(id),     static_cast<unsigned char>(id >> 8),
                 static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8)};
    wire.insert(wire.end(), body.begin(), body.end());
    return wire;
}

/// What a correct receiver makes of a stream that ends where `wire` ends: the type-32
/// messages before the first malformed one, and whether there was a malformed one (an
/// incomplete message at the end is a cut connection, not a malformed message).
struct Expected {
    std::vector<Wire> delivered;
    bool malformed = false;
};

Expected Receive(const Wire& wire) {
    Expected expected;
    std::size_t offset = 0;
    while (wire.size() - offset >= 6) {
        const std::size_t length = wire[offset + 4] | (wire[offset + 5] << 8);
        if (length < 6 || length > 64512) {
            expected.malformed = true;
            break;
        }
        if (wire.size() - offset < length) {
            break;
        }
        ReceivedNetMsg msg;
        if (!ParseNetMsg(wire.data() + offset, length, msg)) {
            expected.malformed = true;
            break;
        }
        if (msg.Get()->GetMsgType() == pyr::MiniMapMsgType) {
            expected.delivered.emplace_back(
                wire.begin() + static_cast<std::ptrdiff_t>(offset),
                wire.begin() + static_cast<std::ptrdiff_t>(offset + length));
        }
        offset += length;
    }
    return expected;
}

/// A stream of random bytes around real messages: some intact, some with bytes flipped, some
/// pure noise, some cut short.
Wire HostileStream(std::mt19937& random) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> pick(0, 9);
    Wire wire;
    const int pieces = 1 + pick(random) % 4;
    for (int p = 0; p < pieces; ++p) {
        const int kind = pick(random);
        if (kind < 5) {
            std::vector<Wire> chunks;
            const int count = pick(random) % 4;
            for (int c = 0; c < count; ++c) {
                Wire data(static_cast<std::size_t>(pick(random) * 9));
                for (auto& b : data) {
                    b = static_cast<unsigned char>(byte(random));
                }
                chunks.push_back(data);
            }
            Wire message = Message(kind == 0 ? 33 : 32, 254, chunks);
            if (kind >= 3) {
                // Damage one byte of it: often the length or a chunk size.
                message[static_cast<std::size_t>(byte(random)) % message.size()] ^=
                    static_cast<unsigned char>(1 + byte(random) % 255);
            }
            wire.insert(wire.end(), message.begin(), message.end());
        } else {
            const int n = 1 + byte(random);
            for (int i = 0; i < n; ++i) {
                wire.push_back(static_cast<unsigned char>(byte(random)));
            }
        }
    }
    if (pick(random) < 3) {
        wire.resize(wire.size() - wire.size() / 3);  // cut short
    }
    return wire;
}

TEST(HostileServerThreads,
     RandomBytesOnEveryConnectionDeliverExactlyTheValidMessagesBeforeTheFirstBadOne) {
    ClientBench bench;
    bench.client.Start();
    std::mt19937 random(20240517);
    constexpr int kConnections = 40;
    std::vector<Wire> expected;
    std::uint64_t malformed = 0;
    for (int i = 0; i < kConnections; ++i) {
        test::Socket server = bench.listener.Accept();
        ASSERT_TRUE(server.IsOpen()) << "the client did not come back for connection " << i;
        const Wire wire = HostileStream(random);
        const Expected e = Receive(wire);
        expected.insert(expected.end(), e.delivered.begin(), e.delivered.end());
        malformed += e.malformed ? 1 : 0;
        // The client may close first (at a malformed message): the send may then fail.
        server.Send(wire);
        server.Close();
        ASSERT_TRUE(bench.watch.WaitDowns(i + 1)) << "connection " << i << " never ended";
    }

    test::Socket healthy = bench.listener.Accept();
    ASSERT_TRUE(healthy.IsOpen());
    const Wire last = Message(32, 254, {{2, 0, 0, 0}});
    ASSERT_TRUE(healthy.Send(last));
    expected.push_back(last);
    ASSERT_TRUE(bench.inbox.WaitFor(expected.size()));
    EXPECT_EQ(bench.inbox.Messages(), expected);
    EXPECT_TRUE(bench.inbox.AllValid());
    const host::GameServerClientStats stats = bench.client.GetStats();
    EXPECT_EQ(stats.malformed, malformed);
    EXPECT_EQ(stats.connects, static_cast<std::uint64_t>(kConnections + 1));
}

TEST(HostileServerThreads, LengthFieldsAtAndBeyondTheLimitsAreJudgedExactly) {
    ClientBench bench;
    bench.client.Start();
    const Wire largest = Message(32, 254, {Wire(64512 - 6 - 4, 0xAB)});
    ASSERT_EQ(largest.size(), 64512u);
    struct Case {
        const char* what;
        Wire wire;
        bool delivered;
    };
    std::vector<Case> cases;
    for (unsigned length = 0; length < 6; ++length) {
        cases.push_back({"length below the header",
                         Wire{0x20, 0, 0xFE, 0, static_cast<unsigned char>(length), 0, 1, 2, 3},
                         false});
    }
    cases.push_back({"a message of only its header", Message(32, 254, {}), true});
    cases.push_back({"the largest message", largest, true});
    cases.push_back({"one byte beyond the limit", Wire{0x20, 0, 0xFE, 0, 0x01, 0xFC, 0, 0}, false});
    cases.push_back({"the largest length field", Wire{0x20, 0, 0xFE, 0, 0xFF, 0xFF, 0, 0}, false});
    // Length fields that promise less than the chunks hold, and more.
    Wire shortLength = Message(32, 254, {{2, 0, 0, 0}});
    shortLength[4] = 12;
    cases.push_back({"a length field one short of its chunk", shortLength, false});

    std::size_t delivered = 0;
    std::uint64_t malformed = 0;
    int connection = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::Socket server = bench.listener.Accept();
        ASSERT_TRUE(server.IsOpen());
        server.Send(c.wire);
        server.Close();
        ASSERT_TRUE(bench.watch.WaitDowns(++connection));
        delivered += c.delivered ? 1 : 0;
        malformed += c.delivered ? 0 : 1;
        ASSERT_TRUE(bench.inbox.WaitFor(delivered));
        EXPECT_EQ(bench.inbox.Messages().size(), delivered);
        EXPECT_EQ(bench.client.GetStats().malformed, malformed);
    }
    EXPECT_EQ(bench.inbox.Messages().back(), largest);
}

TEST(HostileServerThreads, MessagesTrickledAFewBytesAtATimeArriveWholeAndInOrder) {
    ClientBench bench;
    bench.client.Start();
    test::Socket server = bench.listener.Accept();
    ASSERT_TRUE(server.IsOpen());

    std::vector<Wire> messages;
    Wire stream;
    for (int i = 0; i < 20; ++i) {
        const Wire m = i == 7 ? Message(32, 254, {Wire(64502, static_cast<unsigned char>(i))})
                              : Message(32, 254,
                                        {{static_cast<unsigned char>(i), 0, 0, 0},
                                         Wire(static_cast<std::size_t>(i * 5), 0x11)});
        messages.push_back(m);
        stream.insert(stream.end(), m.begin(), m.end());
    }
    const std::size_t pieces[] = {1, 2, 3, 5, 7, 11, 13, 4096};
    std::size_t offset = 0;
    for (std::size_t turn = 0; offset < stream.size(); ++turn) {
        const std::size_t n = std::min(pieces[turn % std::size(pieces)], stream.size() - offset);
        ASSERT_TRUE(server.Send(stream.data() + offset, n));
        offset += n;
    }
    ASSERT_TRUE(bench.inbox.WaitFor(messages.size()));
    EXPECT_EQ(bench.inbox.Messages(), messages);
    EXPECT_EQ(bench.client.GetStats().malformed, 0u);
}

TEST(HostileServerThreads, HundredsOfReconnectionsLeaveNoConnectionOrDescriptorBehind) {
    const std::size_t descriptorsBefore = OpenDescriptors();
    {
        ClientBench bench;
        bench.client.Start();
        constexpr int kConnections = 200;
        for (int i = 0; i < kConnections; ++i) {
            test::Socket server = bench.listener.Accept();
            ASSERT_TRUE(server.IsOpen()) << "no connection " << i;
            // A valid message resets the client's back-off, so it comes back at once.
            ASSERT_TRUE(server.Send(Message(32, 254, {{4, 0, 0, 0}})));
            ASSERT_TRUE(bench.inbox.WaitFor(static_cast<std::size_t>(i + 1)));
            server.Close();
            ASSERT_TRUE(bench.watch.WaitDowns(i + 1));
        }
        bench.client.Stop();
        const host::GameServerClientStats stats = bench.client.GetStats();
        EXPECT_GE(stats.connects, static_cast<std::uint64_t>(kConnections));
        EXPECT_EQ(stats.received, static_cast<std::uint64_t>(kConnections));
        EXPECT_EQ(stats.malformed, 0u);
    }
    // The listener, the client's socket and its thread are gone with the bench.
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
}

TEST(HostileServerThreads, ServerThatNeverReadsHoldsUpNeitherThePollTimerNorTheUserInterface) {
    ModuleLibrary module;
    ASSERT_TRUE(module.IsLoaded()) << module.Error();
    test::LogCapture log;
    test::Listener listener;
    host::GameServerClientOptions options;
    options.port = listener.Port();
    options.maxQueuedBytes = 64 * 1024;
    options.timeScale = 0.01;
    host::GameServerClient client(options);
    ConnectionWatch watch;
    client.SetConnectionObserver([&](bool up) { watch.Changed(up); });

    minimaptest::HostContainer host;
    minimaptest::FakeRoleSystem roles;
    minimaptest::FakeRole role;
    minimaptest::FakeBattleInfo battle;
    role.battleEntity = &battle;
    roles.currentRole = &role;
    host.RegisterChildContainer(&client);
    host.RegisterChildContainer(&roles);
    ASSERT_TRUE(module.InitPlugin());
    ASSERT_TRUE(module.InitPluginContainer(&host));
    ASSERT_TRUE(host.StartContainer());
    auto* minimap =
        dynamic_cast<pyr::IPyr_MiniMap*>(host.FindChildContainer(MiniMapContainerTypeId));
    ASSERT_NE(minimap, nullptr);
    minimap->SetPollEnabled(true);

    client.Start();
    test::Socket server = listener.Accept();  // and never read from
    ASSERT_TRUE(server.IsOpen());
    ASSERT_TRUE(watch.WaitUps(1));
    // Fill the socket buffers on both sides and the client's queue.
    ASSERT_TRUE(test::SendUntilRefused(client));
    const host::GameServerClientStats before = client.GetStats();

    // The poll timer's thread and the user interface's keep going: each send is refused at
    // once. A send that blocked would hold this test until its ctest timeout.
    constexpr int kIntervals = 200;
    constexpr int kQueries = 50;
    std::latch go(2);
    std::size_t polls = 0;
    std::thread clock([&] {
        go.arrive_and_wait();
        for (int i = 0; i < kIntervals; ++i) {
            polls += os::GetTimer()->Advance(pyr::MiniMapPollInterval);
        }
    });
    std::thread userInterface([&] {
        go.arrive_and_wait();
        for (int i = 0; i < kQueries; ++i) {
            minimap->RequestNpcQuery(i);
        }
    });
    clock.join();
    userInterface.join();
    EXPECT_EQ(polls, static_cast<std::size_t>(kIntervals));
    // Every request was answered at once, queued or refused (how many of each depends on how
    // much the kernel takes off the queue meanwhile).
    const host::GameServerClientStats after = client.GetStats();
    EXPECT_EQ((after.sent + after.refused) - (before.sent + before.refused),
              static_cast<std::uint64_t>(kIntervals + kQueries));

    // Taken apart in the client core's order: the tree, the module's objects, the network
    // thread (never stopped holding the core lock), the module.
    EXPECT_TRUE(host.ShutdownContainer());
    module.ReleasePluginContainer(&host);
    EXPECT_TRUE(module.ReleasePlugin());
    client.Stop();
    host.UnregisterChildContainer(&roles);
    host.UnregisterChildContainer(&client);
    module.Unload();
    EXPECT_FALSE(os::IsSharedLibraryLoaded(ModulePath()));
}

}  // namespace
}  // namespace hardening
