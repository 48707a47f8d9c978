#include "server/SimServer.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include <boost/asio.hpp>

#include "net/LogFormat.h"
#include "net/NetMsg.h"
#include "plinth/Timer.h"
#include "server/SimMessages.h"
#include "server/World.h"

namespace sim {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

void Log(int level, const std::string& text) {
    LogText(level, ("minimap-server: " + text).c_str());
}

class Server;

/// One client connection. Lives while an operation of it is pending or the server lists it.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Server& server, tcp::socket socket, std::uint64_t serial, const World& world)
        : view(world),
          server(server),
          socket(std::move(socket)),
          serial(serial),
          buffer(static_cast<std::size_t>(net::kMaxMessageLength)) {}

    void Start();
    /// Queues one message; closes the connection when the client has stopped reading.
    void Send(Bytes bytes);
    void Close(const std::string& reason);
    std::uint64_t GetSerial() const noexcept { return serial; }

    ClientView view;

private:
    void ReadHeader();
    void ReadBody(std::size_t length);
    void OnMessage(std::size_t length);
    void WriteNext();
    void Malformed(const std::string& reason);

    Server& server;
    tcp::socket socket;
    std::uint64_t serial;
    std::vector<char> buffer;
    ReceivedNetMsg parsed;
    std::deque<Bytes> queue;
    std::size_t pendingBytes = 0;
    bool writing = false;
    bool closed = false;
};

class Server {
public:
    explicit Server(SimServerOptions options) : options(std::move(options)) {
        scale = this->options.timeScale > 0 ? this->options.timeScale : os::GetTimer()->GetScale();
        if (!(scale > 0)) {
            scale = 1.0;
        }
    }

    bool Start(std::string& error) {
        boost::system::error_code ec;
        const auto address = asio::ip::make_address(options.bindAddress, ec);
        if (ec) {
            error = "'" + options.bindAddress + "' is not an IP address";
            return false;
        }
        const tcp::endpoint endpoint(address, options.port);
        acceptor.open(endpoint.protocol(), ec);
        if (!ec) {
            acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        }
        if (!ec) {
            acceptor.bind(endpoint, ec);
        }
        if (!ec) {
            acceptor.listen(asio::socket_base::max_listen_connections, ec);
        }
        if (ec) {
            error = "cannot listen on " + options.bindAddress + ":" + std::to_string(options.port) +
                    ": " + ec.message();
            acceptor.close(ec);
            return false;
        }
        port = acceptor.local_endpoint(ec).port();
        origin = Clock::now();
        // The world holds its first moment before anyone can connect.
        if (options.clock == SimServerOptions::Clock::Poll) {
            Step();
        } else {
            PlayDue();
            ScheduleNext();
        }
        Accept();
        thread = std::thread([this] { Run(); });
        return true;
    }

    void Stop() {
        if (!thread.joinable()) {
            return;
        }
        asio::post(io, [this] {
            stopping = true;
            boost::system::error_code ec;
            acceptor.close(ec);
            scenarioTimer.cancel();
            auto all = sessions;
            for (auto& [id, session] : all) {
                session->Close("server stopping");
            }
        });
        thread.join();
    }

    std::uint16_t GetPort() const noexcept { return port.load(); }

    SimServerStats GetStats() const {
        std::lock_guard<std::mutex> guard(statsMutex);
        return stats;
    }

    template <class F>
    void Count(F&& change) {
        {
            std::lock_guard<std::mutex> guard(statsMutex);
            change(stats);
        }
        statsChanged.notify_all();
    }

    bool WaitForStats(const std::function<bool(const SimServerStats&)>& condition,
                      int timeoutMs) const {
        std::unique_lock<std::mutex> guard(statsMutex);
        return statsChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [&] { return condition(stats); });
    }

    void Observe(std::uint64_t connection, const std::vector<char>& bytes) {
        if (observer) {
            observer(connection, bytes);
        }
    }

    void SetObserver(MessageObserver o) { observer = std::move(o); }

    void Forget(std::uint64_t serial) {
        if (sessions.erase(serial) != 0) {
            Count([](SimServerStats& s) { --s.open; });
        }
    }

    /// A poll was answered: with the poll clock, the world moves one scenario step, ready for
    /// the next poll.
    void AfterPoll() {
        if (options.clock == SimServerOptions::Clock::Poll) {
            Step();
        }
    }

    World world;
    const SimServerOptions options;
    bool stopping = false;

