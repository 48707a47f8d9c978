// minimap-server: the game-server simulator as a program of its own.
//
//     minimap-server [--bind ADDR] [--port N] [--scenario FILE] [--clock time|poll]
//                    [--duration-ms N] [--max-connections N] [--max-pending-bytes N]
//                    [--stall-timeout-ms N] [--capture FILE] [--help] [--version]
//     minimap-server --replay FILE [--speed X] [--bind ADDR] [--port N] [--duration-ms N]
//
// --capture writes every message of every connection, both directions, to a pcapng file;
// --replay plays a capture's server side to the clients that connect instead of a scenario
// (server/ReplayServer.h), at its captured pace times X.
//
// Prints one line "minimap-server: listening on ADDR:PORT ..." on standard output once it
// accepts connections (port 0 picks a free one, which the line tells), then runs until
// SIGINT, SIGTERM, SIGHUP (unless started by nohup) or the duration, and exits 0 after a
// clean stop (1 when a capture it was asked for could not be written whole). Log lines go to
// standard error (PLINTH_LOG_LEVEL=2 shows connections and scenario events).
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <limits>
#include <string>

#include "capture/CaptureWriter.h"
#include "cli/CommandLine.h"
#include "server/DefaultScenario.h"
#include "server/HostPort.h"
#include "server/Listen.h"
#include "server/ReplayServer.h"
#include "server/Scenario.h"
#include "server/SimServer.h"

