#include "server/SimServer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include <boost/asio.hpp>

#include "function/Bind.h"
#include "net/LogFormat.h"
#include "net/NetMsg.h"
#include "plinth/Timer.h"
#include "server/Listen.h"
#include "server/SimMessages.h"
#include "server/World.h"

namespace sim {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

/// A receive buffer larger than this is released once its message is handled: requests take a
/// few bytes, so an idle connection keeps none of a large message's room.
constexpr std::size_t kKeptReadBytes = 1024;
/// The same for the room of encoded bytes, once everything is sent.
constexpr std::size_t kKeptWriteBytes = 4096;
/// Writes of one connection in a row before the other connections get the thread.
constexpr int kWritesPerTurn = 16;

void Log(int level, const std::string& text) {
    LogText(level, ("minimap-server: " + text).c_str());
}

/// A condition that may repeat as fast as the network goes (a failing accept): logged when it
/// first happens, then at most once per kReportIntervalMs, with how often it happened since.
class PacedReport {
public:
    /// The condition happened at `nowMs`; `text` describes it.
    void Note(std::int64_t nowMs, std::string text) {
        last = std::move(text);
        ++count;
        Flush(nowMs);
    }

    /// Logs the repeats not told yet, once the interval since the last line has passed.
    void Flush(std::int64_t nowMs) {
        if (count == 0 || (told && nowMs - toldMs < kReportIntervalMs)) {
            return;
        }
        Log(3, count == 1 ? last
                          : last + " (" + std::to_string(count) + " times since the last report)");
        told = true;
        toldMs = nowMs;
        count = 0;
    }

private:
    std::string last;
    std::uint64_t count = 0;
    bool told = false;
    std::int64_t toldMs = 0;
};

/// The messages of one answer, encoded one at a time as the connection drains: a poll's
/// store operations, or a query's results and its QueryEnd. Holds the records from the
/// moment of the request, so the answer is what the world was then, however long it takes.
class Answer {
public:
    explicit Answer(std::vector<SyncItem> operations) : operations(std::move(operations)) {}
    explicit Answer(std::vector<_MiniMapNpcInfo> results)
        : results(std::move(results)), query(true) {}

    /// Appends the next message's bytes to `out`; false when every message was given.
    bool EncodeNext(Bytes& out) {
        Bytes message;
        if (!query) {
            if (next >= operations.size()) {
                return false;
            }
            message = EncodeSync(operations[next]);
        } else if (next < results.size()) {
            message = EncodeQueryResult(results[next]);
        } else if (next == results.size()) {
            message = EncodeQueryEnd();
        } else {
            return false;
        }
        ++next;
        out.insert(out.end(), message.begin(), message.end());
        return true;
    }

private:
    std::vector<SyncItem> operations;
    std::vector<_MiniMapNpcInfo> results;
    bool query = false;
    std::size_t next = 0;
};

class Server;

/// One client connection. Lives while an operation of it is pending or the server lists it.
///
/// What it owes the client waits in `backlog` in order (messages sent unasked, answers still
/// to be encoded); `wire` holds the encoded bytes the socket has not taken. The socket is
/// written without blocking; when it takes no more, the session waits until it is writable.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Server& server, tcp::socket socket, std::uint64_t serial, const World& world);

    void Start();
    /// Queues a message the client did not ask for; closes the connection when that makes more
    /// pending bytes than the limit.
    void Send(Bytes bytes);
    void Close(const std::string& reason);
    /// Closes the connection when bytes are pending and the client took none of them for the
    /// stall deadline.
    void CheckDrain(std::int64_t nowMs);
    std::uint64_t GetSerial() const noexcept { return serial; }

    ClientView view;

private:
    struct Outgoing {
        Bytes message;
        std::unique_ptr<Answer> answer;
    };

    void ReadNext();
    void ReadHeader();
    void ReadBody(std::size_t length);
    void OnMessage(std::size_t length);
    /// A read ended by `ec` after `got` of the `wanted` bytes of a header or a message.
    void Lost(const boost::system::error_code& ec, std::size_t got, std::size_t wanted);
    void Malformed(const std::string& reason);
    /// Tells the capture tap (SimServerOptions::tap), if any, about bytes on the wire.
    void Tap(capture::Direction direction, const char* bytes, std::size_t size);
    void Queue(std::unique_ptr<Answer> answer);
    /// The clock of the stall deadline starts when the client is first owed something.
    void Owe();
    void ScheduleFlush();
    void Flush();
    void Encode();
    void WaitWritable();
    std::size_t Unsent() const noexcept { return wire.size() - wireSent; }
    std::size_t Pending() const noexcept { return Unsent() + backlogBytes; }