private:
    void Run() {
        try {
            io.run();
        } catch (const std::exception& e) {
            Log(3, std::string("network thread stopped: ") + e.what());
        }
    }

    void Accept() {
        acceptor.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
            if (ec) {
                if (ec != asio::error::operation_aborted && !stopping) {
                    Log(3, "accept failed: " + ec.message());
                    Accept();
                }
                return;
            }
            const std::uint64_t serial = nextSerial++;
            auto session = std::make_shared<Session>(*this, std::move(socket), serial, world);
            sessions.emplace(serial, session);
            Count([](SimServerStats& s) {
                ++s.connections;
                ++s.open;
            });
            Log(2, "connection " + std::to_string(serial) + " opened");
            session->Start();
            Accept();
        });
    }

    Clock::duration Scaled(std::int64_t ms) const {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(static_cast<double>(ms) * scale));
    }

    void ScheduleNext() {
        if (options.clock != SimServerOptions::Clock::Time || stopping) {
            return;
        }
        const auto& events = options.scenario.events;
        std::int64_t dueMs = 0;
        if (nextEvent < events.size()) {
            dueMs = events[nextEvent].timeMs;
        } else if (options.scenario.loopMs > 0) {
            dueMs = options.scenario.loopMs;
        } else {
            return;
        }
        scenarioTimer.expires_at(origin + Scaled(dueMs));
        scenarioTimer.async_wait([this](const boost::system::error_code& ec) {
            if (ec || stopping) {
                return;
            }
            PlayDue();
            ScheduleNext();
        });
    }

    void PlayDue() {
        const auto& events = options.scenario.events;
        const auto elapsed = Clock::now() - origin;
        while (nextEvent < events.size() && Scaled(events[nextEvent].timeMs) <= elapsed) {
            Play(events[nextEvent++]);
        }
        if (nextEvent >= events.size() && options.scenario.loopMs > 0 &&
            Scaled(options.scenario.loopMs) <= elapsed) {
            world.Clear();
            // At least a millisecond per round, so that a tiny scale cannot spin the thread.
            origin += std::max<Clock::duration>(Scaled(options.scenario.loopMs),
                                                std::chrono::milliseconds(1));
            nextEvent = 0;
            Log(2, "scenario starts over");
        }
    }

    /// Plays every event of the next scenario time; past the end of a looping scenario,
    /// starts over with its first time.
    void Step() {
        const auto& events = options.scenario.events;
        if (nextEvent >= events.size()) {
            if (options.scenario.loopMs == 0 || events.empty()) {
                return;
            }
            world.Clear();
            nextEvent = 0;
        }
        const std::int64_t time = events[nextEvent].timeMs;
        while (nextEvent < events.size() && events[nextEvent].timeMs == time) {
            Play(events[nextEvent++]);
        }
    }

    void Play(const ScenarioEvent& event) {
        world.Apply(event);
        Count([](SimServerStats& s) { ++s.eventsPlayed; });
        if (os::Log::GetInstance().IsLevelEnable(2)) {
            Log(2, "scenario line " + std::to_string(event.line) + ": " + ToString(event.type) +
                       (event.id != 0 ? " " + std::to_string(event.id) : std::string()));
        }
        if (event.type == EventType::RoleReset) {
            for (auto& [id, session] : sessions) {
                session->Send(EncodeRoleReset());
                session->view.Forget();
            }
        }
    }

    // Declared first so that it goes last: the sockets and timers below belong to it.
    asio::io_context io;
    tcp::acceptor acceptor{io};
    asio::steady_timer scenarioTimer{io};
    std::thread thread;
    std::atomic<std::uint16_t> port{0};
    double scale = 1.0;
    MessageObserver observer;
    mutable std::mutex statsMutex;
    mutable std::condition_variable statsChanged;
    SimServerStats stats;
    std::map<std::uint64_t, std::shared_ptr<Session>> sessions;
    std::uint64_t nextSerial = 1;
    std::size_t nextEvent = 0;
    Clock::time_point origin;
};

void Session::Start() {
    boost::system::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    Send(EncodeHello());
    ReadHeader();
}

void Session::ReadHeader() {
    auto self = shared_from_this();
    asio::async_read(
        socket, asio::buffer(buffer.data(), static_cast<std::size_t>(net::kHeaderSize)),
        [self](const boost::system::error_code& ec, std::size_t) {
            if (ec) {
                self->Close(ec == asio::error::eof ? "closed by the client" : ec.message());
                return;
            }
            const NetMsgFrame frame =
                FrameNetMsg(self->buffer.data(), static_cast<std::size_t>(net::kHeaderSize));
            if (frame.state == NetMsgFrameState::Invalid) {
                // The parser names what is wrong with the length, as for every message.
                self->Malformed(ParseNetMsg(self->buffer.data(),
                                            static_cast<std::size_t>(net::kHeaderSize),
                                            self->parsed)
                                    .text);
            } else if (frame.state == NetMsgFrameState::Ready) {
                self->OnMessage(frame.size);
            } else {
                self->ReadBody(frame.size);
            }
        });
}

