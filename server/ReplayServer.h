// ReplayServer: a capture's server side played to live clients.
//
// It listens like the simulator; the n-th client to connect gets the server messages of the
// capture's n-th connection, each at its captured time after that connection opened, divided
// by `speed` (2 plays twice as fast), and is closed when the captured connection closed. A
// jump of the captured clock beyond a day between two of them (a damaged time stamp) is
// played as a day, with a line on the log, as the client's replay does. What clients send is
// read and ignored. A client beyond the capture's connections is closed at once. Malformed
// messages of the capture are sent as they were captured: the client meets exactly what the
// captured client met.
//
// Threads: Start runs the network on a thread of the server's own; Stop closes everything and
// joins it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sim {

struct ReplayServerOptions {
    std::string bindAddress = "127.0.0.1";
    std::uint16_t port = 0;
    double speed = 1.0;
};

/// Neither copied nor moved: it owns its thread (through `impl`), which refers to it.
class ReplayServer {
public:
    explicit ReplayServer(ReplayServerOptions options);
    /// Stops the replay if it runs.
    ~ReplayServer();

    /// Reads the capture at `path`; false with `error` set when it cannot be read or is
    /// damaged. Call before Start.
    bool Load(const std::string& path, std::string& error);
    /// Connections and server messages loaded.
    std::size_t GetConnectionCount() const;
    std::size_t GetMessageCount() const;

    /// Binds, listens and starts the thread; false with `error` set when it cannot.
    bool Start(std::string& error);
    std::uint16_t GetPort() const noexcept;
    /// Idempotent.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace sim
