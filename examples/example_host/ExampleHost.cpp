// minimap-example-host: the smallest host that runs the minimap module with a user interface.
//
//     minimap-example-host --server HOST:PORT [--minimap PATH] [--printer PATH]
//                          [--until-query] [--timeout-ms N] [--help] [--version]
//
// It plays the client core: a host container, a role system whose role is never in battle,
// and a game-server client over POSIX sockets (SocketGameServerClient.h). It loads the minimap
// module and the marker_printer module, lets both plug in, starts the tree, connects, and runs
// until Ctrl-C, until --timeout-ms passed, or, with --until-query, until the minimap's first
// QueryFinished. Then it stops in the order the plug-ins rely on and exits 0; 1 on a failure or
// when the time ran out before the query was answered, 2 on a usage error.
//
// The client core lock: the host holds it while plug-ins are created, started, stopped and
// released, so that none of that overlaps a message being handled.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <typeinfo>

#include <CLI/CLI.hpp>

#include "PyrMiniMapVersion.h"
#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "example_host/SocketGameServerClient.h"
#include "function/Bind.h"
#include "plinth/SharedLibrary.h"
#include "plugin/CaughtText.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"
#include "plugin/PluginModule.h"

namespace {

// ---- The host's own plug-ins ------------------------------------------------------------------

class HostContainer final : public pyr::Container<HostContainer, HostContainerTypeId> {
public:
};

class BattleInfo final : public pyr::IRoleBattleInfo {
public:
    const std::type_info& GetTypeInfo() const override { return typeid(BattleInfo); }
    void EntityAction() override {}
    bool GetBattleFlag() override { return false; }
};

class Role final : public pyr::IRole {
public:
    IEntityObject* GetRoleEntity(int kind) override {
        return kind == pyr::RoleBattleInfoKind ? &battleInfo : nullptr;
    }

private:
    BattleInfo battleInfo;
};

/// One role for the whole run, never in battle, never reset.
class RoleSystem final : public pyr::Container<RoleSystem, RoleSystemTypeId, pyr::IRoleSystem> {
public:
    pyr::RoleHandle GetCurrentRole() override { return pyr::RoleHandle{&role}; }

private:
    Role role;
};

// ---- Modules ------------------------------------------------------------------------------

// ---- Stopping ------------------------------------------------------------------------------

/// The stop signal the main thread took, once it took one.
std::optional<siginfo_t> firstStop;

/// Whether `next`, a stop signal that came while the stop that `first` asked for goes on, is
/// that request again: the same signal sent with kill() by the same process. GNU timeout, for
/// one, sends its signal to the program and then to its whole process group. A person's second
/// Ctrl-C comes from the terminal and counts.
bool IsTheSameStopRequest(const siginfo_t& first, const siginfo_t& next) {
    return next.si_signo == first.si_signo && first.si_code == SI_USER && next.si_code == SI_USER &&
           first.si_pid != 0 && next.si_pid == first.si_pid;
}

/// The stop signals: SIGINT, SIGTERM, and SIGHUP (a closed terminal ends the run as Ctrl-C
/// does) unless nohup started us ignoring it. They are blocked in every thread, the plug-ins'
/// included (threads inherit the mask), and taken by the main thread's wait with sigtimedwait,
/// so no handler ever interrupts a thread: under qemu's user-mode emulation of 32-bit x86,
/// returning from a handler could leave the thread with another thread's thread-local storage
/// (the main thread's join of the network thread then failed with "Resource deadlock
/// avoided").
sigset_t BlockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    struct sigaction hangup {};
    if (sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN) {
        sigaddset(&set, SIGHUP);
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

/// Watches the stop signals while the host stops: the stop waits for the plug-ins, and one
/// stuck in its shutdown or release would hold it for ever, with the signals blocked. The
/// second stop signal of the run (the first, when a signal began the stop) ends the process at
/// once, with 128 + the signal, as the signal itself would have ended it; the first one again
/// from the same process is the same request, said in one line. Ended by a stop signal aimed
/// at its own thread once the stop is done.
class StopWatcher {
public:
    StopWatcher(const sigset_t& stopSignals, std::optional<siginfo_t> first) : set(stopSignals) {
        thread = std::thread([this, first]() mutable {
            siginfo_t received{};
            for (;;) {
                if (sigwaitinfo(&set, &received) < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    return;
                }
                if (closing.load(std::memory_order_acquire)) {
                    return;
                }
                if (!first) {
                    first = received;
                } else if (IsTheSameStopRequest(*first, received)) {
                    SayTheSameRequest(received);
                } else {
                    EndAtOnce(received.si_signo);
                }
            }
        });
    }
    ~StopWatcher() {
        closing.store(true, std::memory_order_release);
        pthread_kill(thread.native_handle(), SIGINT);
        thread.join();
    }
    StopWatcher(const StopWatcher&) = delete;
    StopWatcher& operator=(const StopWatcher&) = delete;

private:
    /// Writes the line that snprintf made in `line` (`length` as it returned, cut to the
    /// `room` of the buffer) to standard error in one call, taking no lock.
    static void WriteNow(const char* line, int length, std::size_t room) {
        if (length > 0) {
            [[maybe_unused]] const ssize_t written =
                ::write(STDERR_FILENO, line, std::min<std::size_t>(length, room - 1));
        }
    }

    /// Like EndAtOnce, without a lock.
    static void SayTheSameRequest(const siginfo_t& again) {
        char line[200];
        const int length = std::snprintf(
            line, sizeof line,
            "example-host: SIG%s again from process %ld, taken as the same stop request (another "
            "stop signal, or one from elsewhere, ends the program at once)\n",
            sigabbrev_np(again.si_signo), static_cast<long>(again.si_pid));
        WriteNow(line, length, sizeof line);
    }

    /// No destructor, no flush, no lock: what holds the stop up may hold any of them.
    [[noreturn]] static void EndAtOnce(int signal) {
        char line[160];
        const int length = std::snprintf(line, sizeof line,
                                         "example-host: a second stop signal (SIG%s) while "
                                         "stopping; ending at once, without waiting for the "
                                         "plug-ins\n",
                                         sigabbrev_np(signal));
        WriteNow(line, length, sizeof line);
        std::_Exit(128 + signal);
    }

    sigset_t set;
    std::atomic<bool> closing{false};
    std::thread thread;
};

/// Connected to the minimap's QueryFinished with --until-query.
class QueryWatch {
public:
    void OnQueryFinished() {
        std::lock_guard<std::mutex> guard(mutex);
        answered = true;
    }

    /// True once answered; false when `deadline` passed or a stop signal came first.
    bool Wait(std::chrono::steady_clock::time_point deadline, bool untilAnswered,
              const sigset_t& stopSignals) {
        using namespace std::chrono;
        while (true) {
            const bool done = Answered();
            const steady_clock::time_point now = steady_clock::now();
            if ((untilAnswered && done) || now >= deadline) {
                return done;
            }
            // Slices of 50 ms at most: the answer is looked at between them.
            const auto slice = duration_cast<nanoseconds>(
                std::min<steady_clock::duration>(deadline - now, milliseconds(50)));
            const timespec wait{0, static_cast<long>(slice.count())};
            if (siginfo_t received{}; sigtimedwait(&stopSignals, &received, &wait) > 0) {
                firstStop = received;
                return Answered();
            }
        }
    }

private:
    bool Answered() {
        std::lock_guard<std::mutex> guard(mutex);
        return answered;
    }

    std::mutex mutex;
    bool answered = false;
};

#ifndef EXAMPLE_MINIMAP_MODULE
// Installed with the SDK: the module and the printer in the prefix's library folder.
const char moduleAnchor = 0;
std::string BesideProgram(const std::string& fileName) {
    return os::FindLibraryNearModule(&moduleAnchor, fileName);
}
#define EXAMPLE_MINIMAP_MODULE BesideProgram("libPyr_MiniMap.so")
#define EXAMPLE_PRINTER_MODULE BesideProgram(EXAMPLE_PRINTER_FILE)
#endif

struct Options {
    std::string host;
    std::uint16_t port = 0;
    std::string minimapPath = EXAMPLE_MINIMAP_MODULE;
    std::string printerPath = EXAMPLE_PRINTER_MODULE;
    bool untilQuery = false;
    long long timeoutMs = -1;
};

/// Flushes standard output; false, said on standard error, when what this host and the
/// printer wrote there was lost (a full disk, a closed output): the run then failed.
bool OutputWritten() {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int reason = errno;
    if (flushed && std::ferror(stdout) == 0) {
        return true;
    }
    std::fprintf(stderr, "example-host: cannot write to standard output%s%s\n",
                 reason != 0 ? ": " : "", reason != 0 ? std::strerror(reason) : "");
    return false;
}

/// Parses the command line with CLI11: -1 to go on; otherwise the exit code after --help or
/// --version (0, on standard output; 1 when it could not be written) or a usage error (2, the
/// error and the help on standard error).
int ParseOptions(int argc, char** argv, Options& options) {
    CLI::App app{
        "minimap-example-host: the smallest host of the minimap module and the "
        "marker_printer plug-in, connected to a game server.",
        "minimap-example-host"};
    app.set_version_flag("--version",
                         std::string("minimap-example-host ") + PYR_MINIMAP_VERSION_STRING,
                         "print the version and exit");
    app.option_defaults()->always_capture_default();
    app.add_option_function<std::string>(
           "--server",
           [&options](const std::string& server) {
               const std::size_t colon = server.rfind(':');
               long port = 0;
               char* end = nullptr;
               if (colon != std::string::npos && colon != 0) {
                   port = std::strtol(server.c_str() + colon + 1, &end, 10);
               }
               if (port <= 0 || port > 65535 || *end != '\0') {
                   throw CLI::ValidationError("--server", "takes HOST:PORT, got '" + server + "'");
               }
               options.host = server.substr(0, colon);
               // An IPv6 address may stand in brackets, as in a URL: [::1]:7450.
               if (options.host.size() > 2 && options.host.front() == '[' &&
                   options.host.back() == ']') {
                   options.host = options.host.substr(1, options.host.size() - 2);
               }
               options.port = static_cast<std::uint16_t>(port);
           },
           "the game server to connect to (required)")
        ->type_name("HOST:PORT");
    // An empty path (an unset variable in a script) would stand for the default module.
    const CLI::Validator path(
        [](const std::string& text) { return text.empty() ? "an empty path" : std::string(); }, "");
    app.add_option("--minimap", options.minimapPath, "the minimap module")
        ->check(path)
        ->type_name("PATH");
    app.add_option("--printer", options.printerPath, "the marker_printer module")
        ->check(path)
        ->type_name("PATH");
    app.add_flag("--until-query", options.untilQuery,
                 "stop after the first answer to the printer's query");
    app.add_option("--timeout-ms", options.timeoutMs, "stop after that time (-1: never)")
        ->check(CLI::Validator(
            // CLI11 reads an empty text as 0: stop at once.
            [](const std::string& text) { return text.empty() ? "an empty value" : std::string(); },
            ""))
        ->check(CLI::Range(-1LL, std::numeric_limits<long long>::max()).description(""))
        ->type_name("N");
    try {
        app.parse(argc, argv);
        // Checked after the parse, so that an unknown option is named before a missing one.
        if (options.host.empty()) {
            throw CLI::RequiredError("--server");
        }
        return -1;
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "example-host: %s\n\n%s", e.what(), app.help().c_str());
        return 2;
    }
    return OutputWritten() ? 0 : 1;
}

int Run(const Options& options, const sigset_t& stopSignals) {
    // The framework's loader, as the client core loads modules.
    PluginModule modules[2];
    const std::string paths[2] = {options.minimapPath, options.printerPath};
    for (int i = 0; i < 2; ++i) {
        if (!modules[i].Load(paths[i])) {
            std::fprintf(stderr, "example-host: %s\n", modules[i].GetError().c_str());
            return 1;
        }
    }

    HostContainer host;
    RoleSystem roles;
    example::SocketGameServerClient client;
    std::string error;
    if (!client.Connect(options.host, options.port, error)) {
        std::fprintf(stderr, "example-host: %s\n", error.c_str());
        return 1;
    }
    std::printf("example-host: connected to %s:%u\n", options.host.c_str(),
                static_cast<unsigned>(options.port));
    std::fflush(stdout);

    // Without the core lock, as the entry points ask. A module whose InitPlugin answers false
    // (or throws) is not used: none of its other entry points is called.
    bool used[2] = {};
    for (int i = 0; i < 2; ++i) {
        used[i] = modules[i].InitPlugin();
        if (!used[i]) {
            std::fprintf(stderr, "example-host: InitPlugin() of %s failed; not used\n",
                         paths[i].c_str());
        }
    }

    QueryWatch watch;
    pyr::IPyr_MiniMap* minimap = nullptr;
    bool started = false;
    {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        host.RegisterChildContainer(&roles);
        host.RegisterChildContainer(&client);
        for (int i = 0; i < 2; ++i) {
            if (used[i] && !modules[i].InitPluginContainer(&host)) {
                std::fprintf(stderr, "example-host: InitPluginContainer() of %s failed\n",
                             paths[i].c_str());
            }
        }
        // A plug-in that throws out of its start fails the start as a false does.
        try {
            started = host.StartContainer();
        } catch (...) {
            std::fprintf(stderr, "example-host: a plug-in threw at start: %s\n",
                         pyr::CaughtText().c_str());
        }
        if (started && host.QueryChildContainer(minimap, MiniMapContainerTypeId, false)) {
            minimap->QueryFinished.Add(os::bind(&QueryWatch::OnQueryFinished, &watch));
        }
    }

    int exitCode = 0;
    if (!started || minimap == nullptr) {
        std::fprintf(stderr, "example-host: the plug-ins did not start\n");
        exitCode = 1;
    } else {
        client.Start();
        // A timeout longer than the clock can count from now waits for the stop signal alone,
        // where adding it to now would overflow into the past.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point now = Clock::now();
        const auto room =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
        const Clock::time_point deadline =
            options.timeoutMs >= 0 && options.timeoutMs < room.count()
                ? now + std::chrono::milliseconds(options.timeoutMs)
                : Clock::time_point::max();
        const bool answered = watch.Wait(deadline, options.untilQuery, stopSignals);
        if (options.untilQuery && !answered) {
            std::fprintf(stderr, "example-host: no query answer %s\n",
                         firstStop ? "before the stop signal" : "in time");
            exitCode = 1;
        }
    }

    const StopWatcher watcher(stopSignals, firstStop);
    // Without the core lock: a message being handled may be waiting for it.
    client.Stop();
    {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        try {
            host.ShutdownContainer();
        } catch (...) {
            // The modules are still released and unloaded below.
            std::fprintf(stderr, "example-host: a plug-in threw at shutdown: %s\n",
                         pyr::CaughtText().c_str());
        }
        if (minimap != nullptr) {
            minimap->QueryFinished.Remove(os::bind(&QueryWatch::OnQueryFinished, &watch));
        }
        // The user interface first: it holds slots in the minimap's signals.
        for (int i = 1; i >= 0; --i) {
            if (used[i]) {
                modules[i].ReleasePluginContainer(&host);
            }
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (used[i]) {
            modules[i].ReleasePlugin();
        }
    }
    {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        // What a plug-in left with the host would be destroyed through the plug-in's code after
        // the unload: withdrawn while that code is still there, and said.
        if (const std::size_t left = client.CountHandlers(); left != 0) {
            std::fprintf(stderr,
                         "example-host: the plug-ins left %zu message handler(s) registered; "
                         "removing them\n",
                         left);
            client.ClearHandlers();
        }
        if (const std::size_t left = roles.RoleResetSignal.GetSlotCount(); left != 0) {
            std::fprintf(stderr,
                         "example-host: the plug-ins left %zu role-reset slot(s) connected; "
                         "removing them\n",
                         left);
            roles.RoleResetSignal.DisconnectAll();
        }
        host.UnregisterChildContainer(&client);
        host.UnregisterChildContainer(&roles);
    }
    for (PluginModule& module : modules) {
        module.Unload();
    }
    std::printf("example-host: stopped after %llu messages\n",
                static_cast<unsigned long long>(client.GetReceivedCount()));
    // What this host and the printer wrote is the run's result.
    return OutputWritten() ? exitCode : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int exitCode = ParseOptions(argc, argv, options); exitCode >= 0) {
        return exitCode;
    }
    const sigset_t stopSignals = BlockStopSignals();  // before any thread starts
    try {
        return Run(options, stopSignals);
    } catch (...) {
        std::fprintf(stderr, "example-host: stopped by an error: %s\n", pyr::CaughtText().c_str());
        return 1;
    }
}