void Session::ReadBody(std::size_t length) {
    auto self = shared_from_this();
    const std::size_t header = static_cast<std::size_t>(net::kHeaderSize);
    asio::async_read(socket, asio::buffer(buffer.data() + header, length - header),
                     [self, length](const boost::system::error_code& ec, std::size_t) {
                         if (ec) {
                             self->Close(ec == asio::error::eof
                                             ? "closed by the client in the middle of a message"
                                             : ec.message());
                             return;
                         }
                         self->OnMessage(length);
                     });
}

void Session::OnMessage(std::size_t length) {
    const NetMsgParseResult result = ParseNetMsg(buffer.data(), length, parsed);
    if (!result) {
        Malformed(result.text);
        return;
    }
    server.Observe(serial, std::vector<char>(buffer.begin(), buffer.begin() + length));
    const Request request = DecodeRequest(*parsed.Get());
    switch (request.kind) {
        case Request::Kind::Poll: {
            server.Count([](SimServerStats& s) { ++s.polls; });
            for (const SyncItem& item : view.Poll(server.world)) {
                Send(EncodeSync(item));
            }
            server.AfterPoll();
            break;
        }
        case Request::Kind::Query:
            server.Count([](SimServerStats& s) { ++s.queries; });
            for (const _MiniMapNpcInfo& record : server.world.Query(request.queryArg)) {
                Send(EncodeQueryResult(record));
            }
            Send(EncodeQueryEnd());
            break;
        case Request::Kind::Tick:
            server.Count([](SimServerStats& s) { ++s.ticks; });
            break;
        case Request::Kind::Bad:
            Log(3, "connection " + std::to_string(serial) + ": ignored request: " + request.error);
            server.Count([](SimServerStats& s) { ++s.other; });
            break;
        case Request::Kind::Other:
            server.Count([](SimServerStats& s) { ++s.other; });
            break;
    }
    if (!closed) {
        ReadHeader();
    }
}

void Session::Malformed(const std::string& reason) {
    server.Count([](SimServerStats& s) { ++s.malformed; });
    Log(3, "connection " + std::to_string(serial) + ": malformed message: " + reason);
    Close("malformed message");
}

void Session::Send(Bytes bytes) {
    if (closed) {
        return;
    }
    if (pendingBytes + bytes.size() > server.options.maxPendingBytes) {
        Close("the client does not read (" + std::to_string(pendingBytes) + " bytes pending)");
        return;
    }
    pendingBytes += bytes.size();
    queue.push_back(std::move(bytes));
    if (!writing) {
        WriteNext();
    }
}

void Session::WriteNext() {
    writing = true;
    auto self = shared_from_this();
    asio::async_write(socket, asio::buffer(queue.front()),
                      [self](const boost::system::error_code& ec, std::size_t) {
                          self->writing = false;
                          if (ec) {
                              self->Close(ec.message());
                              return;
                          }
                          self->pendingBytes -= self->queue.front().size();
                          self->queue.pop_front();
                          if (!self->queue.empty() && !self->closed) {
                              self->WriteNext();
                          }
                      });
}

void Session::Close(const std::string& reason) {
    if (closed) {
        return;
    }
    closed = true;
    // Counted before the socket goes, so that whoever sees the connection end sees the count.
    server.Forget(serial);
    Log(2, "connection " + std::to_string(serial) + " closed: " + reason);
    boost::system::error_code ec;
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
}

}  // namespace

struct SimServer::Impl {
    explicit Impl(SimServerOptions options) : server(std::move(options)) {}
    Server server;
    std::mutex control;
    bool started = false;
};

SimServer::SimServer(SimServerOptions options) : impl(std::make_unique<Impl>(std::move(options))) {}

SimServer::~SimServer() {
    Stop();
}

void SimServer::SetMessageObserver(MessageObserver observer) {
    std::lock_guard<std::mutex> guard(impl->control);
    if (!impl->started) {
        impl->server.SetObserver(std::move(observer));
    }
}

bool SimServer::Start(std::string& error) {
    std::lock_guard<std::mutex> guard(impl->control);
    if (impl->started) {
        error = "already started";
        return false;
    }
    if (!impl->server.Start(error)) {
        return false;
    }
    impl->started = true;
    return true;
}

std::uint16_t SimServer::GetPort() const noexcept {
    return impl->server.GetPort();
}

void SimServer::Stop() {
    std::lock_guard<std::mutex> guard(impl->control);
    impl->server.Stop();
}

SimServerStats SimServer::GetStats() const {
    return impl->server.GetStats();
}

bool SimServer::WaitForStats(const std::function<bool(const SimServerStats&)>& condition,
                             int timeoutMs) const {
    return impl->server.WaitForStats(condition, timeoutMs);
}

bool ParseHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) {
        return false;
    }
    unsigned value = 0;
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || value == 0 || value > 65535) {
        return false;
    }
    host = text.substr(0, colon);
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace sim
