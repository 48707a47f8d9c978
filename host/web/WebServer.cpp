#include "host/web/WebServer.h"

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cctype>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "host/web/OutboundQueue.h"
#include "host/web/WebAssets.h"
#include "net/LogFormat.h"
#include "plugin/CaughtText.h"
#include "server/HostPort.h"
#include "server/Listen.h"

namespace host::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

void Say(int level, const std::string& text) {
    LogText(level, ("minimap-client: web view: " + text).c_str());
}

/// The page names itself in the WebSocket's query (?id=...), so that a browser dropped for
/// falling behind can be told so when it comes back. Letters, digits and '-' only.
std::string BrowserIdOf(std::string_view target) {
    const std::size_t at = target.find("?id=");
    if (at == std::string_view::npos) {
        return {};
    }
    const std::string_view id = target.substr(at + 4);
    if (id.empty() || id.size() > 64 || !std::all_of(id.begin(), id.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-';
        })) {
        return {};
    }
    return std::string(id);
}

std::string_view ToStd(beast::string_view text) {
    return {text.data(), text.size()};
}

std::string_view PathOf(std::string_view target) {
    return target.substr(0, target.find('?'));
}

/// The page's own scripts and styles only; nothing from elsewhere, no inline code.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

/// How many ids of dropped browsers are remembered.
constexpr std::size_t kRememberedDrops = 256;

}  // namespace

bool HostNamesLoopbackServer(std::string_view host, const std::string& listenHost,
                             std::uint16_t port) {
    // The name and the port: the port follows the last colon, unless that colon lies inside
    // an IPv6 address's brackets.
    const std::size_t colon = host.rfind(':');
    const std::size_t bracket = host.rfind(']');
    const bool hasPort =
        colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket);
    const std::string_view name = hasPort ? host.substr(0, colon) : host;
    if (hasPort ? host.substr(colon + 1) != std::to_string(port) : port != 80) {
        return false;
    }
    const auto same = [name](std::string_view ours) {
        return std::ranges::equal(name, ours, [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
        });
    };
    // The printed address answers too when it is another loopback address (127.0.0.2, say).
    return same(sim::HostBeforePort(listenHost)) || same("127.0.0.1") || same("localhost") ||
           same("[::1]");
}

bool IsLoopbackAddress(const std::string& host) {
    boost::system::error_code ec;
    const asio::ip::address address = asio::ip::make_address(host, ec);
    return !ec && address.is_loopback();
}

class BrowserSession;

class WebServer::Impl {
public:
    Impl(WebServerOptions options, Hooks hooks)
        : options(std::move(options)), hooks(std::move(hooks)), acceptor(io) {}

    /// A new connection: an HTTP request, perhaps the upgrade to a browser's WebSocket.
    void Serve(tcp::socket socket, sim::AcceptLoop::Place place);
    /// The checks against other sites' pages and DNS rebinding: a Host this server answers
    /// to, and for a WebSocket an Origin of that same host.
    bool HostAllowed(std::string_view host) const;
    /// The host and port of the printed address, as a browser sends them in Host.
    std::string Authority() const { return sim::JoinHostPort(options.host, port); }
    void Admit(const std::shared_ptr<BrowserSession>& session);
    void Leave(const BrowserSession* session);
    void Publish(std::string text);

    WebServerOptions options;
    Hooks hooks;
    asio::io_context io;
    tcp::acceptor acceptor;
    std::thread thread;
    std::uint16_t port = 0;
    /// Page loads and browsers alike; each connection holds its place until it closes.
    sim::AcceptLoop accepting{acceptor, options.maxConnections,
                              [this](tcp::socket socket, sim::AcceptLoop::Place place) {
                                  Serve(std::move(socket), std::move(place));
                              },
                              [](const std::string& line) { Say(3, line); }};

