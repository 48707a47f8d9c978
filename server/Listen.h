// Listen: the listening socket of the simulator, the capture replay and the client's web view;
// AcceptLoop: the accepting of the capture replay and the web view.
//
// Header-only, so that a program using it needs Boost's headers and nothing of the simulator
// library; include it from sources only, as Asio stays out of the project's interfaces.
#pragma once

#include <strings.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/HostPort.h"

namespace sim {

/// The numeric address to listen on for `host`: "localhost" (any case) is the IPv4 loopback
/// address, as browsers take it; anything else is left for Listen to take or refuse.
inline std::string ListenAddress(const std::string& host) {
    return strcasecmp(host.c_str(), "localhost") == 0 ? "127.0.0.1" : host;
}

/// Opens `acceptor` on `address` (numeric: no name is looked up) and `port` (0: a free one),
/// with the address reusable at once after a restart, and listens. False with `error` set when
/// it cannot: "'<address>' <notAnAddress>" for an address that is not numeric, "cannot listen
/// on <address>:<port>: <reason>" otherwise, and the acceptor then closed.
inline bool Listen(boost::asio::ip::tcp::acceptor& acceptor, const std::string& address,
                   std::uint16_t port, const char* notAnAddress, std::string& error) {
    using boost::asio::ip::tcp;
    boost::system::error_code ec;
    const auto ip = boost::asio::ip::make_address(address, ec);
    if (ec) {
        error = "'" + address + "' " + notAnAddress;
        return false;
    }
    const tcp::endpoint endpoint(ip, port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(tcp::acceptor::max_listen_connections, ec);
    }
    if (ec) {
        error = "cannot listen on " + JoinHostPort(address, port) + ": " + ec.message();
        acceptor.close(ec);
        return false;
    }
    return true;
}

/// How long an AcceptLoop that stopped accepting waits before it looks again.
inline constexpr std::chrono::milliseconds kAcceptRecheck{250};
/// An AcceptLoop tells each of its two conditions at most once in this time, however often it
/// meets them (a flood of clients at the limit meets it at every place given back).
inline constexpr std::chrono::seconds kAcceptReportEvery{60};

/// Accepts connections on a listening acceptor, one after another, and hands each to `serve`
/// with the Place it takes. At most `maxOpen` places (0: no limit) are taken at once: at the
/// limit the loop stops accepting, and new clients wait in the listen queue. After a failed
/// accept (out of descriptors: EMFILE, ENFILE; any other error) it stops too, since accepting
/// again at once would fail again at once, as fast as the thread can go, as long as the
/// descriptors lack. Stopped either way, it looks again every kAcceptRecheck: a place given
/// back, or a descriptor freed anywhere in the process, lets it go on. `report` gets a line
/// when the limit is reached and when an accept fails, each at most once in
/// kAcceptReportEvery.
///
/// Runs on the acceptor's executor: Start and Stop there, or while it runs nothing. Places are
/// given back from any thread, also after the loop is gone.
class AcceptLoop {
public:
    /// A connection's place among the open ones, held for as long as the connection is open.
    class Place {
    public:
        Place() = default;
        Place(Place&&) noexcept = default;
        Place& operator=(Place&&) = delete;
        Place(const Place&) = delete;
        Place& operator=(const Place&) = delete;
        ~Place() {
            if (open) {
                open->fetch_sub(1, std::memory_order_relaxed);
            }
        }

    private:
        friend class AcceptLoop;
        explicit Place(std::shared_ptr<std::atomic<std::size_t>> open) : open(std::move(open)) {}
        std::shared_ptr<std::atomic<std::size_t>> open;
    };

    using Serve = std::function<void(boost::asio::ip::tcp::socket, Place)>;
    using Report = std::function<void(const std::string&)>;

    AcceptLoop(boost::asio::ip::tcp::acceptor& acceptor, std::size_t maxOpen, Serve serve,
               Report report)
        : acceptor(acceptor),
          timer(acceptor.get_executor()),
          maxOpen(maxOpen),
          serve(std::move(serve)),
          report(std::move(report)) {}

    AcceptLoop(const AcceptLoop&) = delete;
    AcceptLoop& operator=(const AcceptLoop&) = delete;

    void Start() {
        stopped = false;
        Next();
    }

    /// No more accepting and no more looking again; what is under way ends as aborted.
    void Stop() {
        stopped = true;
        timer.cancel();
    }

    /// The places taken now.
    std::size_t OpenCount() const noexcept { return open->load(std::memory_order_relaxed); }

private:
    void Next() {
        if (stopped) {
            return;
        }
        if (maxOpen != 0 && OpenCount() >= maxOpen) {
            Tell(limitTold, "connection limit of " + std::to_string(maxOpen) +
                                " reached; accepting paused until a connection closes");
            return LookAgainLater();
        }
        acceptor.async_accept(
            [this](const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket) {
                if (stopped || ec == boost::asio::error::operation_aborted) {
                    return;
                }
                if (ec) {
                    Tell(failureTold, "accept failed: " + ec.message() +
                                          "; accepting paused until a descriptor is free");
                    return LookAgainLater();
                }
                open->fetch_add(1, std::memory_order_relaxed);
                serve(std::move(socket), Place(open));
                Next();
            });
    }

    void Tell(std::optional<std::chrono::steady_clock::time_point>& told, const std::string& line) {
        const auto now = std::chrono::steady_clock::now();
        if (!told || now - *told >= kAcceptReportEvery) {
            told = now;
            report(line);
        }
    }

    void LookAgainLater() {
        timer.expires_after(kAcceptRecheck);
        timer.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) {
                Next();
            }
        });
    }

    boost::asio::ip::tcp::acceptor& acceptor;
    boost::asio::steady_timer timer;
    const std::size_t maxOpen;
    Serve serve;
    Report report;
    std::shared_ptr<std::atomic<std::size_t>> open = std::make_shared<std::atomic<std::size_t>>(0);
    bool stopped = false;
    std::optional<std::chrono::steady_clock::time_point> limitTold;
    std::optional<std::chrono::steady_clock::time_point> failureTold;
};

}  // namespace sim
