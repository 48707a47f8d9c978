#include "server/ReplayServer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>

#include "capture/CaptureReader.h"
#include "capture/ReplayClock.h"
#include "net/LogFormat.h"
#include "server/Listen.h"

namespace sim {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

void Log(int level, const std::string& text) {
    LogText(level, ("minimap-server: " + text).c_str());
}

/// One captured connection's server side: each message at its time since the connection
/// opened, then (when the capture shows it) the close; a jump of the captured clock beyond a
/// day counts as a day (capture::ReplayClock).
struct Script {
    struct Step {
        std::chrono::nanoseconds at{0};
        std::string bytes;
    };
    std::int64_t openNs = 0;
    capture::ReplayClock clock;
    std::vector<Step> steps;
    std::optional<std::chrono::nanoseconds> closeAt;
};

class Player : public std::enable_shared_from_this<Player> {
public:
    Player(tcp::socket socket, AcceptLoop::Place place, const Script* script, double speed,
           std::uint64_t serial)
        : place(std::move(place)),
          socket(std::move(socket)),
          timer(this->socket.get_executor()),
          script(script),
          speed(speed),
          serial(serial),
          start(std::chrono::steady_clock::now()) {}

    void Start() {
        if (script == nullptr) {
            Close("the capture has no connection for it");
            return;
        }
        Drain();
        Next();
    }

    void Close(const std::string& reason) {
        if (closed) {
            return;
        }
        closed = true;
        Log(2, "connection " + std::to_string(serial) + " closed: " + reason);
        boost::system::error_code ec;
        timer.cancel();
        socket.shutdown(tcp::socket::shutdown_both, ec);
        socket.close(ec);
    }

private:
    std::chrono::steady_clock::time_point Due(std::chrono::nanoseconds at) const {
        // Divided by the slowest speed, a replay time can lie beyond what the clock holds: it
        // is waited as a century, which is as long as for ever.
        constexpr double kFarthestNs = 3.2e18;
        return start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double, std::nano>(
                               std::min(static_cast<double>(at.count()) / speed, kFarthestNs)));
    }

    /// What the client sends is read and dropped, so that it never waits on a full socket.
    void Drain() {
        auto self = shared_from_this();
        socket.async_read_some(
            asio::buffer(sink), [self](const boost::system::error_code& ec, std::size_t) {
                if (ec) {
                    self->Close(ec == asio::error::eof ? "closed by the client" : ec.message());
                    return;
                }
                self->Drain();
            });
    }

    void Next() {
        if (closed) {
            return;
        }
        auto self = shared_from_this();
        if (next < script->steps.size()) {
            timer.expires_at(Due(script->steps[next].at));
            timer.async_wait([self](const boost::system::error_code& ec) {
                if (ec || self->closed) {
                    return;
                }
                const std::string& bytes = self->script->steps[self->next++].bytes;
                asio::async_write(self->socket, asio::buffer(bytes),
                                  [self](const boost::system::error_code& written, std::size_t) {
                                      if (written) {
                                          self->Close(written.message());
                                          return;
                                      }
                                      self->Next();
                                  });
            });
        } else if (script->closeAt) {
            timer.expires_at(Due(*script->closeAt));
            timer.async_wait([self](const boost::system::error_code& ec) {
                if (!ec && !self->closed) {
                    // Only the sending side: closing a socket that holds unread requests
                    // would reset the connection and lose what the client has not read yet.
                    // The client's own close then ends it (Drain).
                    boost::system::error_code ignored;
                    self->socket.shutdown(tcp::socket::shutdown_send, ignored);
                    Log(2, "connection " + std::to_string(self->serial) +
                               ": closing as in the capture");
                }
            });
        }
    }

    AcceptLoop::Place place;
    tcp::socket socket;
    asio::steady_timer timer;
    const Script* script;
    double speed;
    std::uint64_t serial;
    std::chrono::steady_clock::time_point start;
    std::size_t next = 0;
    bool closed = false;
    char sink[4096];
};

}  // namespace

struct ReplayServer::Impl {
    explicit Impl(ReplayServerOptions options) : options(std::move(options)) {
        if (!(this->options.speed > 0)) {
            this->options.speed = 1.0;
        }
    }