    mutable std::mutex mutex;  // leaf lock: the lists below
    std::vector<std::shared_ptr<BrowserSession>> browsers;
    std::deque<std::string> droppedIds;
    std::size_t dropped = 0;
    std::size_t connecting = 0;
};

/// One browser's WebSocket. Its socket is used on the server thread only; its queue is filled
/// by Publish from any thread, under the session's own lock.
class BrowserSession : public std::enable_shared_from_this<BrowserSession> {
public:
    BrowserSession(WebServer::Impl& server, tcp::socket socket, sim::AcceptLoop::Place place,
                   std::string id)
        : server(server),
          place(std::move(place)),
          ws(std::move(socket)),
          id(std::move(id)),
          queue(server.options.maxQueuedMessages, server.options.maxQueuedBytes) {}

    void Accept(http::request<http::string_body> request) {
        ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws.read_message_max(256);
        ws.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
            if (ec) {
                self->server.Leave(self.get());
                return;
            }
            self->server.Admit(self);
            self->Read();
        });
    }

    /// Any thread. False when the browser has fallen too far behind: it is to be dropped.
    bool Queue(const OutboundQueue::Message& message) {
        std::lock_guard<std::mutex> guard(mutex);
        if (!queue.Push(message)) {
            return false;
        }
        if (!writing) {
            writing = true;
            asio::post(server.io, [self = shared_from_this()] { self->Write(); });
        }
        return true;
    }

    /// Server thread: ends the connection at once, without the closing handshake a browser
    /// that does not read would never answer.
    void Drop() {
        beast::error_code ignored;
        beast::get_lowest_layer(ws).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws).close();
    }

    const std::string& GetId() const noexcept { return id; }

    /// Under the server's lock: whether the session has left the count of browsers
    /// connecting (admitted, or failed before it was).
    bool counted = false;

private:
    void Read() {
        ws.async_read(input, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->OnRead(ec);
        });
    }
    void OnRead(beast::error_code ec) {
        if (ec) {
            server.Leave(this);
            Drop();
            return;
        }
        const std::string text = beast::buffers_to_string(input.data());
        input.consume(input.size());
        const std::optional<WebControl> control =
            ws.got_text() ? ParseWebControl(text) : std::nullopt;
        if (control) {
            // A control runs plug-in code too (a role reset's subscribers): whatever it throws
            // ends that control, not the server's thread and with it the client.
            try {
                server.hooks.control(*control);
            } catch (...) {
                Say(3, "a control failed: " + pyr::CaughtText());
            }
        } else if (!ignoredLogged) {
            // One line per browser: a program sending junk as fast as it can would otherwise
            // write 140 bytes of log for every 6 bytes it sends.
            ignoredLogged = true;
            Say(3, "ignored a control message of " + std::to_string(text.size()) +
                       " bytes that is none of poll, battle, query, reset (further ones from "
                       "this browser are ignored without a line)");
        }
        Read();
    }

    void Write() {
        OutboundQueue::Message next;
        {
            std::lock_guard<std::mutex> guard(mutex);
            next = queue.Front();
            if (!next) {
                writing = false;
                return;
            }
        }
        ws.text(true);
        ws.async_write(asio::buffer(*next),
                       [self = shared_from_this(), next](beast::error_code ec, std::size_t) {
                           if (ec) {
                               self->server.Leave(self.get());
                               self->Drop();
                               return;
                           }
                           {
                               std::lock_guard<std::mutex> guard(self->mutex);
                               if (self->queue.Front() == next) {
                                   self->queue.Pop();
                               }
                           }
                           self->Write();
                       });
    }

    WebServer::Impl& server;
    sim::AcceptLoop::Place place;
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer input;
    const std::string id;
    bool ignoredLogged = false;  ///< reading thread only

    std::mutex mutex;  // leaf lock: the queue and whether a write is under way
    OutboundQueue queue;
    bool writing = false;
};