    Server& server;
    tcp::socket socket;
    std::uint64_t serial;
    /// The header being read, then the whole message in `body`, which grows to its length.
    std::array<char, net::kHeaderSize> header{};
    Bytes body;
    std::deque<Outgoing> backlog;
    /// The bytes of the messages in `backlog` (answers count as they are encoded).
    std::size_t backlogBytes = 0;
    std::size_t answersQueued = 0;
    Bytes wire;
    std::size_t wireSent = 0;
    std::size_t peakPending = 0;
    std::int64_t lastTakenMs = 0;
    bool reading = false;
    bool flushPosted = false;
    bool waitingToWrite = false;
    bool closed = false;
};

class Server {
public:
    explicit Server(SimServerOptions options) : options(std::move(options)) {
        scale = this->options.timeScale > 0 ? this->options.timeScale : os::GetTimer()->GetScale();
        if (!(scale > 0)) {
            scale = 1.0;
        }
        // Half of the limit at most, so that an answer in flight leaves room for the messages
        // sent unasked.
        answerWindow = std::min(kAnswerWindowBytes,
                                std::max<std::size_t>(this->options.maxPendingBytes / 2, 1));
        if (this->options.timer != nullptr) {
            timer = this->options.timer;
        } else {
            ownTimer = std::make_unique<os::Timer>();
            timer = ownTimer.get();
        }
    }

    bool Start(std::string& error) {
        if (!Listen(acceptor, options.bindAddress, options.port, "is not an IP address", error)) {
            return false;
        }
        boost::system::error_code ec;
        port = acceptor.local_endpoint(ec).port();
        origin = Clock::now();
        // The world holds its first moment before anyone can connect.
        if (options.clock == SimServerOptions::Clock::Poll) {
            Step();
        } else {
            PlayDue();
            ScheduleNext();
        }
        Accept();
        ArmCheck();
        thread = std::thread([this] { Run(); });
        return true;
    }

    void Stop() {
        if (!thread.joinable()) {
            return;
        }
        os::TimerID check;
        {
            std::lock_guard<std::mutex> guard(checkMutex);
            checksStopped = true;
            check = checkTimer;
        }
        // Waits for a check that runs now on the timer's thread; it arms no other.
        check.Cancel();
        asio::post(io, [this] {
            stopping = true;
            boost::system::error_code ec;
            acceptor.close(ec);
            scenarioTimer.cancel();
            work.reset();
            auto all = sessions;
            for (auto& [id, session] : all) {
                session->Close("server stopping");
            }
        });
        thread.join();
    }

    std::uint16_t GetPort() const noexcept { return port.load(); }

    SimServerStats GetStats() const {
        std::lock_guard<std::mutex> guard(statsMutex);
        return stats;
    }

    template <class F>
    void Count(F&& change) {
        {
            std::lock_guard<std::mutex> guard(statsMutex);
            change(stats);
        }
        statsChanged.notify_all();
    }

    bool WaitForStats(const std::function<bool(const SimServerStats&)>& condition,
                      int timeoutMs) const {
        std::unique_lock<std::mutex> guard(statsMutex);
        return statsChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [&] { return condition(stats); });
    }

    void Observe(std::uint64_t connection, const std::vector<char>& bytes) {
        if (observer) {
            observer(connection, bytes);
        }
    }

    void SetObserver(MessageObserver o) { observer = std::move(o); }

    void Forget(std::uint64_t serial) {
        if (sessions.erase(serial) != 0) {
            Count([](SimServerStats& s) { --s.open; });
        }
    }

    /// A connection's socket is closed: its place, and a descriptor, are free again.
    void ResumeAccepting() {
        acceptPaused = false;
        Accept();
    }

    /// A poll was answered: with the poll clock, the world moves one scenario step, ready for
    /// the next poll.
    void AfterPoll() {
        if (options.clock == SimServerOptions::Clock::Poll) {
            Step();
        }
    }

    std::int64_t Now() const { return timer->Now(); }

    World world;
    const SimServerOptions options;
    std::size_t answerWindow = kAnswerWindowBytes;
    bool stopping = false;

