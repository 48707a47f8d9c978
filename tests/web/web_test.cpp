// The live view's server side: the page's control messages, one browser's bounded queue, and
// the server dropping a browser that stops reading (and telling it so when it comes back).
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "host/web/OutboundQueue.h"
#include "host/web/WebControl.h"
#include "host/web/WebServer.h"
#include "support/LogCapture.h"

namespace {

using host::web::OutboundQueue;
using host::web::ParseWebControl;
using host::web::WebControl;
using Kind = WebControl::Kind;

struct ControlCase {
    const char* text;
    Kind kind;
    bool on;
    int queryKind;
};

class WebControlForms : public ::testing::TestWithParam<ControlCase> {};

TEST_P(WebControlForms, ParseToWhatTheyAsk) {
    const std::optional<WebControl> control = ParseWebControl(GetParam().text);
    ASSERT_TRUE(control.has_value());
    EXPECT_EQ(control->kind, GetParam().kind);
    if (control->kind == Kind::Poll || control->kind == Kind::Battle) {
        EXPECT_EQ(control->on, GetParam().on);
    }
    if (control->kind == Kind::Query) {
        EXPECT_EQ(control->queryKind, GetParam().queryKind);
    }
}

INSTANTIATE_TEST_SUITE_P(Every, WebControlForms,
                         ::testing::Values(ControlCase{"poll on", Kind::Poll, true, 0},
                                           ControlCase{"poll off", Kind::Poll, false, 0},
                                           ControlCase{"battle on", Kind::Battle, true, 0},
                                           ControlCase{"battle off", Kind::Battle, false, 0},
                                           ControlCase{"query -1", Kind::Query, false, -1},
                                           ControlCase{"query 0", Kind::Query, false, 0},
                                           ControlCase{"query 99", Kind::Query, false, 99},
                                           ControlCase{"reset", Kind::ResetRole, false, 0}));

TEST(WebControl, HostileMalformedAndUnknownMessagesParseAsNothing) {
    const std::string nul("poll on\0", 8);
    for (const std::string& text : {std::string(),
                                    std::string("poll"),
                                    std::string("poll  on"),
                                    std::string("poll on "),
                                    std::string("Poll on"),
                                    std::string("poll yes"),
                                    std::string("reset now"),
                                    std::string("query"),
                                    std::string("query "),
                                    std::string("query -2"),
                                    std::string("query 100"),
                                    std::string("query +1"),
                                    std::string("query 1x"),
                                    std::string("query 007"),
                                    std::string("query -0"),
                                    std::string("query -01"),
                                    std::string("query 4294967298"),
                                    std::string("quit"),
                                    std::string("{\"control\":\"reset\"}"),
                                    nul,
                                    std::string(65, 'q'),
                                    "query " + std::string(100, '9')}) {
        EXPECT_FALSE(ParseWebControl(text).has_value()) << text;
    }
}

TEST(OutboundQueue, ReaderThatFallsBehindOverflowsForGoodAtEitherBound) {
    const auto message = [](std::size_t bytes) {
        return std::make_shared<const std::string>(bytes, 'm');
    };
    OutboundQueue byCount(3, 1000);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(byCount.Push(message(10)));
    }
    EXPECT_FALSE(byCount.Push(message(10)));
    EXPECT_TRUE(byCount.Overflowed());
    EXPECT_TRUE(byCount.Empty());  // what it held is of no use to a browser that is dropped
    EXPECT_FALSE(byCount.Push(message(1))) << "an overflowed queue takes nothing more";

    OutboundQueue byBytes(100, 25);
    ASSERT_TRUE(byBytes.Push(message(10)));
    ASSERT_TRUE(byBytes.Push(message(10)));
    const OutboundQueue::Message writing = byBytes.Front();
    byBytes.Pop();  // written: its bytes no longer count
    EXPECT_EQ(byBytes.Bytes(), 10u);
    ASSERT_TRUE(byBytes.Push(message(15)));
    EXPECT_FALSE(byBytes.Push(message(1)));
    EXPECT_EQ(*writing, std::string(10, 'm')) << "a message being written outlives the drop";
}

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