/// One HTTP connection: the page's files, or the upgrade to a BrowserSession.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(WebServer::Impl& server, tcp::socket socket, sim::AcceptLoop::Place place)
        : server(server), place(std::move(place)), stream(std::move(socket)) {}

    void Read() {
        parser.emplace();
        parser->header_limit(8 * 1024);
        parser->body_limit(1024);
        stream.expires_after(std::chrono::seconds(30));
        http::async_read(stream, buffer, *parser,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             if (!ec) {
                                 self->OnRequest(self->parser->release());
                             }
                         });
    }

private:
    void OnRequest(http::request<http::string_body> request) {
        const std::string_view host = ToStd(request[http::field::host]);
        if (!server.HostAllowed(host)) {
            return Answer(request, http::status::forbidden, "text/plain", "unknown host\n");
        }
        const std::string_view target = ToStd(request.target());
        if (websocket::is_upgrade(request)) {
            const std::string_view origin = ToStd(request[http::field::origin]);
            if (PathOf(target) != "/ws" ||
                (!origin.empty() && origin != "http://" + std::string(host))) {
                return Answer(request, http::status::forbidden, "text/plain", "refused\n");
            }
            // A client must wait for the answer before it sends frames; bytes after the
            // request would be lost with the HTTP reader's buffer: refused, not dropped.
            if (buffer.size() != 0) {
                return Answer(request, http::status::bad_request, "text/plain",
                              "data before the upgrade was answered\n", false);
            }
            {
                std::lock_guard<std::mutex> guard(server.mutex);
                if (server.browsers.size() + server.connecting >= server.options.maxBrowsers) {
                    Say(2, "refused a browser: " + std::to_string(server.options.maxBrowsers) +
                               " are connected");
                    return Answer(request, http::status::service_unavailable, "text/plain",
                                  "too many browsers\n");
                }
                ++server.connecting;
            }
            stream.expires_never();
            std::make_shared<BrowserSession>(server, stream.release_socket(), std::move(place),
                                             BrowserIdOf(target))
                ->Accept(std::move(request));
            return;
        }
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            return Answer(request, http::status::method_not_allowed, "text/plain", "GET only\n");
        }
        const WebAsset* asset = FindWebAsset(PathOf(target));
        if (asset == nullptr) {
            return Answer(request, http::status::not_found, "text/plain", "not found\n");
        }
        Answer(request, http::status::ok, asset->contentType, asset->body);
    }

    void Answer(const http::request<http::string_body>& request, http::status status,
                std::string_view type, std::string_view body, bool keepAlive = true) {
        auto response =
            std::make_shared<http::response<http::string_body>>(status, request.version());
        response->set(http::field::server, "minimap-client");
        response->set(http::field::content_type, beast::string_view(type.data(), type.size()));
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        response->set("Content-Security-Policy", kContentSecurityPolicy);
        response->keep_alive(keepAlive && request.keep_alive());
        if (request.method() == http::verb::head) {
            // The length a GET's body has, and no body.
            response->content_length(body.size());
        } else {
            response->body() = std::string(body);
            response->prepare_payload();
        }
        http::async_write(stream, *response,
                          [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                              if (!ec && response->keep_alive()) {
                                  self->Read();
                              } else {
                                  beast::error_code ignored;
                                  self->stream.socket().shutdown(tcp::socket::shutdown_send,
                                                                 ignored);
                              }
                          });
    }

    WebServer::Impl& server;
    sim::AcceptLoop::Place place;
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
};

void WebServer::Impl::Serve(tcp::socket socket, sim::AcceptLoop::Place place) {
    std::make_shared<HttpConnection>(*this, std::move(socket), std::move(place))->Read();
}

bool WebServer::Impl::HostAllowed(std::string_view host) const {
    return options.allowRemote || HostNamesLoopbackServer(host, options.host, port);
}