private:
    void Run() {
        try {
            io.run();
        } catch (const std::exception& e) {
            Log(3, std::string("network thread stopped: ") + e.what());
        }
    }

    /// Accepts the next connection, unless the server is at its connection limit or paused
    /// after a failed accept: accepting again at once would fail again at once, as fast as
    /// the thread can go, as long as the descriptors lack.
    void Accept() {
        if (stopping || accepting || acceptPaused) {
            return;
        }
        if (options.maxConnections != 0 && sessions.size() >= options.maxConnections) {
            limitReport.Note(Now(), "connection limit of " +
                                        std::to_string(options.maxConnections) +
                                        " reached; accepting paused until a connection closes");
            return;
        }
        accepting = true;
        acceptor.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
            accepting = false;
            if (stopping || ec == asio::error::operation_aborted) {
                return;
            }
            if (ec) {
                Count([](SimServerStats& s) { ++s.acceptFailures; });
                const std::int64_t now = Now();
                acceptPaused = true;
                retryAtMs = now + kAcceptRetryMs;
                acceptReport.Note(now, "accept failed: " + ec.message() +
                                           "; accepting paused until a connection closes");
                return;
            }
            const std::uint64_t serial = nextSerial++;
            auto session = std::make_shared<Session>(*this, std::move(socket), serial, world);
            sessions.emplace(serial, session);
            Count([](SimServerStats& s) {
                ++s.connections;
                ++s.open;
            });
            Log(2, "connection " + std::to_string(serial) + " opened");
            session->Start();
            Accept();
        });
    }

    /// Registers the next check on the deadlines' clock. Any thread.
    void ArmCheck() {
        std::lock_guard<std::mutex> guard(checkMutex);
        if (!checksStopped) {
            checkTimer = PLINTH_REGISTER_TIMER(timer, os::bind(&Server::OnCheckTimer, this),
                                               static_cast<int>(kCheckIntervalMs), nullptr);
        }
    }

    /// On the timer's thread (or the thread advancing a manual clock).
    void OnCheckTimer(os::Timer* t, os::TimerID, void*) {
        const std::int64_t now = t->Now();
        asio::post(io, [this, now] { Check(now); });
        ArmCheck();
    }

    void Check(std::int64_t now) {
        if (stopping) {
            return;
        }
        auto all = sessions;
        for (auto& [id, session] : all) {
            session->CheckDrain(now);
        }
        acceptReport.Flush(now);
        limitReport.Flush(now);
        // The fallback when no connection of ours closes: the descriptors may have been
        // freed elsewhere in the process.
        if (acceptPaused && now >= retryAtMs) {
            acceptPaused = false;
            Accept();
        }
    }

    Clock::duration Scaled(std::int64_t ms) const {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(static_cast<double>(ms) * scale));
    }

    void ScheduleNext() {
        if (options.clock != SimServerOptions::Clock::Time || stopping) {
            return;
        }
        const auto& events = options.scenario.events;
        std::int64_t dueMs = 0;
        if (nextEvent < events.size()) {
            dueMs = events[nextEvent].timeMs;
        } else if (options.scenario.loopMs > 0) {
            dueMs = options.scenario.loopMs;
        } else {
            return;
        }
        scenarioTimer.expires_at(origin + Scaled(dueMs));
        scenarioTimer.async_wait([this](const boost::system::error_code& ec) {
            if (ec || stopping) {
                return;
            }
            PlayDue();
            ScheduleNext();
        });
    }

    /// Plays every event that is due. A looping scenario that starts over plays the first
    /// events of its new round in the same step as the clear: no answer in between sees the
    /// world empty, when at no time of the scenario is it. Rounds that are already wholly in
    /// the past are skipped, not played one after another: a round that takes longer to play
    /// than it lasts (a big scenario at a small time scale) would otherwise keep this thread
    /// from its connections and from a stop for ever.
    void PlayDue() {
        PlayDueOfRound();
        const auto elapsed = Clock::now() - origin;
        if (nextEvent < options.scenario.events.size() || options.scenario.loopMs == 0 ||
            Scaled(options.scenario.loopMs) > elapsed) {
            return;
        }
        world.Clear();
        // At least a millisecond per round, so that a tiny scale cannot spin the thread.
        const auto round = std::max<Clock::duration>(Scaled(options.scenario.loopMs),
                                                     std::chrono::milliseconds(1));
        origin += round * std::max<Clock::rep>(elapsed / round, 1);
        nextEvent = 0;
        Log(2, "scenario starts over");
        PlayDueOfRound();
    }

    void PlayDueOfRound() {
        const auto& events = options.scenario.events;
        const auto elapsed = Clock::now() - origin;
        while (nextEvent < events.size() && Scaled(events[nextEvent].timeMs) <= elapsed) {
            Play(events[nextEvent++]);
        }
    }

    /// Plays every event of the next scenario time; past the end of a looping scenario,
    /// starts over with its first time.
    void Step() {
        const auto& events = options.scenario.events;
        if (nextEvent >= events.size()) {
            if (options.scenario.loopMs == 0 || events.empty()) {
                return;
            }
            world.Clear();
            nextEvent = 0;
        }
        const std::int64_t time = events[nextEvent].timeMs;
        while (nextEvent < events.size() && events[nextEvent].timeMs == time) {
            Play(events[nextEvent++]);
        }
    }

    void Play(const ScenarioEvent& event) {
        world.Apply(event);
        Count([](SimServerStats& s) { ++s.eventsPlayed; });
        if (os::Log::GetInstance().IsLevelEnable(2)) {
            Log(2, "scenario line " + std::to_string(event.line) + ": " + ToString(event.type) +
                       (event.id != 0 ? " " + std::to_string(event.id) : std::string()));
        }
        if (event.type == EventType::RoleReset) {
            // A copy: a client too far behind is closed, which takes it off the list.
            auto all = sessions;
            for (auto& [id, session] : all) {
                session->Send(EncodeRoleReset());
                session->view.Forget();
            }
        }
    }

    // Declared first so that it goes last: the sockets and timers below belong to it.
    asio::io_context io;
    // Keeps the thread running while nothing is pending: accepting may pause with no
    // connection open.
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    tcp::acceptor acceptor{io};
    asio::steady_timer scenarioTimer{io};
    std::thread thread;
    std::atomic<std::uint16_t> port{0};
    double scale = 1.0;
    MessageObserver observer;
    mutable std::mutex statsMutex;
    mutable std::condition_variable statsChanged;
    SimServerStats stats;
    std::map<std::uint64_t, std::shared_ptr<Session>> sessions;
    std::uint64_t nextSerial = 1;
    std::size_t nextEvent = 0;
    Clock::time_point origin;
    bool accepting = false;
    bool acceptPaused = false;
    std::int64_t retryAtMs = 0;
    PacedReport acceptReport;
    PacedReport limitReport;
    // Declared after the io context so that it goes first, with every registration of ours.
    std::unique_ptr<os::Timer> ownTimer;
    os::Timer* timer = nullptr;
    std::mutex checkMutex;
    bool checksStopped = false;
    os::TimerID checkTimer;
};

