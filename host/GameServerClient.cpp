#include "host/GameServerClient.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>

#include "capture/Decode.h"
#include "net/LogFormat.h"
#include "net/NetMsg.h"
#include "plinth/Log.h"
#include "plinth/Timer.h"
#include "plugin/CaughtText.h"

namespace host {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

/// Bytes one read may fill: many messages per system call when the server sends fast, and
/// always room for the largest message after an incomplete rest.
constexpr std::size_t kReadBufferSize = 256 * 1024;
static_assert(kReadBufferSize >= 2 * static_cast<std::size_t>(net::kMaxMessageLength));

/// What handlers see as the sender of every message: the client itself stands behind it.
class ServerSender final : public ISender {};

/// The log level of the trace: one line per message sent, refused or received.
constexpr int kTraceLevel = 0;

}  // namespace

struct GameServerClient::Impl {
    Impl(GameServerClient& owner, GameServerClientOptions options)
        : owner(owner), options(std::move(options)), readBuffer(kReadBufferSize) {
        scale = this->options.timeScale > 0 ? this->options.timeScale : os::GetTimer()->GetScale();
        if (!(scale > 0)) {
            scale = 1.0;
        }
        backoffMs = this->options.backoffMinMs;
    }

    std::string Name() const { return options.host + ":" + std::to_string(options.port); }

    void Log(int level, const std::string& text) const {
        LogText(level, ("game-server client " + Name() + ": " + text).c_str());
    }

    /// The trace: "<what> <name> (type T, id I), N bytes", the name as pyr-netdump gives it
    /// (Poll, Query, Set, QueryEnd, Tick...). The level is tested before anything is built, so
    /// at any other level a message costs one call asking the log; the receive path asks once
    /// per read instead (DeliverComplete).
    bool Tracing() const noexcept { return log.IsLevelEnable(kTraceLevel); }
    void Trace(const char* what, const char* bytes, std::size_t size) const {
        if (Tracing()) {
            TraceLine(what, bytes, size);
        }
    }

    __attribute__((noinline, cold)) void TraceLine(const char* what, const char* bytes,
                                                   std::size_t size) const {
        const capture::DecodedMessage decoded = capture::DecodeMessage(std::string(bytes, size));
        Log(kTraceLevel, std::string(what) + " " + decoded.name + " (type " +
                             std::to_string(decoded.type) + ", id " + std::to_string(decoded.id) +
                             "), " + std::to_string(size) + " bytes");
    }

    template <class F>
    void Count(F&& change) {
        std::lock_guard<std::mutex> guard(sendMutex);
        change(stats);
    }

    // ---- Connection (network thread) ----

    void Connect() {
        if (stopping) {
            return;
        }
        resolver.async_resolve(
            options.host, std::to_string(options.port),
            [this](const boost::system::error_code& ec,
                   const tcp::resolver::results_type& results) {
                if (stopping) {
                    return;
                }
                if (ec) {
                    Report(LinkState::Unresolved, "cannot resolve: " + ec.message());
                    Retry("cannot resolve: " + ec.message());
                    return;
                }
                // Without an answer the system tries for minutes, and nothing would be said.
                connectTimedOut = false;
                connectTimer.expires_after(std::chrono::milliseconds(options.connectTimeoutMs));
                connectTimer.async_wait([this](const boost::system::error_code& ec) {
                    if (!ec) {
                        connectTimedOut = true;
                        boost::system::error_code ignored;
                        socket.close(ignored);  // the attempt ends with operation_aborted
                    }
                });
                asio::async_connect(
                    socket, results,
                    [this](const boost::system::error_code& connectError, const tcp::endpoint&) {
                        connectTimer.cancel();
                        if (stopping) {
                            return;
                        }
                        if (connectError) {
                            boost::system::error_code ignored;
                            socket.close(ignored);
                            const std::string reason =
                                connectTimedOut
                                    ? "no answer within " +
                                          std::to_string(options.connectTimeoutMs) + " ms"
                                    : connectError.message();
                            Report(LinkState::Refused, "cannot connect: " + reason);
                            Retry("cannot connect: " + reason);
                            return;
                        }
                        OnConnected();
                    });
            });
    }

