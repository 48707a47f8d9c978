#include "example_host/SocketGameServerClient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "net/NetMsg.h"
#include "plugin/CaughtText.h"

namespace example {

namespace {

/// What handlers see as the sender of every message.
class ServerSender final : public ISender {};

}  // namespace

SocketGameServerClient::SocketGameServerClient() {
    MsgTypeDispatcher = &dispatcher;
}

SocketGameServerClient::~SocketGameServerClient() {
    Stop();
    MsgTypeDispatcher = nullptr;
}

bool SocketGameServerClient::Connect(const std::string& host, std::uint16_t port,
                                     std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    int fd = -1;
    error = "no address for " + host;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = "cannot connect to " + host + ":" + service + ": " + std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        return false;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard<std::mutex> guard(sendMutex);
    socket = fd;
    return true;
}

void SocketGameServerClient::Start() {
    if (!reader.joinable()) {
        reader = std::thread([this] { ReadLoop(); });
    }
}

void SocketGameServerClient::Stop() {
    stopping = true;
    {
        // Wakes the reading thread: its recv returns 0.
        std::lock_guard<std::mutex> guard(sendMutex);
        if (socket >= 0) {
            ::shutdown(socket, SHUT_RDWR);
        }
    }
    if (reader.joinable()) {
        reader.join();
    }
    std::lock_guard<std::mutex> guard(sendMutex);
    if (socket >= 0) {
        ::close(socket);
        socket = -1;
    }
}

bool SocketGameServerClient::SendNetMsg(NetMsg* msg) {
    if (msg == nullptr || msg->GetBytes() == nullptr || msg->GetLength() < net::kHeaderSize) {
        return false;
    }
    std::lock_guard<std::mutex> guard(sendMutex);
    if (socket < 0) {
        return false;
    }
    const char* bytes = msg->GetBytes();
    std::size_t left = msg->GetLength();
    while (left > 0) {
        const ssize_t sent = ::send(socket, bytes, left, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            ::shutdown(socket, SHUT_RDWR);
            return false;
        }
        bytes += sent;
        left -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool SocketGameServerClient::ReadExactly(char* into, std::size_t count) {
    while (count > 0) {
        const ssize_t got = ::recv(socket, into, count, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        into += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

void SocketGameServerClient::ReadLoop() {
    std::vector<char> bytes(static_cast<std::size_t>(net::kMaxMessageLength));
    ReceivedNetMsg parsed;
    ServerSender sender;
    const auto header = static_cast<std::size_t>(net::kHeaderSize);
    while (ReadExactly(bytes.data(), header)) {
        const NetMsgFrame frame = FrameNetMsg(bytes.data(), header);
        if (frame.state == NetMsgFrameState::Invalid) {
            std::fprintf(stderr, "example-host: the server sent a message length of %zu\n",
                         frame.size);
            break;
        }
        if (frame.size > header && !ReadExactly(bytes.data() + header, frame.size - header)) {
            break;
        }
        const NetMsgParseResult result = ParseNetMsg(bytes.data(), frame.size, parsed);
        if (!result) {
            std::fprintf(stderr, "example-host: malformed message: %s\n", result.text.c_str());
            break;
        }
        received.fetch_add(1);
        try {
            // Looked up under the dispatcher's lock, called without it.
            (*MsgTypeDispatcher)(&sender, parsed.Get());
        } catch (...) {
            // A plug-in may throw anything; escaping this thread would end the whole host.
            std::fprintf(stderr, "example-host: a message handler threw: %s\n",
                         pyr::CaughtText().c_str());
        }
    }
    if (!stopping) {
        std::fprintf(stderr, "example-host: the connection to the server ended\n");
    }
}

}  // namespace example