void WebServer::Impl::Admit(const std::shared_ptr<BrowserSession>& session) {
    hooks.join([&](std::vector<std::string> messages) {
        std::lock_guard<std::mutex> guard(mutex);
        --connecting;
        session->counted = true;
        const auto wasDropped = std::find(droppedIds.begin(), droppedIds.end(), session->GetId());
        if (!session->GetId().empty() && wasDropped != droppedIds.end()) {
            droppedIds.erase(wasDropped);
            session->Queue(std::make_shared<const std::string>(
                R"({"notice":"dropped","text":"this page fell too far behind and was )"
                R"(disconnected; here is the whole map again"})"));
        }
        for (std::string& message : messages) {
            session->Queue(std::make_shared<const std::string>(std::move(message)));
        }
        browsers.push_back(session);
    });
}

void WebServer::Impl::Leave(const BrowserSession* session) {
    std::lock_guard<std::mutex> guard(mutex);
    const auto it = std::find_if(browsers.begin(), browsers.end(),
                                 [&](const auto& b) { return b.get() == session; });
    if (it != browsers.end()) {
        browsers.erase(it);
    } else if (!session->counted) {
        --connecting;  // the handshake failed before the browser was admitted
        const_cast<BrowserSession*>(session)->counted = true;
    }
}

void WebServer::Impl::Publish(std::string text) {
    const auto message = std::make_shared<const std::string>(std::move(text));
    std::lock_guard<std::mutex> guard(mutex);
    for (auto it = browsers.begin(); it != browsers.end();) {
        if ((*it)->Queue(message)) {
            ++it;
            continue;
        }
        const std::shared_ptr<BrowserSession> slow = *it;
        it = browsers.erase(it);
        ++dropped;
        if (!slow->GetId().empty()) {
            droppedIds.push_back(slow->GetId());
            if (droppedIds.size() > kRememberedDrops) {
                droppedIds.pop_front();
            }
        }
        asio::post(io, [slow] { slow->Drop(); });
        Say(3, "dropped a browser that fell " + std::to_string(options.maxQueuedMessages) +
                   " messages or " + std::to_string(options.maxQueuedBytes) +
                   " bytes behind; it gets the whole map when it reconnects");
    }
}

WebServer::WebServer(WebServerOptions options, Hooks hooks)
    : impl(std::make_unique<Impl>(std::move(options), std::move(hooks))) {}

WebServer::~WebServer() {
    Stop();
}

bool WebServer::Start(std::string& error) {
    const std::string address = sim::ListenAddress(impl->options.host);
    // A name is refused by the listen below as not numeric, whatever --web-allow-remote says.
    boost::system::error_code notNumeric;
    const asio::ip::address numeric = asio::ip::make_address(address, notNumeric);
    if (!impl->options.allowRemote && !notNumeric && !numeric.is_loopback()) {
        error = impl->options.host +
                " is not a loopback address; --web-allow-remote lets other machines in";
        return false;
    }
    if (!sim::Listen(impl->acceptor, address, impl->options.port, "is not a numeric address",
                     error)) {
        return false;
    }
    impl->port = impl->acceptor.local_endpoint().port();
    impl->accepting.Start();
    impl->thread = std::thread([this] { impl->io.run(); });
    return true;
}

void WebServer::Stop() {
    if (!impl->thread.joinable()) {
        return;
    }
    impl->io.stop();
    impl->thread.join();
    std::lock_guard<std::mutex> guard(impl->mutex);
    impl->browsers.clear();
}

std::uint16_t WebServer::GetPort() const noexcept {
    return impl->port;
}

std::string WebServer::GetUrl() const {
    return "http://" + impl->Authority() + "/";
}

void WebServer::Publish(std::string text) {
    impl->Publish(std::move(text));
}

std::size_t WebServer::CountBrowsers() const {
    std::lock_guard<std::mutex> guard(impl->mutex);
    return impl->browsers.size();
}

std::size_t WebServer::CountDropped() const {
    std::lock_guard<std::mutex> guard(impl->mutex);
    return impl->dropped;
}

}  // namespace host::web
