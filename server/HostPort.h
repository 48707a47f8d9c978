// JoinHostPort: an address and a port as the programs print them and take them back
// (sim::ParseHostPort, `--server`, URLs): "127.0.0.1:7450", "[::1]:7450". An IPv6 address
// stands in brackets, without which its own colons would run into the port's.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

/// The host as it stands before a port, as in a URL or an HTTP Host field.
inline std::string HostBeforePort(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

inline std::string JoinHostPort(const std::string& host, std::uint16_t port) {
    return HostBeforePort(host) + ":" + std::to_string(port);
}

}  // namespace sim
