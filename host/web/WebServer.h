// WebServer: the live map in a browser. It serves the page built into the program (HTTP) and
// keeps one WebSocket per browser, pushing the map's changes and taking the page's controls.
//
// Messages to the browsers are published once and shared: Publish queues the text for every
// browser without waiting for any (each has a bounded OutboundQueue; one that falls behind by
// more than the bound is disconnected and, when it comes back with the same page, told that it
// was dropped). A browser that connects joins in two steps the owner controls (Hooks::join):
// the owner, holding the lock under which it publishes, hands over the messages that bring a
// browser up to date (the whole map); the browser is added to the publish list under that
// lock, so it sees every change after its copy, none twice, none missing.
//
// Threads: one thread of its own runs the sockets (Start to Stop). Publish: any thread.
// The hooks run on the server's thread, never under the server's own locks, so they may call
// Publish.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/web/WebControl.h"

namespace host::web {

struct WebServerOptions {
    /// A numeric address, or localhost (127.0.0.1); a loopback one unless the owner allowed
    /// others.
    std::string host = "127.0.0.1";
    /// 0: a free port (GetPort says which).
    std::uint16_t port = 0;
    /// Accept a non-loopback address to listen on, and any Host header.
    bool allowRemote = false;
    /// Browsers at once; more are answered 503.
    std::size_t maxBrowsers = 16;
    /// Connections at once, page loads and browsers alike; more wait in the listen queue.
    std::size_t maxConnections = 64;
    /// One browser's backlog before it is dropped.
    std::size_t maxQueuedMessages = 4096;
    std::size_t maxQueuedBytes = 16 << 20;
};

class WebServer {
public:
    struct Hooks {
        /// A browser connected: call `admit` once, with the messages that bring it up to
        /// date, holding the lock under which Publish is called.
        std::function<void(const std::function<void(std::vector<std::string>)>& admit)> join;
        /// A well-formed control message.
        std::function<void(const WebControl&)> control;
    };

    WebServer(WebServerOptions options, Hooks hooks);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    /// Binds and starts the thread; false with `error` set when the address is refused or
    /// taken.
    bool Start(std::string& error);
    /// Closes every socket and joins the thread. Idempotent.
    void Stop();

    /// The bound port, after Start.
    std::uint16_t GetPort() const noexcept;
    /// "http://HOST:PORT/".
    std::string GetUrl() const;

    /// Any thread, never blocks on a browser: queues the text for every browser.
    void Publish(std::string text);

    /// For tests and the status: browsers connected now, and dropped since Start.
    std::size_t CountBrowsers() const;
    std::size_t CountDropped() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl;
};

/// True for an address that only this machine reaches (127.0.0.0/8, ::1); false for any
/// other and for text that is not a numeric address.
bool IsLoopbackAddress(const std::string& host);

/// Whether `host`, a request's Host field, names a loopback server listening on `listenHost`
/// (as WebServerOptions::host) and `port`: the printed address, 127.0.0.1, localhost or [::1],
/// with that port. Names match in any case; the port may be left out when it is HTTP's own,
/// 80, as browsers then leave it out. Any other name is another site's page reaching this
/// server through a name that resolves here (DNS rebinding).
bool HostNamesLoopbackServer(std::string_view host, const std::string& listenHost,
                             std::uint16_t port);

}  // namespace host::web
