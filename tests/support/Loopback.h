// Plain blocking loopback sockets for tests that talk to a server or play one.
//
// Every wait is bounded by a deadline (a test fails instead of hanging) and nothing sleeps:
// a read returns as soon as its bytes are there.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "support/WaitReadable.h"

namespace test {

/// How long a test waits for something that should happen at once.
inline constexpr int kWaitMs = 20000;

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd(fd) {}
    Socket(Socket&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            Close();
            fd = std::exchange(other.fd, -1);
        }
        return *this;
    }
    ~Socket() { Close(); }

    bool IsOpen() const noexcept { return fd >= 0; }
    void Close() noexcept {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    /// Writes all of `bytes`; false when the peer is gone.
    bool Send(const void* bytes, std::size_t size) {
        const char* p = static_cast<const char*>(bytes);
        while (size > 0) {
            const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            p += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }
    bool Send(const std::vector<char>& bytes) { return Send(bytes.data(), bytes.size()); }
    bool Send(const std::vector<unsigned char>& bytes) { return Send(bytes.data(), bytes.size()); }

    /// Reads exactly `size` bytes; false on end of stream, error or after `timeoutMs`.
    bool ReadExact(std::size_t size, std::vector<char>& out, int timeoutMs = kWaitMs) {
        out.resize(size);
        std::size_t got = 0;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got < size) {
            if (!WaitReadable(deadline)) {
                return false;
            }
            const ssize_t n = ::recv(fd, out.data() + got, size - got, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    /// Reads one message (its header's length field delimits it).
    bool ReadMessage(std::vector<char>& out, int timeoutMs = kWaitMs) {
        std::vector<char> header;
        if (!ReadExact(6, header, timeoutMs)) {
            return false;
        }
        const std::size_t length =
            static_cast<unsigned char>(header[4]) |
            (static_cast<std::size_t>(static_cast<unsigned char>(header[5])) << 8);
        if (length < 6) {
            return false;
        }
        std::vector<char> body;
        if (!ReadExact(length - 6, body, timeoutMs)) {
            return false;
        }
        out = header;
        out.insert(out.end(), body.begin(), body.end());
        return true;
    }

    /// Whether the peer closes the connection (end of stream or reset) within `timeoutMs`;
    /// whatever it sends before is read and dropped.
    bool WaitClosed(int timeoutMs = kWaitMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char scratch[4096];
        while (true) {
            if (!WaitReadable(deadline)) {
                return false;
            }
            const ssize_t n = ::recv(fd, scratch, sizeof scratch, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                return true;
            }
        }
    }

    int Fd() const noexcept { return fd; }

private:
    bool WaitReadable(std::chrono::steady_clock::time_point deadline) const {
        return test::WaitReadable(fd, deadline);
    }

    int fd = -1;
};

/// A TCP socket, not connected yet; an unopened socket on failure. A `receiveBuffer` above 0
/// fixes the socket's receive buffer before the connection (afterwards it would not shrink the
/// window the peer was offered).
inline Socket OpenTcpSocket(int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    return Socket(fd);
}

/// Connects `socket` (from OpenTcpSocket) to 127.0.0.1:port; false on failure. Needs no new
/// descriptor, so it works with the process at its descriptor limit.
inline bool ConnectLoopback(Socket& socket, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return false;
    }
    const int one = 1;
    ::setsockopt(socket.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

/// Connects to 127.0.0.1:port; an unopened socket on failure. `receiveBuffer`: see
/// OpenTcpSocket.
inline Socket ConnectLoopback(std::uint16_t port, int receiveBuffer = 0) {
    Socket socket = OpenTcpSocket(receiveBuffer);
    if (!socket.IsOpen() || !ConnectLoopback(socket, port)) {
        return Socket();
    }
    return socket;
}

/// A listening socket on a free loopback port.
class Listener {
public:
    Listener() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = 0;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 &&
            ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd, 16) == 0) {
            socklen_t size = sizeof address;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
            port = ntohs(address.sin_port);
            socket = Socket(fd);
        } else if (fd >= 0) {
            ::close(fd);
        }
    }

    std::uint16_t Port() const noexcept { return port; }

    /// The next connection, or an unopened socket after `timeoutMs`.
    Socket Accept(int timeoutMs = kWaitMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!WaitReadable(socket.Fd(), deadline)) {
            return Socket();
        }
        const int fd = ::accept4(socket.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return Socket();
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return Socket(fd);
    }

private:
    Socket socket;
    std::uint16_t port = 0;
};

}  // namespace test