/// A browser made of a blocking WebSocket client.
struct TestBrowser {
    asio::io_context io;
    websocket::stream<tcp::socket> ws{io};

    TestBrowser(std::uint16_t port, const std::string& id, const std::string& origin = {},
                const std::string& host = "127.0.0.1") {
        tcp::resolver resolver(io);
        asio::connect(ws.next_layer(), resolver.resolve(host, std::to_string(port)));
        if (!origin.empty()) {
            ws.set_option(websocket::stream_base::decorator([origin](websocket::request_type& r) {
                r.set(beast::http::field::origin, origin);
            }));
        }
        ws.handshake(host + ":" + std::to_string(port), "/ws?id=" + id);
    }
    std::string Read() {
        beast::flat_buffer buffer;
        ws.read(buffer);
        return beast::buffers_to_string(buffer.data());
    }
};

TEST(WebServerThreads, SlowBrowserIsDroppedWithoutBlockingAndToldOnReconnect) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<WebControl> controls;
    host::web::WebServerOptions options;
    options.maxQueuedMessages = 64;
    options.maxQueuedBytes = 1 << 20;
    // One connection at a time: every connection below waits for the one before it to give
    // its place back, refused, dropped or closed.
    options.maxConnections = 1;
    host::web::WebServer server(options, {[](const auto& admit) { admit({"hello"}); },
                                          [&](const WebControl& control) {
                                              std::lock_guard<std::mutex> guard(mutex);
                                              controls.push_back(control);
                                              changed.notify_all();
                                              if (control.kind == Kind::ResetRole) {
                                                  throw 7;  // as a plug-in's subscriber may
                                              }
                                          }});
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;

    // Another site's page may not drive the client.
    EXPECT_THROW(TestBrowser(server.GetPort(), "evil", "http://evil.example"),
                 boost::system::system_error);

    {
        TestBrowser slow(server.GetPort(), "slow-page");
        ASSERT_EQ(slow.Read(), "hello");
        ASSERT_EQ(server.CountBrowsers(), 1u);
        // It reads nothing more: once the sockets' buffers are full its queue overflows and
        // it is dropped; Publish returns every time.
        const std::string big(64 * 1024, 'x');
        for (int i = 0; i < 4096 && server.CountDropped() == 0; ++i) {
            server.Publish(big);
        }
        ASSERT_EQ(server.CountDropped(), 1u);
        EXPECT_EQ(server.CountBrowsers(), 0u);
    }

    TestBrowser back(server.GetPort(), "slow-page");
    EXPECT_NE(back.Read().find("\"dropped\""), std::string::npos);
    EXPECT_EQ(back.Read(), "hello");

    // A control that throws and messages that are no control are each passed over (the first
    // of those with a line, the others without); the next control still works.
    test::LogCapture log(1u << 3);
    back.ws.write(asio::buffer(std::string("reset")));
    for (int i = 0; i < 3; ++i) {
        back.ws.write(asio::buffer(std::string("rm -rf /")));
    }
    back.ws.write(asio::buffer(std::string("query 3")));
    std::unique_lock<std::mutex> guard(mutex);
    ASSERT_TRUE(
        changed.wait_for(guard, std::chrono::seconds(30), [&] { return controls.size() == 2; }));
    EXPECT_EQ(controls[0].kind, Kind::ResetRole);
    EXPECT_EQ(controls[1].kind, Kind::Query);
    EXPECT_EQ(controls[1].queryKind, 3);
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("ignored a control message of 8 bytes") !=
                                       std::string::npos;
                            }),
              1)
        << ::testing::PrintToString(lines);
}

// The address printed at start is one a browser can use: another loopback address than
// 127.0.0.1 answers to its own Host, and localhost is taken as the name it is.
TEST(WebServerAddress, PrintedAddressIsOneTheServerAnswers) {
    for (const std::string host : {"127.0.0.2", "localhost", "LocalHost"}) {
        host::web::WebServerOptions options;
        options.host = host;
        host::web::WebServer server(
            options, {[](const auto& admit) { admit({"hello"}); }, [](const WebControl&) {}});
        std::string error;
        ASSERT_TRUE(server.Start(error)) << host << ": " << error;
        const std::string port = std::to_string(server.GetPort());
        EXPECT_EQ(server.GetUrl(), "http://" + host + ":" + port + "/");
        TestBrowser browser(server.GetPort(), "page", "http://" + host + ":" + port, host);
        EXPECT_EQ(browser.Read(), "hello") << host;
    }
}

