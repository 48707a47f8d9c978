// SocketGameServerClient: a small game-server client plug-in over one blocking POSIX TCP
// connection, enough for the example host.
//
// The stream is a sequence of messages, each delimited by its header's length field. A
// thread of its own reads them, checks each with the SDK's parser (FrameNetMsg, ParseNetMsg)
// and hands it to the handler registered under its msgType; a message that does not parse
// ends the connection. SendNetMsg writes the message's bytes on the caller's thread.
//
// Threads and locks: handlers are looked up under the dispatcher's own leaf lock and called
// without it, on the reading thread, so a handler may take the client core lock. Stop joins
// the reading thread: never call it holding the client core lock, which a handler in progress
// may be waiting for.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "SceneSystem/Interfaces/IGameServerClient.h"
#include "function/LockedDispatcher.h"
#include "plugin/PluginContainer.h"

namespace example {

/// The type dispatcher behind a leaf lock: plug-ins register and withdraw from their threads
/// while the reading thread dispatches.
using LockedTypeDispatcher = LockedDispatcher<pyr::MsgTypeDispatcherType>;

class SocketGameServerClient final
    : public pyr::Container<SocketGameServerClient, GameServerClientTypeId,
                            pyr::IGameServerClient> {
public:
    SocketGameServerClient();
    /// Stops and closes the connection if still open.
    ~SocketGameServerClient() override;

    /// Writes the message's GetLength() bytes. False when there is no connection or the
    /// write fails (the connection is then closed). Any thread.
    bool SendNetMsg(NetMsg* msg) override;

    /// Connects to host:port (blocking). False with the reason in `error`.
    bool Connect(const std::string& host, std::uint16_t port, std::string& error);
    /// Starts the reading thread.
    void Start();
    /// Closes the connection and joins the reading thread. Idempotent.
    void Stop();

    std::uint64_t GetReceivedCount() const noexcept { return received.load(); }
    /// How many message handlers are registered, and their withdrawal.
    std::size_t CountHandlers() const { return dispatcher.CountHandlers(); }
    void ClearHandlers() { dispatcher.ClearHandlers(); }

private:
    void ReadLoop();
    bool ReadExactly(char* into, std::size_t count);

    LockedTypeDispatcher dispatcher;
    std::mutex sendMutex;
    int socket = -1;
    std::thread reader;
    std::atomic<bool> stopping{false};
    std::atomic<std::uint64_t> received{0};
};

}  // namespace example