Session::Session(Server& server, tcp::socket socket, std::uint64_t serial, const World& world)
    : view(world),
      server(server),
      socket(std::move(socket)),
      serial(serial),
      lastTakenMs(server.Now()) {}

void Session::Tap(capture::Direction direction, const char* bytes, std::size_t size) {
    if (server.options.tap != nullptr && size != 0) {
        server.options.tap->Bytes(serial, direction, bytes, size);
    }
}

void Session::Start() {
    if (server.options.tap != nullptr) {
        server.options.tap->Opened(serial);
    }
    boost::system::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    // Writes take what the socket takes and never block the thread (see Flush).
    socket.non_blocking(true, ec);
    Send(EncodeHello());
    ReadNext();
}

void Session::ReadNext() {
    // One answer at a time: while one is being encoded, the client's next requests wait in
    // the socket, so a client that asks without reading holds one answer, not thousands.
    if (!closed && !reading && answersQueued == 0) {
        ReadHeader();
    }
}

void Session::ReadHeader() {
    reading = true;
    auto self = shared_from_this();
    asio::async_read(
        socket, asio::buffer(header), [self](const boost::system::error_code& ec, std::size_t got) {
            self->reading = false;
            if (ec) {
                self->Tap(capture::Direction::ClientToServer, self->header.data(), got);
                self->Lost(ec, got, self->header.size());
                return;
            }
            const NetMsgFrame frame = FrameNetMsg(self->header.data(), self->header.size());
            if (frame.state == NetMsgFrameState::Invalid) {
                self->Tap(capture::Direction::ClientToServer, self->header.data(),
                          self->header.size());
                // The parser names what is wrong with the length, as for every message.
                ReceivedNetMsg parsed;
                self->Malformed(ParseNetMsg(self->header.data(), self->header.size(), parsed).text);
                return;
            }
            self->body.assign(self->header.begin(), self->header.end());
            if (frame.state == NetMsgFrameState::Ready) {
                self->OnMessage(frame.size);
            } else {
                self->ReadBody(frame.size);
            }
        });
}

