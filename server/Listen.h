// Listen: the listening socket of the simulator, the capture replay and the client's web view.
//
// Header-only, so that a program using it needs Boost's headers and nothing of the simulator
// library; include it from sources only, as Asio stays out of the project's interfaces.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace sim {

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
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
        acceptor.close(ec);
        return false;
    }
    return true;
}

}  // namespace sim
