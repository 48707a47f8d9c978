// The reference host's game-server client: one TCP connection to the game server, kept up.
//
// The stream is a sequence of message images, each delimited by its header's length field.
// The client reads whatever the socket holds, up to 256 KiB a read, and frames every complete
// message in those bytes; each is checked by the message parser before it is routed by
// msgType through MsgTypeDispatcher, in the order received; a message that does not parse is logged
// with the reason and the connection is closed. Lost connections (closed, cut mid-message,
// malformed, refused) are retried with back-off: 100 ms, doubling to 2 s, times the core timer's
// scale; the back-off starts over once a connection has delivered a valid message. The log
// says each change of state once at level 3 (connected; connection lost or closed; cannot
// connect or resolve, retrying), each retry at level 1, and traces each message sent, refused
// or received at level 0 (one line each, built only when level 0 is enabled).
//
// SendNetMsg copies the message's GetLength() bytes into a bounded send queue of the current
// connection and returns true; it returns false, sending nothing, when there is no connection
// or the queue is full (a server that stops reading cannot make a sender wait or the client
// hoard memory). It never blocks on the network.
//
// Threads and locks: the connection runs on a thread of its own, which delivers every received
// message (the locks the client itself takes, around its counters and the connection's
// generation, are taken once per read, not per message); a handler is looked up under the
// dispatcher's leaf lock and called without it, so a handler may take the client core lock (lock
// order: core lock, container locks, then leaf locks). Stop joins that thread: never call it
// holding the client core lock, which a delivery in progress may be waiting for.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>

#include "SceneSystem/Interfaces/IGameServerClient.h"
#include "capture/WireTap.h"
#include "function/LockedDispatcher.h"

namespace host {

/// The type dispatcher with its own leaf lock around the table: plug-ins register and
/// unregister from their threads while the network thread dispatches.
using LockedMsgTypeDispatcher = LockedDispatcher<pyr::MsgTypeDispatcherType>;

struct GameServerClientOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    /// Bytes the send queue may hold; a send beyond is refused.
    std::size_t maxQueuedBytes = 256 * 1024;
    int backoffMinMs = 100;
    int backoffMaxMs = 2000;
    /// A connection attempt that has no answer after this long (a server behind a firewall
    /// that drops its packets) is given up and tried again, as a refused one. Not scaled: it
    /// is the network's time, not the game's.
    int connectTimeoutMs = 10000;
    /// Multiplies the back-off; 0 takes the core timer's scale.
    double timeScale = 0;
    /// Told every connection and every message's bytes as they went over the wire (a
    /// capture); not owned, outlives the client. Null: nothing is told.
    capture::IWireTap* tap = nullptr;
};

struct GameServerClientStats {
    std::uint64_t connects = 0;
    std::uint64_t disconnects = 0;
    std::uint64_t malformed = 0;
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
    std::uint64_t refused = 0;  ///< sends refused: no connection or queue full
};

/// Sees every message the client hands to the handlers: the host's own view uses it to learn
/// which markers a message touches. Called on the network thread, without any lock held.
class ReceiveTap {
public:
    virtual ~ReceiveTap() = default;
    /// Right before the message is dispatched.
    virtual void OnReceived(const NetMsg& msg) = 0;
    /// After the last message of one read was dispatched.
    virtual void OnBatchDelivered() = 0;
};

class GameServerClient final
    : public pyr::Container<GameServerClient, GameServerClientTypeId, pyr::IGameServerClient> {
public:
    explicit GameServerClient(GameServerClientOptions options);
    /// Stops the connection if it still runs.
    ~GameServerClient() override;

    std::uint16_t GetContainerOrder() const override { return 20; }

    bool SendNetMsg(NetMsg* msg) override;

    /// Called on the network thread, without any lock held, each time a connection comes up
    /// (true) or goes down (false). Set before Start.
    void SetConnectionObserver(std::function<void(bool connected)> observer);

    /// The tap, or null; it must outlive Stop. Set before Start.
    void SetReceiveTap(ReceiveTap* tap);

    /// Starts connecting on the network thread.
    void Start();
    /// Closes the connection and joins the network thread. Idempotent. Not with the client
    /// core lock held (see the top of this file).
    void Stop();

    bool IsConnected() const;
    GameServerClientStats GetStats() const;
    /// "HOST:PORT".
    std::string GetServerName() const;
    LockedMsgTypeDispatcher& GetDispatcher() noexcept { return dispatcher; }

private:
    struct Impl;
    LockedMsgTypeDispatcher dispatcher;
    std::unique_ptr<Impl> impl;
};

}  // namespace host