    /// A new connection plays the captured connection of its rank.
    void Serve(tcp::socket socket, AcceptLoop::Place place) {
        const std::uint64_t serial = ++accepted;
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        const Script* script = serial <= scripts.size() ? &scripts[serial - 1] : nullptr;
        auto player = std::make_shared<Player>(std::move(socket), std::move(place), script,
                                               options.speed, serial);
        // The players that ended go first: each one's memory stays while a pointer to it does.
        std::erase_if(players, [](const std::weak_ptr<Player>& p) { return p.expired(); });
        players.push_back(player);
        Log(2, "connection " + std::to_string(serial) + " opened");
        player->Start();
    }

    ReplayServerOptions options;
    std::vector<Script> scripts;
    std::size_t messages = 0;
    asio::io_context io;
    tcp::acceptor acceptor{io};
    std::thread thread;
    std::atomic<std::uint16_t> port{0};
    std::uint64_t accepted = 0;
    std::vector<std::weak_ptr<Player>> players;
    AcceptLoop accepting{acceptor, 0,
                         [this](tcp::socket socket, AcceptLoop::Place place) {
                             Serve(std::move(socket), std::move(place));
                         },
                         [](const std::string& line) { Log(3, line); }};
};

ReplayServer::ReplayServer(ReplayServerOptions options)
    : impl(std::make_unique<Impl>(std::move(options))) {}

ReplayServer::~ReplayServer() {
    Stop();
}

bool ReplayServer::Load(const std::string& path, std::string& error) {
    std::string bytes;
    if (!capture::ReadCaptureFile(path, bytes, error)) {
        return false;
    }
    capture::CaptureReader reader(std::move(bytes));
    std::map<std::uint64_t, Script> byConnection;
    capture::CapturedItem item;
    const auto say = [&path, &item](const std::string& text) {
        Log(3, path + ": frame " + std::to_string(item.frame) + ": " + text);
    };
    // When the item plays, counted from its connection's open.
    const auto due = [&say, &item](Script& script) {
        std::int64_t cutNs = 0;
        const std::int64_t at = script.clock.At(item.timeNs - script.openNs, cutNs);
        if (cutNs != 0) {
            say(capture::ReplayClockJumpText(cutNs));
        }
        return std::chrono::nanoseconds(at);
    };
    while (reader.Next(item)) {
        Script& script = byConnection[item.connection];
        if (item.kind == capture::CapturedItem::Kind::Open) {
            script.openNs = item.timeNs;
        } else if (item.kind == capture::CapturedItem::Kind::Close) {
            script.closeAt = due(script);
        } else if (item.kind == capture::CapturedItem::Kind::Message &&
                   item.direction == capture::Direction::ServerToClient) {
            script.steps.push_back({due(script), std::move(item.bytes)});
            ++impl->messages;
        } else if (item.kind == capture::CapturedItem::Kind::Problem) {
            say(item.error);
        }
    }
    if (!reader.GetError().empty()) {
        error = path + ": " + reader.GetError();
        return false;
    }
    if (!reader.GetWarning().empty()) {
        Log(3, path + ": " + reader.GetWarning());
    }
    for (auto& [connection, script] : byConnection) {
        impl->scripts.push_back(std::move(script));
    }
    return true;
}

std::size_t ReplayServer::GetConnectionCount() const {
    return impl->scripts.size();
}

std::size_t ReplayServer::GetMessageCount() const {
    return impl->messages;
}

bool ReplayServer::Start(std::string& error) {
    if (impl->thread.joinable()) {
        error = "already started";
        return false;
    }
    if (!Listen(impl->acceptor, impl->options.bindAddress, impl->options.port,
                "is not an IP address", error)) {
        return false;
    }
    boost::system::error_code ec;
    impl->port = impl->acceptor.local_endpoint(ec).port();
    impl->accepting.Start();
    impl->thread = std::thread([this] {
        try {
            impl->io.run();
        } catch (const std::exception& e) {
            Log(3, std::string("network thread stopped: ") + e.what());
        }
    });
    return true;
}

std::uint16_t ReplayServer::GetPort() const noexcept {
    return impl->port.load();
}

void ReplayServer::Stop() {
    if (!impl->thread.joinable()) {
        return;
    }
    asio::post(impl->io, [this] {
        impl->accepting.Stop();
        boost::system::error_code ec;
        impl->acceptor.close(ec);
        for (const auto& weak : impl->players) {
            if (auto player = weak.lock()) {
                player->Close("server stopping");
            }
        }
    });
    impl->thread.join();
}

}  // namespace sim
