// minimap-server: the game-server simulator as a program of its own.
//
//     minimap-server [--bind ADDR] [--port N] [--scenario FILE] [--clock time|poll]
//                    [--duration-ms N] [--max-connections N] [--max-pending-bytes N]
//                    [--stall-timeout-ms N]
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

#include "server/DefaultScenario.h"
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
                 "                      [--stall-timeout-ms N]\n"
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

}  // namespace

int main(int argc, char** argv) {
    sim::SimServerOptions options;
    options.port = kDefaultPort;
    std::string scenarioPath;
    long long durationMs = -1;
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
        } else if (arg == "--clock" && hasValue) {
            const std::string clock = argv[++i];
            if (clock != "time" && clock != "poll") {
                return Usage("--clock takes time or poll");
            }
            options.clock = clock == "poll" ? sim::SimServerOptions::Clock::Poll
                                            : sim::SimServerOptions::Clock::Time;
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

    std::string error;
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

    // Block the stop signals before any thread starts, so that only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    sim::SimServer server(std::move(options));
    if (!server.Start(error)) {
        std::cerr << "minimap-server: " << error << "\n";
        return 1;
    }
    std::printf("minimap-server: listening on %s:%u, scenario \"%s\" from %s (%zu events)\n",
                bindAddress.c_str(), server.GetPort(), title.c_str(), source.c_str(), eventCount);
    std::fflush(stdout);

    if (durationMs >= 0) {
        timespec timeout{static_cast<time_t>(durationMs / 1000),
                         static_cast<long>(durationMs % 1000) * 1000000L};
        while (sigtimedwait(&stopSignals, nullptr, &timeout) < 0 && errno == EINTR) {
        }
    } else {
        int received = 0;
        sigwait(&stopSignals, &received);
    }
    server.Stop();
    const sim::SimServerStats stats = server.GetStats();
    std::printf("minimap-server: stopped after %llu connections, %llu polls, %llu queries\n",
                static_cast<unsigned long long>(stats.connections),
                static_cast<unsigned long long>(stats.polls),
                static_cast<unsigned long long>(stats.queries));
    return 0;
}