/// Sends `request` on a new connection and returns everything the server answers until it
/// closes the connection.
std::string Exchange(std::uint16_t port, const std::string& request) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    asio::write(socket, asio::buffer(request));
    std::string answer;
    boost::system::error_code ec;
    asio::read(socket, asio::dynamic_buffer(answer), ec);
    return answer;
}

// Clients that are not browsers: a HEAD request learns the length a GET's body has, and an
// upgrade with bytes behind it in the same write (a frame sent before the answer) is refused,
// where those bytes would have been lost.
TEST(WebServerHttp, HeadTellsTheBodyLengthAndDataBeforeTheUpgradeAnswerIsRefused) {
    host::web::WebServer server(
        {}, {[](const auto& admit) { admit({"hello"}); }, [](const WebControl&) {}});
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server.GetPort()) + "\r\n";

    const std::string get =
        Exchange(server.GetPort(), "GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
    const std::size_t bodyAt = get.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos) << get;
    const std::string length = "Content-Length: " + std::to_string(get.size() - bodyAt - 4);
    EXPECT_NE(get.find(length), std::string::npos) << get.substr(0, bodyAt);
    const std::string head =
        Exchange(server.GetPort(), "HEAD / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
    EXPECT_NE(head.find(length), std::string::npos) << head;
    EXPECT_EQ(head.find("\r\n\r\n"), head.size() - 4) << "no body";

    const std::string upgrade = "GET /ws HTTP/1.1\r\n" + host +
                                "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n";
    EXPECT_EQ(Exchange(server.GetPort(), upgrade + "\x81\x85").rfind("HTTP/1.1 400", 0), 0u);
    EXPECT_EQ(server.CountBrowsers(), 0u);
}

// The Host fields a browser sends for the printed address and the loopback names, and what
// another site's page sends through a name that resolves here.
TEST(WebServerAddress, HostFieldNamesThisServerOnlyByItsLoopbackNames) {
    using host::web::HostNamesLoopbackServer;
    EXPECT_TRUE(HostNamesLoopbackServer("127.0.0.1:8080", "127.0.0.1", 8080));
    EXPECT_TRUE(HostNamesLoopbackServer("LOCALHOST:8080", "127.0.0.1", 8080));
    EXPECT_TRUE(HostNamesLoopbackServer("[::1]:8080", "127.0.0.1", 8080));
    EXPECT_TRUE(HostNamesLoopbackServer("127.0.0.2:8080", "127.0.0.2", 8080));
    EXPECT_TRUE(HostNamesLoopbackServer("[::1]:8080", "::1", 8080));
    // Port 80, which browsers leave out.
    EXPECT_TRUE(HostNamesLoopbackServer("127.0.0.1", "127.0.0.1", 80));
    EXPECT_TRUE(HostNamesLoopbackServer("localhost:80", "127.0.0.1", 80));
    EXPECT_TRUE(HostNamesLoopbackServer("[::1]", "::1", 80));

    EXPECT_FALSE(HostNamesLoopbackServer("127.0.0.1", "127.0.0.1", 8080));
    EXPECT_FALSE(HostNamesLoopbackServer("127.0.0.1:8081", "127.0.0.1", 8080));
    EXPECT_FALSE(HostNamesLoopbackServer("127.0.0.1:", "127.0.0.1", 8080));
    EXPECT_FALSE(HostNamesLoopbackServer("127.0.0.2:8080", "127.0.0.1", 8080));
    EXPECT_FALSE(HostNamesLoopbackServer("evil.example:8080", "127.0.0.1", 8080));
    EXPECT_FALSE(HostNamesLoopbackServer("evil.example", "127.0.0.1", 80));
    EXPECT_FALSE(HostNamesLoopbackServer("localhost.evil.example:8080", "127.0.0.1", 8080));
    EXPECT_FALSE(HostNamesLoopbackServer("", "127.0.0.1", 80));
}

}  // namespace
