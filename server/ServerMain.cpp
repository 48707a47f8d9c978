// minimap-server: the game-server simulator as a program of its own.
//
//     minimap-server [--bind ADDR] [--port N] [--scenario FILE] [--clock time|poll]
//                    [--duration-ms N] [--max-connections N] [--max-pending-bytes N]
//                    [--stall-timeout-ms N] [--capture FILE]
//     minimap-server --replay FILE [--speed X] [--bind ADDR] [--port N] [--duration-ms N]
//
// --capture writes every message of every connection, both directions, to a pcapng file;
// --replay plays a capture's server side to the clients that connect instead of a scenario
// (server/ReplayServer.h), at its captured pace times X.
//
// Prints one line "minimap-server: listening on ADDR:PORT ..." on standard output once it
// accepts connections (port 0 picks a free one, which the line tells), then runs until
// SIGINT/SIGTERM or the duration, and exits 0 after a clean stop. Log lines go to standard
// error (PLINTH_LOG_LEVEL=2 shows connections and scenario events).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

#include "capture/CaptureWriter.h"
#include "server/DefaultScenario.h"
#include "server/ReplayServer.h"
#include "server/Scenario.h"
#include "server/SimServer.h"

namespace {

constexpr std::uint16_t kDefaultPort = 7450;

int Usage(const char* problem) {
    const sim::SimServerOptions defaults;
    std::cerr << "minimap-server: " << problem << "\n"
              << "usage: minimap-server [--bind ADDR] [--port N] [--scenario FILE]"
                 " [--clock time|poll]\n"
                 "                      [--duration-ms N] [--max-connections N]"
                 " [--max-pending-bytes N]\n"
                 "                      [--stall-timeout-ms N] [--capture FILE]\n"
                 "       minimap-server --replay FILE [--speed X] [--bind ADDR] [--port N]"
                 " [--duration-ms N]\n"
                 "  --capture FILE         write every message, both directions, to a pcapng"
                 " file\n"
                 "  --replay FILE          play a capture's server side to the clients that"
                 " connect\n"
                 "  --speed X              with --replay: X times the captured pace (default"
                 " 1)\n"
                 "  --max-connections N    most connections open at once (default "
              << defaults.maxConnections
              << "; 0: no limit). At the\n"
                 "                         limit, or out of descriptors, the server stops"
                 " accepting until a\n"
                 "                         connection closes (retrying every "
              << sim::kAcceptRetryMs
              << " ms); new clients wait.\n"
                 "  --max-pending-bytes N  most unsent bytes per connection (default "
              << defaults.maxPendingBytes
              << "). Answers are\n"
                 "                         encoded as the socket drains, at most "
              << sim::kAnswerWindowBytes
              << " bytes (or N/2) ahead.\n"
                 "  --stall-timeout-ms N   a client that takes none of its pending bytes for"
                 " this long is\n"
                 "                         disconnected (default "
              << defaults.stallTimeoutMs << ").\n";
    return 2;
}

bool ParseNumber(const std::string& text, long long& value) {
    try {
        std::size_t used = 0;
        value = std::stoll(text, &used);
        return used == text.size() && value >= 0;
    } catch (const std::exception&) {
        return false;
    }
}

/// Waits for SIGINT or SIGTERM (blocked by the caller), or `durationMs` when not negative.
void WaitForStop(const sigset_t& stopSignals, long long durationMs) {
    if (durationMs >= 0) {
        timespec timeout{static_cast<time_t>(durationMs / 1000),
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
        "minimap-server: listening on %s:%u, replaying %s (%zu connections, %zu server "
        "messages) at %g times the captured pace\n",
        bindAddress.c_str(), server.GetPort(), path.c_str(), server.GetConnectionCount(),
        server.GetMessageCount(), speed);
    std::fflush(stdout);
    WaitForStop(stopSignals, durationMs);
    server.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    sim::SimServerOptions options;
    options.port = kDefaultPort;
    std::string scenarioPath;
    long long durationMs = -1;
    std::string capturePath;
    std::string replayPath;
    double speed = 1.0;
    bool scenarioOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        long long number = 0;
        if (arg == "--bind" && hasValue) {
            options.bindAddress = argv[++i];
        } else if (arg == "--port" && hasValue) {
            if (!ParseNumber(argv[++i], number) || number > 65535) {
                return Usage("--port takes 0 to 65535");
            }
            options.port = static_cast<std::uint16_t>(number);
        } else if (arg == "--scenario" && hasValue) {
            scenarioPath = argv[++i];
            scenarioOptions = true;
        } else if (arg == "--capture" && hasValue) {
            capturePath = argv[++i];
        } else if (arg == "--replay" && hasValue) {
            replayPath = argv[++i];
        } else if (arg == "--speed" && hasValue) {
            try {
                std::size_t used = 0;
                const std::string text = argv[++i];
                speed = std::stod(text, &used);
                if (used != text.size() || !(speed > 0) || speed > 1e6) {
                    throw std::invalid_argument(text);
                }
            } catch (const std::exception&) {
                return Usage("--speed takes a number above 0");
            }
        } else if (arg == "--clock" && hasValue) {
            const std::string clock = argv[++i];
            if (clock != "time" && clock != "poll") {
                return Usage("--clock takes time or poll");
            }
            options.clock = clock == "poll" ? sim::SimServerOptions::Clock::Poll
                                            : sim::SimServerOptions::Clock::Time;
            scenarioOptions = true;
        } else if (arg == "--duration-ms" && hasValue) {
            if (!ParseNumber(argv[++i], durationMs)) {
                return Usage("--duration-ms takes a number of milliseconds");
            }
        } else if (arg == "--max-connections" && hasValue) {
            if (!ParseNumber(argv[++i], number)) {
                return Usage("--max-connections takes a number");
            }
            options.maxConnections = static_cast<std::size_t>(number);
        } else if (arg == "--max-pending-bytes" && hasValue) {
            if (!ParseNumber(argv[++i], number) || number < 1024) {
                return Usage("--max-pending-bytes takes 1024 or more");
            }
            options.maxPendingBytes = static_cast<std::size_t>(number);
        } else if (arg == "--stall-timeout-ms" && hasValue) {
            if (!ParseNumber(argv[++i], number) || number < 1 || number > 86400000) {
                return Usage("--stall-timeout-ms takes 1 to 86400000");
            }
            options.stallTimeoutMs = number;
        } else if (arg == "--help" || arg == "-h") {
            Usage("the game-server simulator");
            return 0;
        } else {
            return Usage(("unknown or incomplete option " + arg).c_str());
        }
    }

    // Block the stop signals before any thread starts, so that only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!replayPath.empty()) {
        if (scenarioOptions || !capturePath.empty()) {
            return Usage("--replay plays a capture: no --scenario, --clock or --capture with it");
        }
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
            "minimap-server on " + options.bindAddress + ":" + std::to_string(options.port);
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
    std::printf("minimap-server: listening on %s:%u, scenario \"%s\" from %s (%zu events)\n",
                bindAddress.c_str(), server.GetPort(), title.c_str(), source.c_str(), eventCount);
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
    return 0;
}