void Session::ReadBody(std::size_t length) {
    reading = true;
    body.resize(length);
    auto self = shared_from_this();
    asio::async_read(socket, asio::buffer(body.data() + header.size(), length - header.size()),
                     [self, length](const boost::system::error_code& ec, std::size_t got) {
                         self->reading = false;
                         if (ec) {
                             self->Tap(capture::Direction::ClientToServer, self->body.data(),
                                       self->header.size() + got);
                             self->Lost(ec, self->header.size() + got, length);
                             return;
                         }
                         self->OnMessage(length);
                     });
}

void Session::OnMessage(std::size_t length) {
    Tap(capture::Direction::ClientToServer, body.data(), length);
    // A parse holds a copy of the message, so it lives only while the message is handled.
    ReceivedNetMsg parsed;
    const NetMsgParseResult result = ParseNetMsg(body.data(), length, parsed);
    if (!result) {
        Malformed(result.text);
        return;
    }
    server.Observe(serial, std::vector<char>(body.begin(), body.begin() + length));
    const Request request = DecodeRequest(*parsed.Get());
    if (body.capacity() > kKeptReadBytes) {
        Bytes().swap(body);
    }
    switch (request.kind) {
        case Request::Kind::Poll: {
            server.Count([](SimServerStats& s) { ++s.polls; });
            std::vector<SyncItem> operations = view.Poll(server.world);
            if (!operations.empty()) {
                Queue(std::make_unique<Answer>(std::move(operations)));
            }
            server.AfterPoll();
            break;
        }
        case Request::Kind::Query:
            server.Count([](SimServerStats& s) { ++s.queries; });
            Queue(std::make_unique<Answer>(server.world.Query(request.queryArg)));
            break;
        case Request::Kind::Tick:
            server.Count([](SimServerStats& s) { ++s.ticks; });
            break;
        case Request::Kind::Bad:
            Log(3, "connection " + std::to_string(serial) + ": ignored request: " + request.error);
            server.Count([](SimServerStats& s) { ++s.other; });
            break;
        case Request::Kind::Other:
            server.Count([](SimServerStats& s) { ++s.other; });
            break;
    }
    ReadNext();
}

void Session::Lost(const boost::system::error_code& ec, std::size_t got, std::size_t wanted) {
    if (ec != asio::error::eof) {
        Close(ec.message());
    } else if (got == 0) {
        Close("closed by the client");
    } else {
        // A fault like any malformed message, and named as the client names it.
        Malformed("connection cut in the middle of a message (" + std::to_string(got) + " of " +
                  std::to_string(wanted) + " bytes)");
    }
}

void Session::Malformed(const std::string& reason) {
    server.Count([](SimServerStats& s) { ++s.malformed; });
    Log(3, "connection " + std::to_string(serial) + ": malformed message: " + reason);
    Close("malformed message");
}

void Session::Owe() {
    if (Unsent() == 0 && backlog.empty()) {
        lastTakenMs = server.Now();
    }
}

void Session::Send(Bytes bytes) {
    if (closed) {
        return;
    }
    if (Pending() + bytes.size() > server.options.maxPendingBytes) {
        server.Count([](SimServerStats& s) { ++s.notReading; });
        Close("the client does not read (" + std::to_string(Pending()) + " bytes pending)");
        return;
    }
    Owe();
    backlogBytes += bytes.size();
    backlog.push_back(Outgoing{std::move(bytes), nullptr});
    ScheduleFlush();
}

void Session::Queue(std::unique_ptr<Answer> answer) {
    if (closed) {
        return;
    }
    Owe();
    ++answersQueued;
    backlog.push_back(Outgoing{Bytes(), std::move(answer)});
    ScheduleFlush();
}

void Session::ScheduleFlush() {
    if (flushPosted || waitingToWrite || closed) {
        return;
    }
    flushPosted = true;
    auto self = shared_from_this();
    asio::post(socket.get_executor(), [self] {
        self->flushPosted = false;
        self->Flush();
    });
}