namespace {

constexpr std::uint16_t kDefaultPort = 7450;

/// The address to listen on, made numeric as the listener takes it: an IPv4 or IPv6 address,
/// the latter also in brackets (as --server and URLs write it), or "localhost" (as the
/// client's --web takes it).
const CLI::Validator kListenAddress(
    [](std::string& text) {
        const bool bracketed = text.size() >= 2 && text.front() == '[' && text.back() == ']';
        const std::string address =
            bracketed ? text.substr(1, text.size() - 2) : sim::ListenAddress(text);
        unsigned char buffer[sizeof(in6_addr)];
        if (inet_pton(AF_INET, address.c_str(), buffer) != 1 &&
            inet_pton(AF_INET6, address.c_str(), buffer) != 1) {
            return "not a numeric IPv4 or IPv6 address, nor localhost: " + text;
        }
        text = address;
        return std::string();
    },
    "");

/// A count that is not negative: CLI11 reads "-1" into an unsigned option as the type's
/// largest value, which for a limit means no limit at all.
const CLI::Validator kNotNegative(
    [](const std::string& text) {
        const std::size_t first = text.find_first_not_of(" \t");
        return first != std::string::npos && text[first] == '-' ? "a negative count: " + text
                                                                : std::string();
    },
    "");

/// A value that is a number: CLI::Range lets NaN through, since no comparison with it holds.
const CLI::Validator kNotNaN(
    [](const std::string& text) {
        return std::isnan(std::strtod(text.c_str(), nullptr)) ? "not a number: " + text
                                                              : std::string();
    },
    "");

/// Waits for a stop signal (blocked by the caller), or `durationMs` when not negative.
void WaitForStop(const sigset_t& stopSignals, long long durationMs) {
    if (durationMs >= 0) {
        // Seconds past what time_t holds (32 bits on i386) would wrap into a negative timeout,
        // which ends the wait at once; the largest time_t is as good as forever.
        const long long seconds =
            std::min<long long>(durationMs / 1000, std::numeric_limits<time_t>::max());
        timespec timeout{static_cast<time_t>(seconds),
                         static_cast<long>(durationMs % 1000) * 1000000L};
        while (sigtimedwait(&stopSignals, nullptr, &timeout) < 0 && errno == EINTR) {
        }
    } else {
        int received = 0;
        sigwait(&stopSignals, &received);
    }
}

int Replay(const std::string& path, sim::ReplayServerOptions options, const sigset_t& stopSignals,
           long long durationMs) {
    const std::string bindAddress = options.bindAddress;
    const double speed = options.speed;
    sim::ReplayServer server(std::move(options));
    std::string error;
    if (!server.Load(path, error) || !server.Start(error)) {
        std::cerr << "minimap-server: " << error << "\n";
        return 1;
    }
    std::printf(
        "minimap-server: listening on %s, replaying %s (%zu connections, %zu server "
        "messages) at %g times the captured pace\n",
        sim::JoinHostPort(bindAddress, server.GetPort()).c_str(), path.c_str(),
        server.GetConnectionCount(), server.GetMessageCount(), speed);
    std::fflush(stdout);
    WaitForStop(stopSignals, durationMs);
    server.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Its sockets must not take a closed standard descriptor's number: the banner would go
    // into a client's connection.
    cli::OpenClosedStandardStreams();
    sim::SimServerOptions options;
    options.port = kDefaultPort;
    std::string scenarioPath;
    long long durationMs = -1;
    std::string clock = "time";
    std::string capturePath;
    std::string replayPath;
    double speed = 1.0;

    CLI::App app{
        "minimap-server: the game-server simulator. Prints \"minimap-server: listening on "
        "ADDR:PORT ...\" once it accepts connections, then plays the scenario to every "
        "client until SIGINT, SIGTERM, SIGHUP or --duration-ms."};
    cli::Prepare(app, "minimap-server");
    app.add_option("--bind", options.bindAddress,
                   "the address to listen on: numeric (IPv6 also in brackets) or localhost")
        ->transform(kListenAddress)
        ->type_name("ADDR");
    app.add_option("--port", options.port, "the port to listen on (0: a free one)")
        ->check(CLI::Range(0, 65535).description(""))
        ->type_name("N");
    app.add_option("--scenario", scenarioPath,
                   std::string("the scenario file (default: the built-in village square, ") +
                       sim::DefaultScenarioSource() + ")")
        ->check(cli::kPath)
        ->type_name("FILE");
    app.add_option("--clock", clock,
                   "time: play the scenario on the clock (times PLINTH_TIMER_SCALE); poll: one "
                   "time step after each poll answered")
        ->check(CLI::IsMember({"time", "poll"}).description(""))
        ->type_name("time|poll");
    app.add_option("--duration-ms", durationMs,
                   "stop after this many milliseconds (-1: run until a stop signal)")
        ->check(CLI::Range(-1LL, std::numeric_limits<long long>::max()).description(""))
        ->type_name("N");
    app.add_option("--max-connections", options.maxConnections,
                   "most connections open at once (0: no limit). At the limit, or out of "
                   "descriptors, the server stops accepting until a connection closes "
                   "(retrying every " +
                       std::to_string(sim::kAcceptRetryMs) + " ms); new clients wait")
        ->check(kNotNegative)
        ->type_name("N");
    app.add_option("--max-pending-bytes", options.maxPendingBytes,
                   "most unsent bytes per connection. Answers are encoded as the socket drains, "
                   "at most " +
                       std::to_string(sim::kAnswerWindowBytes) + " bytes (or N/2) ahead")
        ->check(kNotNegative)
        ->check(
            CLI::Range(std::size_t{1024}, std::numeric_limits<std::size_t>::max()).description(""))
        ->type_name("N");
    app.add_option("--stall-timeout-ms", options.stallTimeoutMs,
                   "a client that takes none of its pending bytes for this long is disconnected")
        ->check(CLI::Range(std::int64_t{1}, std::int64_t{86400000}).description(""))
        ->type_name("N");
    CLI::Option* captureOption =
        app.add_option("--capture", capturePath,
                       "write every message, both directions, to a pcapng file")
            ->check(cli::kPath)
            ->type_name("FILE");
    CLI::Option* replay =
        app.add_option("--replay", replayPath,
                       "play a capture's server side to the clients that connect, instead of a "
                       "scenario")
            ->check(cli::kPath)
            ->type_name("FILE")
            ->excludes(captureOption)
            ->excludes("--scenario")
            ->excludes("--clock");
    app.add_option("--speed", speed, "with --replay: this many times the captured pace")
        ->check(kNotNaN)
        ->check(CLI::Range(1e-6, 1e6).description(""))
        ->needs(replay)
        ->type_name("X");
    if (const int exitCode = cli::Parse(app, argc, argv); exitCode >= 0) {
        return exitCode;
    }
    options.clock =
        clock == "poll" ? sim::SimServerOptions::Clock::Poll : sim::SimServerOptions::Clock::Time;

    // Block the stop signals before any thread starts, so that only sigwait below sees them.
    const sigset_t stopSignals = cli::StopSignalSet();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A log or output pipe whose reader went away (a restarted logger) costs those lines, not
    // the server: without this, the next line would end it by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);

    if (!replayPath.empty()) {
        sim::ReplayServerOptions replayOptions;
        replayOptions.bindAddress = options.bindAddress;
        replayOptions.port = options.port;
        replayOptions.speed = speed;
        return Replay(replayPath, std::move(replayOptions), stopSignals, durationMs);
    }

    std::string error;
    std::unique_ptr<capture::CaptureWriter> capture;
    if (!capturePath.empty()) {
        capture::CaptureWriterOptions captureOptions;
        captureOptions.application = "minimap-server";
        captureOptions.description =
            "minimap-server on " + sim::JoinHostPort(options.bindAddress, options.port);
        captureOptions.capturedByClient = false;
        capture = capture::CaptureWriter::Open(capturePath, captureOptions, error);
        if (!capture) {
            std::cerr << "minimap-server: " << error << "\n";
            return 1;
        }
        options.tap = capture.get();
    }
    std::optional<sim::Scenario> scenario = sim::LoadScenario(scenarioPath, error);
    if (!scenario) {
        std::cerr << "minimap-server: " << error << "\n";
        return 1;
    }
    options.scenario = std::move(*scenario);
    const std::string source = sim::ScenarioSource(scenarioPath);
    const std::string title = options.scenario.title;
    const std::size_t eventCount = options.scenario.events.size();
    const std::string bindAddress = options.bindAddress;

    sim::SimServer server(std::move(options));
    if (!server.Start(error)) {
        std::cerr << "minimap-server: " << error << "\n";
        return 1;
    }
    std::printf("minimap-server: listening on %s, scenario \"%s\" from %s (%zu events)\n",
                sim::JoinHostPort(bindAddress, server.GetPort()).c_str(), title.c_str(),
                source.c_str(), eventCount);
    std::fflush(stdout);

    WaitForStop(stopSignals, durationMs);
    server.Stop();
    if (capture) {
        capture->Close();
    }
    const sim::SimServerStats stats = server.GetStats();
    std::printf("minimap-server: stopped after %llu connections, %llu polls, %llu queries\n",
                static_cast<unsigned long long>(stats.connections),
                static_cast<unsigned long long>(stats.polls),
                static_cast<unsigned long long>(stats.queries));
    if (capture && capture->GetStats().failed) {
        std::cerr << "minimap-server: the capture " << capturePath
                  << " is incomplete: writing it failed\n";
        return 1;
    }
    return 0;
}
