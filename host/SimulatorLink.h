// SimulatorLink: the host's side of the simulator's extensions (message type 33).
//
// - Hello from the server, of extension version 1: the peer is the simulator; from then on, on
//   this connection, the host sends a Tick once per poll interval. A Hello without a readable
//   version, or of another version, is logged and greets nobody.
// - RoleReset from the server, after its Hello: the role system resets the current role. Hello
//   comes first on every connection, so a RoleReset before it is not the simulator's: it is
//   ignored (counted, and logged once per connection).
// - Tick: a timer chain of the same interval as the minimap's poll timer, started after the
//   minimap's, so that on the one timer thread every tick runs right after a poll run; the
//   server sees "poll, tick, poll, tick" while polling is on, and counts polls between ticks
//   instead of measuring time.
// A real game server never sends Hello, so it never sees a Tick.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "host/GameServerClient.h"
#include "host/RoleSystem.h"
#include "plinth/Timer.h"

class ISender;
class NetMsg;

namespace host {

class SimulatorLink {
public:
    SimulatorLink(GameServerClient& client, RoleSystem& roles) : client(client), roles(roles) {}
    ~SimulatorLink();

    SimulatorLink(const SimulatorLink&) = delete;
    SimulatorLink& operator=(const SimulatorLink&) = delete;

    /// Registers the type-33 handler with the game-server client.
    void Install();
    void Uninstall();
    /// Starts and stops the tick chain. Stop returns once no tick runs or will run.
    void StartTicks();
    void StopTicks();
    /// From the connection observer: a lost connection forgets the Hello.
    void OnConnection(bool up);

    std::uint32_t GetTicksSent() const noexcept { return ticksSent.load(); }
    /// RoleReset messages acted on, and those ignored because no Hello came before them.
    std::uint32_t GetRoleResets() const noexcept { return roleResets.load(); }
    std::uint32_t GetIgnoredRoleResets() const noexcept { return ignoredRoleResets.load(); }

private:
    void OnMessage(ISender* sender, const NetMsg* msg);
    /// Whether `msg` is a Hello of the extension version this client speaks; logs why not.
    static bool IsHelloSpoken(const NetMsg& msg);
    void OnTick(os::Timer* timer, os::TimerID id, void* userData);

    GameServerClient& client;
    RoleSystem& roles;
    std::atomic<bool> helloSeen{false};
    std::atomic<std::uint32_t> ticksSent{0};
    std::atomic<std::uint32_t> roleResets{0};
    std::atomic<std::uint32_t> ignoredRoleResets{0};
    std::atomic<bool> ignoredResetLogged{false};  ///< on this connection
    std::mutex tickMutex;                         ///< a leaf lock around the chain's state
    bool ticking = false;
    os::TimerID tickId;
    std::uint32_t nextSerial = 1;
};

}  // namespace host
