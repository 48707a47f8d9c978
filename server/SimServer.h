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

#include "server/Scenario.h"

namespace sim {

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
    /// must not make the server hoard memory.
    std::size_t maxPendingBytes = 1u << 20;
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
bool ParseHostPort(const std::string& text, std::string& host, std::uint16_t& port);

}  // namespace sim