    void OnConnected() {
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        deliveredOnThisConnection = false;
        {
            std::lock_guard<std::mutex> guard(sendMutex);
            connected = true;
            ++generation;
            ++stats.connects;
            connection = stats.connects;
            if (options.tap != nullptr) {
                options.tap->Opened(connection);
            }
        }
        filled = 0;
        Report(LinkState::Connected, "connected");
        Notify(true);
        Read();
    }

    void Notify(bool up) {
        if (observer) {
            try {
                observer(up);
            } catch (const std::exception& e) {
                Log(3, std::string("connection observer threw: ") + e.what());
            }
        }
    }

    /// Network thread: one read of whatever the socket holds, into the free end of the buffer.
    void Read() {
        const std::uint64_t serial = CurrentGeneration();
        asio::mutable_buffer space(readBuffer.data() + filled, readBuffer.size() - filled);
        socket.async_read_some(
            space, [this, serial](const boost::system::error_code& ec, std::size_t got) {
                if (stopping || serial != CurrentGeneration()) {
                    return;
                }
                if (ec) {
                    const NetMsgFrame frame = FrameNetMsg(readBuffer.data(), filled);
                    Lost(ec, filled, frame.size);
                    return;
                }
                filled += got;
                if (DeliverComplete()) {
                    Read();
                }
            });
    }

    /// A read failed after `got` of the `wanted` bytes of a message.
    void Lost(const boost::system::error_code& ec, std::size_t got, std::size_t wanted) {
        Captured(readBuffer.data(), got);
        if (ec == asio::error::eof && got == 0) {
            Disconnect(2, "closed by the server");
        } else if (ec == asio::error::eof) {
            Disconnect(3, "connection cut in the middle of a message (" + std::to_string(got) +
                              " of " + std::to_string(wanted) + " bytes)");
        } else {
            Disconnect(3, "read failed: " + ec.message());
        }
    }

    /// Frames, checks and delivers every complete message in the buffer, in order, then keeps
    /// the incomplete rest at its start. False when the connection was closed meanwhile (a
    /// malformed message) or the client is stopping: no further read then.
    ///
    /// Messages are parsed in place: `parsed` points into the read buffer, whose bytes stay
    /// put until every message of the read has been dispatched (the rest is moved and the next
    /// read lands only after this returns). Everything a message reaches reads it during its
    /// dispatch only: the view's tap notes keys, the handlers copy the records they keep, and
    /// the capture tap copies the bytes.
    bool DeliverComplete() {
        std::size_t begin = 0;
        std::uint64_t delivered = 0;
        bool goOn = true;
        const bool tracing = Tracing();
        while (goOn && !stopping) {
            const char* at = readBuffer.data() + begin;
            const NetMsgFrame frame = FrameNetMsg(at, filled - begin);
            if (frame.state == NetMsgFrameState::NeedMore) {
                break;
            }
            if (frame.state == NetMsgFrameState::Invalid) {
                Captured(at, net::kHeaderSize);
                // The parser names what is wrong with the length, as for every message.
                goOn = false;
                Malformed(ParseNetMsgInPlace(at, net::kHeaderSize, parsed).text, delivered);
                break;
            }
            Captured(at, frame.size);
            const NetMsgParseResult result = ParseNetMsgInPlace(at, frame.size, parsed);
            if (!result) {
                goOn = false;
                Malformed(result.text, delivered);
                break;
            }
            begin += frame.size;
            ++delivered;
            if (tracing) {
                TraceLine("received", at, frame.size);
            }
            Dispatch();
        }
        if (goOn) {
            Delivered(delivered);
            if (stopping) {
                return false;
            }
            // Less than one message is left: moving it costs less than a read.
            std::memmove(readBuffer.data(), readBuffer.data() + begin, filled - begin);
            filled -= begin;
        }
        return goOn && !stopping;
    }

    /// `size` bytes at `bytes` arrived: a message, whole or not, for the capture tap.
    void Captured(const char* bytes, std::size_t size) {
        if (options.tap != nullptr && size != 0) {
            options.tap->Bytes(connection, capture::Direction::ServerToClient, bytes, size);
        }
    }

    void Dispatch() {
        if (tap != nullptr) {
            tap->OnReceived(*parsed.Get());
        }
        try {
            // Looked up under the dispatcher's leaf lock, called without it.
            (*owner.MsgTypeDispatcher)(&sender, parsed.Get());
        } catch (...) {
            Log(3, "a message handler threw: " + pyr::CaughtText());
        }
    }

