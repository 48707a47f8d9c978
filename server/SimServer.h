// SimServer: the game-server simulator, a TCP server on loopback that speaks the minimap
// protocol and plays a scenario.
//
// Per connection it keeps what that client has been told (ClientView) and answers:
// - a poll (type 32, id 255, code 5) with the store operations since that client's last poll;
// - a query (code 3, argument A) with a QueryResult per NPC of kind A (every NPC for -1) and
//   a QueryEnd.
// It opens each connection with the simulator's Hello and counts the client's Ticks (see
// protocol/MiniMapProtocol.h). Every received message is framed and checked by the message
// parser; a connection that sends a malformed message is logged with the reason and closed.
//
// The scenario runs on the server's clock: its times are multiplied by the time scale (the
// core timer's scale by default, PLINTH_TIMER_SCALE), so a faster client meets a faster world.
// With Clock::Poll the world instead moves one scenario time step after each poll it answered,
// whatever the time: the n-th poll sees the n-th moment of the scenario, so a test sees every
// step, in order. Either way the events at time 0 are played before the first connection.
//
// Load. Answers are streamed: a poll's operations and a query's records are taken when the
// request arrives, but their messages are encoded only as the socket takes them, at most
// kAnswerWindowBytes ahead, and the connection's next request is read once the answer is
// encoded; so an answer of 100,000 NPCs costs its records, not 10 MB of queued bytes. A client
// that takes none of its pending bytes for stallTimeoutMs is closed ("does not read"). At
// maxConnections, or when an accept fails (out of descriptors: EMFILE, ENFILE...), the server
// stops accepting until a connection closes, and tries again at the latest after
// kAcceptRetryMs; clients wait in the listen queue meanwhile. A failing accept is logged once,
// then at most once per kReportIntervalMs with the count of failures since. A connection's
// read buffer grows to the size of the message it receives and is released after a large one,
// so an idle connection holds no message buffer.
//
// Threads: Start runs the network and the scenario on one thread of the server's own; the
// observer and every handler run there. Stop (or destruction) closes every connection and
// joins it. The public operations may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/WireTap.h"
#include "server/Scenario.h"

namespace os {
class Timer;
}

namespace sim {

/// How far a streamed answer is encoded ahead of what the socket took (or half of
/// SimServerOptions::maxPendingBytes, when that is less).
inline constexpr std::size_t kAnswerWindowBytes = 64 * 1024;
/// How often the server checks its deadlines (the stall deadline, the retry of accepting), on
/// the clock of SimServerOptions::timer.
inline constexpr std::int64_t kCheckIntervalMs = 1000;
/// After a failed accept, accepting starts again when a connection closes, or at the latest
/// after this long.
inline constexpr std::int64_t kAcceptRetryMs = kCheckIntervalMs;
/// A repeated condition (a failing accept, the connection limit) is logged at most once per
/// this interval; the line tells how often it happened since the last one.
inline constexpr std::int64_t kReportIntervalMs = 10000;

struct SimServerOptions {
    /// Loopback unless asked otherwise.
    std::string bindAddress = "127.0.0.1";
    /// 0: a free port chosen by the system (see GetPort).
    std::uint16_t port = 0;
    Scenario scenario;
    enum class Clock : std::uint8_t { Time, Poll } clock = Clock::Time;
    /// Multiplies scenario times; 0 takes the core timer's scale.
    double timeScale = 0;
    /// A connection whose unsent bytes would exceed this is closed: a client that never reads
    /// must not make the server hoard memory. Answers count only with what is encoded of them
    /// (at most kAnswerWindowBytes ahead), so this bounds the messages sent unasked (Hello,
    /// RoleReset) that pile up behind a client that does not read.
    std::size_t maxPendingBytes = 1u << 20;
    /// A connection with unsent bytes whose client took none of them for this long (on
    /// `timer`'s clock) is closed: the client does not read.
    std::int64_t stallTimeoutMs = 10000;
    /// Most connections open at once; at the limit the server stops accepting until one
    /// closes. 0: no limit but the process's descriptors.
    std::size_t maxConnections = 1024;
    /// The clock of the deadlines above (milliseconds of Timer::Now; checked every
    /// kCheckIntervalMs). Null: a real-clock timer of the server's own. Tests pass a timer on
    /// the manual clock and advance it. Must outlive the server.
    os::Timer* timer = nullptr;
    /// Told every connection and every message's bytes, both directions, as they went over
    /// the wire (a capture), on the server thread; not owned, outlives the server.
    capture::IWireTap* tap = nullptr;
};

struct SimServerStats {
    std::uint64_t connections = 0;  ///< accepted so far
    std::uint64_t open = 0;         ///< open now
    std::uint64_t polls = 0;
    std::uint64_t queries = 0;
    std::uint64_t ticks = 0;
    std::uint64_t other = 0;      ///< well-formed messages that are none of the above
    std::uint64_t malformed = 0;  ///< connections closed for a malformed message
    std::uint64_t eventsPlayed = 0;
    std::uint64_t acceptFailures = 0;    ///< accepts that failed (each pauses accepting)
    std::uint64_t notReading = 0;        ///< connections closed because the client did not read
    std::uint64_t waitingToWrite = 0;    ///< connections whose socket takes no more bytes now
    std::uint64_t peakPendingBytes = 0;  ///< most unsent bytes of one connection so far
};

/// Called on the server thread with every well-formed message received, before it is
/// handled: the connection's serial (from 1) and the message's bytes.
using MessageObserver = std::function<void(std::uint64_t connection, const std::vector<char>&)>;

class SimServer {
public:
    explicit SimServer(SimServerOptions options);
    /// Stops the server if it runs.
    ~SimServer();

    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    /// Set before Start.
    void SetMessageObserver(MessageObserver observer);

    /// Binds, listens and starts the thread. False, with the reason in `error`, when the
    /// address cannot be bound or the server already started.
    bool Start(std::string& error);
    /// The bound port; 0 before a successful Start.
    std::uint16_t GetPort() const noexcept;
    /// Closes the listener and every connection and joins the thread. Idempotent.
    void Stop();

    SimServerStats GetStats() const;

    /// Waits until `condition` holds for the statistics (checked now and after every change)
    /// or `timeoutMs` passed; returns whether it held. Not from the server's own thread.
    bool WaitForStats(const std::function<bool(const SimServerStats&)>& condition,
                      int timeoutMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

/// "HOST:PORT" -> host and port; false for anything else (a port above 65535, no colon...).
/// An IPv6 address may stand in brackets, as in URLs ("[::1]:7450"); they are not part of
/// `host`. Port 0 (a listener's "any free port") is taken only when `portZero` is set.
bool ParseHostPort(const std::string& text, std::string& host, std::uint16_t& port,
                   bool portZero = false);

}  // namespace sim