void Session::Encode() {
    if (wireSent == wire.size()) {
        wire.clear();
        wireSent = 0;
    } else if (wireSent >= server.answerWindow) {
        wire.erase(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(wireSent));
        wireSent = 0;
    }
    while (Unsent() < server.answerWindow && !backlog.empty()) {
        Outgoing& next = backlog.front();
        if (next.answer) {
            const std::size_t start = wire.size();
            if (next.answer->EncodeNext(wire)) {
                // Told as each message is encoded: the order it goes out in.
                Tap(capture::Direction::ServerToClient, wire.data() + start, wire.size() - start);
                continue;
            }
            --answersQueued;
        } else {
            wire.insert(wire.end(), next.message.begin(), next.message.end());
            Tap(capture::Direction::ServerToClient, next.message.data(), next.message.size());
            backlogBytes -= next.message.size();
        }
        backlog.pop_front();
    }
    if (Pending() > peakPending) {
        peakPending = Pending();
        server.Count([this](SimServerStats& s) {
            s.peakPendingBytes = std::max<std::uint64_t>(s.peakPendingBytes, peakPending);
        });
    }
    ReadNext();
}

void Session::Flush() {
    if (closed || waitingToWrite) {
        return;
    }
    for (int i = 0; i < kWritesPerTurn; ++i) {
        Encode();
        if (Unsent() == 0) {
            if (wire.capacity() > kKeptWriteBytes) {
                Bytes().swap(wire);
            }
            return;
        }
        boost::system::error_code ec;
        const std::size_t taken =
            socket.write_some(asio::buffer(wire.data() + wireSent, Unsent()), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            WaitWritable();
            return;
        }
        if (ec) {
            Close(ec.message());
            return;
        }
        wireSent += taken;
        lastTakenMs = server.Now();
    }
    // Leave the thread to the other connections for a turn, then go on.
    ScheduleFlush();
}

void Session::WaitWritable() {
    waitingToWrite = true;
    server.Count([](SimServerStats& s) { ++s.waitingToWrite; });
    auto self = shared_from_this();
    socket.async_wait(tcp::socket::wait_write, [self](const boost::system::error_code& ec) {
        self->waitingToWrite = false;
        self->server.Count([](SimServerStats& s) { --s.waitingToWrite; });
        if (ec) {
            self->Close(ec.message());
            return;
        }
        self->Flush();
    });
}

void Session::CheckDrain(std::int64_t nowMs) {
    if (closed || Pending() + answersQueued == 0 ||
        nowMs - lastTakenMs < server.options.stallTimeoutMs) {
        return;
    }
    server.Count([](SimServerStats& s) { ++s.notReading; });
    Close("the client does not read (" + std::to_string(Pending()) +
          " bytes pending, none taken for " + std::to_string(nowMs - lastTakenMs) + " ms)");
}

void Session::Close(const std::string& reason) {
    if (closed) {
        return;
    }
    closed = true;
    if (server.options.tap != nullptr) {
        server.options.tap->Closed(serial);
    }
    backlog.clear();
    Bytes().swap(wire);
    // Counted before the socket goes, so that whoever sees the connection end sees the count.
    server.Forget(serial);
    Log(2, "connection " + std::to_string(serial) + " closed: " + reason);
    boost::system::error_code ec;
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
    server.ResumeAccepting();
}

}  // namespace

struct SimServer::Impl {
    explicit Impl(SimServerOptions options) : server(std::move(options)) {}
    Server server;
    std::mutex control;
    bool started = false;
};

SimServer::SimServer(SimServerOptions options) : impl(std::make_unique<Impl>(std::move(options))) {}

SimServer::~SimServer() {
    Stop();
}

void SimServer::SetMessageObserver(MessageObserver observer) {
    std::lock_guard<std::mutex> guard(impl->control);
    if (!impl->started) {
        impl->server.SetObserver(std::move(observer));
    }
}

bool SimServer::Start(std::string& error) {
    std::lock_guard<std::mutex> guard(impl->control);
    if (impl->started) {
        error = "already started";
        return false;
    }
    if (!impl->server.Start(error)) {
        return false;
    }
    impl->started = true;
    return true;
}

std::uint16_t SimServer::GetPort() const noexcept {
    return impl->server.GetPort();
}

void SimServer::Stop() {
    std::lock_guard<std::mutex> guard(impl->control);
    impl->server.Stop();
}

SimServerStats SimServer::GetStats() const {
    return impl->server.GetStats();
}

bool SimServer::WaitForStats(const std::function<bool(const SimServerStats&)>& condition,
                             int timeoutMs) const {
    return impl->server.WaitForStats(condition, timeoutMs);
}

bool ParseHostPort(const std::string& text, std::string& host, std::uint16_t& port, bool portZero) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) {
        return false;
    }
    unsigned value = 0;
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || (value == 0 && !portZero) || value > 65535) {
        return false;
    }
    std::string name = text.substr(0, colon);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    if (name.empty()) {
        return false;
    }
    host = std::move(name);
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace sim