    /// After a batch: counts it, and tells the tap.
    void Delivered(std::uint64_t count) {
        if (count == 0) {
            return;
        }
        Count([count](GameServerClientStats& s) { s.received += count; });
        if (!deliveredOnThisConnection) {
            deliveredOnThisConnection = true;
            backoffMs = options.backoffMinMs;
        }
        if (tap != nullptr) {
            tap->OnBatchDelivered();
        }
    }

    /// `delivered` valid messages came before it in the same read.
    void Malformed(const std::string& reason, std::uint64_t delivered) {
        Delivered(delivered);
        Count([](GameServerClientStats& s) { ++s.malformed; });
        Disconnect(3, "malformed message: " + reason);
    }

    /// Connection states as the user sees them: each change is said once at the default log
    /// level (3), never each retry that keeps the state (those are level 1).
    enum class LinkState { None, Connected, Lost, Refused, Unresolved };

    void Report(LinkState state, const std::string& text) {
        if (state == reported) {
            return;
        }
        reported = state;
        Log(3, state == LinkState::Connected ? text : text + "; retrying");
    }

    /// `level` 3: the loss is a fault of the server or the network (a malformed message, a cut
    /// connection); 2: an orderly close.
    void Disconnect(int level, const std::string& reason) {
        {
            std::lock_guard<std::mutex> guard(sendMutex);
            connected = false;
            ++generation;
            queue.clear();
            queuedBytes = 0;
            writing = false;
            ++stats.disconnects;
            if (options.tap != nullptr) {
                options.tap->Closed(connection);
            }
        }
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        Notify(false);
        Report(LinkState::Lost,
               std::string(level >= 3 ? "connection lost: " : "connection ") + reason);
        Retry(reason + "; closing the connection");
    }

    void Retry(const std::string& reason) {
        if (stopping) {
            return;
        }
        const int delay = backoffMs;
        backoffMs = std::min(backoffMs * 2, options.backoffMaxMs);
        Log(1, reason + "; reconnecting in " + std::to_string(delay) + " ms");
        retryTimer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double, std::milli>(delay * scale)));
        retryTimer.async_wait([this](const boost::system::error_code& ec) {
            if (!ec && !stopping) {
                Connect();
            }
        });
    }

    // ---- Sending ----

    bool Send(const NetMsg* msg) {
        if (msg == nullptr || msg->GetBytes() == nullptr || msg->GetLength() < net::kHeaderSize) {
            return false;
        }
        const std::size_t length = msg->GetLength();
        bool startWriting = false;
        const char* refused = nullptr;
        {
            std::lock_guard<std::mutex> guard(sendMutex);
            if (!connected) {
                refused = "not sent, no connection:";
            } else if (queuedBytes + length > options.maxQueuedBytes) {
                refused = "not sent, the send queue is full:";
            }
            if (refused != nullptr) {
                ++stats.refused;
            } else {
                queue.emplace_back(msg->GetBytes(), msg->GetBytes() + length);
                queuedBytes += length;
                // Told in queue order, which is the order the bytes go out in.
                if (options.tap != nullptr) {
                    options.tap->Bytes(connection, capture::Direction::ClientToServer,
                                       msg->GetBytes(), length);
                }
                ++stats.sent;
                startWriting = !writing;
                writing = true;
            }
        }
        // Traced after the leaf lock is left: lines of sends from several threads may be
        // written in another order than their bytes went into the queue.
        Trace(refused != nullptr ? refused : "sent", msg->GetBytes(), length);
        if (refused != nullptr) {
            return false;
        }
        if (startWriting) {
            asio::post(io, [this] { WriteNext(); });
        }
        return true;
    }

    /// Network thread: writes the front of the queue, then the next, until it is empty.
    void WriteNext() {
        const std::vector<char>* front = nullptr;
        std::uint64_t serial = 0;
        {
            std::lock_guard<std::mutex> guard(sendMutex);
            if (queue.empty() || !connected) {
                writing = false;
                return;
            }
            // Elements of a deque stay where they are while others are added at the back.
            front = &queue.front();
            serial = generation;
        }
        asio::async_write(socket, asio::buffer(*front),
                          [this, serial](const boost::system::error_code& ec, std::size_t) {
                              if (stopping || serial != CurrentGeneration()) {
                                  return;
                              }
                              if (ec) {
                                  Disconnect(3, "write failed: " + ec.message());
                                  return;
                              }
                              {
                                  std::lock_guard<std::mutex> guard(sendMutex);
                                  queuedBytes -= queue.front().size();
                                  queue.pop_front();
                              }
                              WriteNext();
                          });
    }

    std::uint64_t CurrentGeneration() {
        std::lock_guard<std::mutex> guard(sendMutex);
        return generation;
    }

    GameServerClient& owner;
    const GameServerClientOptions options;
    const os::Log& log = os::Log::GetInstance();
    double scale = 1.0;
    std::function<void(bool)> observer;
    ServerSender sender;

    asio::io_context io;
    tcp::resolver resolver{io};
    tcp::socket socket{io};
    asio::steady_timer retryTimer{io};
    asio::steady_timer connectTimer{io};
    bool connectTimedOut = false;  ///< network thread
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool started = false;

    // Network thread only.
    /// Received bytes not yet delivered: [0, filled).
    std::vector<char> readBuffer;
    std::size_t filled = 0;
    ReceiveTap* tap = nullptr;
    ReceivedNetMsg parsed;
    int backoffMs;
    bool deliveredOnThisConnection = false;

    // Guarded by sendMutex, a leaf lock: held only around queue and counter changes.
    mutable std::mutex sendMutex;
    bool connected = false;
    /// The current connection's serial, from 1, for the capture tap.
    std::uint64_t connection = 0;
    /// The last state said; network thread only.
    LinkState reported = LinkState::None;
    /// Counts connections and losses: a completion of an earlier connection finds it changed.
    std::uint64_t generation = 0;
    std::deque<std::vector<char>> queue;
    std::size_t queuedBytes = 0;
    bool writing = false;
    GameServerClientStats stats;
};

GameServerClient::GameServerClient(GameServerClientOptions options)
    : impl(std::make_unique<Impl>(*this, std::move(options))) {
    MsgTypeDispatcher = &dispatcher;
}

GameServerClient::~GameServerClient() {
    Stop();
    MsgTypeDispatcher = nullptr;
}

bool GameServerClient::SendNetMsg(NetMsg* msg) {
    return impl->Send(msg);
}

void GameServerClient::SetConnectionObserver(std::function<void(bool)> observer) {
    if (!impl->started) {
        impl->observer = std::move(observer);
    }
}

void GameServerClient::SetReceiveTap(ReceiveTap* tap) {
    if (!impl->started) {
        impl->tap = tap;
    }
}

void GameServerClient::Start() {
    if (impl->started) {
        return;
    }
    impl->started = true;
    asio::post(impl->io, [this] { impl->Connect(); });
    impl->thread = std::thread([this] {
        try {
            impl->io.run();
        } catch (const std::exception& e) {
            impl->Log(3, std::string("network thread stopped: ") + e.what());
        }
    });
}

void GameServerClient::Stop() {
    if (!impl->thread.joinable()) {
        return;
    }
    asio::post(impl->io, [this] {
        impl->stopping = true;
        {
            std::lock_guard<std::mutex> guard(impl->sendMutex);
            if (impl->connected && impl->options.tap != nullptr) {
                impl->options.tap->Closed(impl->connection);
            }
            impl->connected = false;
            impl->queue.clear();
            impl->queuedBytes = 0;
        }
        boost::system::error_code ignored;
        impl->resolver.cancel();
        impl->retryTimer.cancel();
        impl->connectTimer.cancel();
        impl->socket.shutdown(tcp::socket::shutdown_both, ignored);
        impl->socket.close(ignored);
    });
    impl->thread.join();
}

bool GameServerClient::IsConnected() const {
    std::lock_guard<std::mutex> guard(impl->sendMutex);
    return impl->connected;
}

GameServerClientStats GameServerClient::GetStats() const {
    std::lock_guard<std::mutex> guard(impl->sendMutex);
    return impl->stats;
}

std::string GameServerClient::GetServerName() const {
    return impl->Name();
}

}  // namespace host
