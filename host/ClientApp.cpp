#include "host/ClientApp.h"

#include <poll.h>
#include <pthread.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureWriter.h"
#include "capture/Decode.h"
#include "cli/CommandLine.h"
#include "host/ClientReplay.h"
#include "host/CursesView.h"
#include "host/GameServerClient.h"
#include "host/HostContainer.h"
#include "host/MiniMapView.h"
#include "host/RoleSystem.h"
#include "host/SimulatorLink.h"
#include "host/web/WebView.h"
#include "net/ISender.h"
#include "net/LogFormat.h"
#include "net/NetMsg.h"
#include "plinth/Log.h"
#include "plinth/Path.h"
#include "plinth/SharedLibrary.h"
#include "plinth/Timer.h"
#include "plugin/CaughtText.h"
#include "plugin/HostServices.h"
#include "plugin/PluginModule.h"
#include "server/DefaultScenario.h"
#include "server/HostPort.h"
#include "server/SimServer.h"
#include "text/StringTable.h"
#include "text/TableCheck.h"

namespace host {

namespace {

void Say(int level, const std::string& text) {
    LogText(level, ("minimap-client: " + text).c_str());
}

/// Where the module is looked for by default: libPyr_MiniMap.so in the directory of the
/// running program, or in the library folder of the prefix it is installed in.
std::string DefaultModulePath() {
    static const int anchor = 0;
    const std::string fileName = os::SharedLibraryFileName("Pyr_MiniMap");
    const std::string path = os::FindLibraryNearModule(&anchor, fileName);
    return path.empty() ? "./" + fileName : path;
}

/// The plug-in modules to load after the minimap: every *.so of `folder` in name order, then
/// `named` in their order. A folder that does not exist or cannot be read holds none, and
/// `error` says why.
std::vector<std::string> PluginPaths(const std::string& folder,
                                     const std::vector<std::string>& named,
                                     std::error_code& error) {
    std::vector<std::string> paths;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().extension() == ".so" && it->is_regular_file(error)) {
            paths.push_back(it->path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    paths.insert(paths.end(), named.begin(), named.end());
    return paths;
}

/// A plug-in module of the user's, loaded beside the minimap.
struct UserPlugin {
    PluginModule module;
    bool initialised = false;
};

/// The host's own display texts: the element names that label NPC kinds 0 to 5. Reading them
/// creates the process-wide string table here, in the host, before the module is loaded, as
/// the client core does: the table then runs the host's code, and the module that also uses
/// it can be unloaded.
std::vector<std::string> LoadKindNames() {
    static const char* const kKeys[] = {"FiveElements_Metal", "FiveElements_Wood",
                                        "FiveElements_Water", "FiveElements_Fire",
                                        "FiveElements_Earth", "FiveElements_None"};
    std::vector<std::string> names;
    for (const char* key : kKeys) {
        names.push_back(GetCommonString(key));
    }
    if (const std::string why = text_check::ArchiveNotRead(); !why.empty()) {
        Say(3, why);
    }
    // The string table says nothing of a file it could not read: a mistyped PLINTH_CONFIG_DIR,
    // a table the user may not read or a malformed one would show only as numbers, or as the
    // module's empty texts.
    if (std::all_of(names.begin(), names.end(), [](const std::string& n) { return n.empty(); })) {
        std::string why = text_check::WhyUnread("common");
        if (why.empty()) {
            why = text_check::TableSource("common") + ": read, but without these names";
        }
        Say(3, "no element names in the string table \"common\" (" + why +
                   "): NPC kinds show as numbers");
    }
    // The table is read here once for the whole process (the module finds it read); only an
    // empty answer costs the second read that says why.
    if (GetTableString("PetSystem", "PetType_WildPet").empty()) {
        if (const std::string why = text_check::WhyUnread("PetSystem"); !why.empty()) {
            Say(3, "no texts from the string table \"PetSystem\" (" + why +
                       "): the minimap's texts from it are empty");
        }
    }
    return names;
}

/// Waits for the stop signals (cli::StopSignalSet) on a thread of its own; every other thread
/// has them blocked. The thread is woken at the end with a stop signal aimed at it alone, not
/// with a signal of its own: any other signal someone sends keeps its usual meaning and never
/// ends the wait for stop signals early.
///
/// The first stop signal asks for a stop; the stop waits for the plug-ins, and a plug-in stuck
/// in its shutdown or release would hold it for ever. A second one ends the process at once,
/// with 128 + the signal, as the signal itself would have ended it; the first one again from
/// the same process is the same request (cli::IsTheSameStopRequest), said in one line.
class StopSignals {
public:
    StopSignals() {
        set = cli::StopSignalSet();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        // A closed standard output must end in a write error, not in death by SIGPIPE.
        std::signal(SIGPIPE, SIG_IGN);
        thread = std::thread([this] {
            std::optional<siginfo_t> first;
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
                    Request();
                } else if (cli::IsTheSameStopRequest(*first, received)) {
                    SayTheSameRequest(received);
                } else {
                    EndAtOnce(received.si_signo);
                }
            }
        });
    }
    ~StopSignals() {
        closing.store(true, std::memory_order_release);
        pthread_kill(thread.native_handle(), SIGINT);
        thread.join();
    }

    void Request() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            requested = true;
        }
        changed.notify_all();
    }
    bool IsRequested() {
        std::lock_guard<std::mutex> guard(mutex);
        return requested;
    }
    /// Waits for a stop request, or until `deadline` when it is set.
    void Wait(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
        std::unique_lock<std::mutex> guard(mutex);
        if (deadline) {
            changed.wait_until(guard, *deadline, [this] { return requested; });
        } else {
            changed.wait(guard, [this] { return requested; });
        }
    }

private:
    /// Writes the line that snprintf made in `line` (`length` as it returned, cut to the
    /// `room` of the buffer) to standard error in one call, taking no lock.
    static void WriteNow(const char* line, int length, std::size_t room) {
        if (length > 0) {
            [[maybe_unused]] const ssize_t written =
                ::write(STDERR_FILENO, line, std::min<std::size_t>(length, room - 1));
        }
    }

    /// Like EndAtOnce, without a lock: the stop may hold the log's.
    static void SayTheSameRequest(const siginfo_t& again) {
        char line[200];
        const int length = std::snprintf(
            line, sizeof line,
            "minimap-client: SIG%s again from process %ld, taken as the same stop request (another "
            "stop signal, or one from elsewhere, ends the program at once)\n",
            sigabbrev_np(again.si_signo), static_cast<long>(again.si_pid));
        WriteNow(line, length, sizeof line);
    }

    /// No destructor, no flush, no lock: what holds the stop up may hold any of them. One write
    /// of a line prepared here says why the output may end short.
    [[noreturn]] static void EndAtOnce(int signal) {
        char line[160];
        const int length = std::snprintf(line, sizeof line,
                                         "minimap-client: a second stop signal (SIG%s) while "
                                         "stopping; ending at once, without waiting for the "
                                         "plug-ins\n",
                                         sigabbrev_np(signal));
        WriteNow(line, length, sizeof line);
        std::_Exit(128 + signal);
    }

    sigset_t set;
    std::atomic<bool> closing{false};
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    bool requested = false;
};

/// Keeps the log off the terminal while the map owns it: lines go to the view's bottom rows.
class ViewLogSink final : public os::ILogSink {
public:
    explicit ViewLogSink(CursesView& view) : view(view) {}
    void Write(const os::LogRecord& record) override {
        if (record.kind == os::LogKind::Line || record.kind == os::LogKind::Plain) {
            view.AddLogLine(std::string(record.text));
        }
    }

private:
    CursesView& view;
};

std::string KindLabel(const std::vector<std::string>& names, std::int32_t kind) {
    if (kind >= 0 && static_cast<std::size_t>(kind) < names.size() &&
        !names[static_cast<std::size_t>(kind)].empty()) {
        return names[static_cast<std::size_t>(kind)];
    }
    return "kind " + std::to_string(kind);
}

class ClientApp final : public LiveControls, public ReceiveTap {
public:
    explicit ClientApp(const ClientOptions& options) : options(options) {}

    int Run();

    // LiveControls, called by the map on the main thread.
    LiveStatus GetStatus() override {
        LiveStatus s;
        s.server = serverName;
        s.connected = client != nullptr && client->IsConnected();
        s.polling = polling.load();
        s.pollSeconds = pyr::MiniMapPollInterval * os::GetTimer()->GetScale() / 1000.0;
        s.battle = roles != nullptr && roles->GetBattleFlag();
        s.role = roles != nullptr ? roles->GetRoleSerial() : 1;
        s.queryArg = queryArg.load();
        if (const std::int32_t asked = askedArg.load(); asked != kNotAsked) {
            s.askedArg = asked;
        }
        return s;
    }
    void TogglePolling() override {
        const bool on = !polling.load();
        polling = on;
        if (pyr::IPyr_MiniMap* minimap = view->GetMiniMap()) {
            minimap->SetPollEnabled(on);
        }
        WebStatusChanged();
    }
    void ToggleBattle() override {
        roles->SetBattleFlag(!roles->GetBattleFlag());
        WebStatusChanged();
    }
    void SendQuery() override {
        if (!Query(queryArg.load())) {
            Say(3, client != nullptr && !client->IsConnected()
                       ? "the query was not sent: not connected to " + serverName
                       : "the query was not sent");
        }
    }
    void ChangeQueryArg(int delta) override {
        queryArg = std::max(-1, std::min(99, queryArg.load() + delta));
        WebStatusChanged();
    }
    void ResetRole() override { roles->ResetRole(); }
    MarkerSnapshot GetMarkers() override { return view->Snapshot(); }

    // ReceiveTap, on the network thread.
    void OnReceived(const NetMsg& msg) override { view->Touch(msg); }
    /// The lines of one read's messages leave together: one write for many messages.
    void OnBatchDelivered() override {
        if (mode != Mode::Map) {
            FlushOutput();
        }
    }

private:
    bool StartEmbeddedServer();
    bool StartTree();
    void StopTree();
    bool StartWeb();
    /// Sends the lines `output` holds to standard output; called under the core lock, or
    /// by the main thread once the others are gone.
    ///
    /// While the run goes on it waits for a slow reader as long as it takes (the reader's pace
    /// holds the network, and so the server, back). Once the run is ending, a reader that
    /// takes nothing for kGiveUpOnReaderMs is given up on, with what it did not take counted
    /// for the end: an unscrolled pager or a pipe nobody reads must not hold a stop for ever.
    /// Writes are a pipe's page at most, each after the descriptor said it has room, so none
    /// of them blocks. A failed write (the reader went away, the disk is full) ends the run:
    /// the lines or events are what it is for, and nobody gets them any more. SIGPIPE is
    /// ignored so that a closed pipe ends up here, not in sudden death.
    void FlushOutput() {
        // What a plug-in printed with stdio goes first, as it came first (a few bytes at most).
        if (__fpending(stdout) != 0 && WaitForRoom() && std::fflush(stdout) != 0) {
            OutputFailed(errno != 0 ? errno : EIO);
        }
        std::size_t done = 0;
        while (done < output.size() && outputError.load() == 0 && WaitForRoom()) {
            const std::size_t page =
                WholeLinesPage(std::string_view(output).substr(done), kOutputPage);
            const ssize_t written = ::write(STDOUT_FILENO, output.data() + done, page);
            if (written > 0) {
                done += static_cast<std::size_t>(written);
            } else if (written == 0 || (errno != EINTR && errno != EAGAIN)) {
                OutputFailed(written == 0 ? EIO : errno);
            }
        }
        if (done < output.size()) {
            untaken += output.size() - done;  // given up on, or after a failed write
        }
        output.clear();
    }
    /// Waits until standard output takes bytes; false once the run is ending and the reader
    /// has taken nothing for kGiveUpOnReaderMs.
    bool WaitForRoom() {
        constexpr int kTurnMs = 100;
        for (int idleMs = 0; !gaveUpOnReader;) {
            pollfd room{STDOUT_FILENO, POLLOUT, 0};
            const int ready = ::poll(&room, 1, kTurnMs);
            if (ready != 0 && !(ready < 0 && errno == EINTR)) {
                return true;  // room, or an error the write will meet and report
            }
            if (Ending() && (idleMs += kTurnMs) >= kGiveUpOnReaderMs) {
                gaveUpOnReader = true;  // and on every later line: the run ends anyway
            }
        }
        return false;
    }
    void OutputFailed(int error) {
        int none = 0;
        if (outputError.compare_exchange_strong(none, error) && stopSignals != nullptr) {
            stopSignals->Request();
        }
    }
    /// The run is ending: a stop was asked for, or its time is over.
    bool Ending() const {
        return ending.load() || (stopSignals != nullptr && stopSignals->IsRequested()) ||
               (deadline && std::chrono::steady_clock::now() >= *deadline);
    }
    /// The keys changed what the page shows in its status.
    void WebStatusChanged() {
        if (web) {
            web->StatusChanged();
        }
    }
    void Present(const ViewReport& report);
    void OnConnection(bool up);
    /// Plays the capture into the tree; the exit code.
    int Replay();
    /// Sends a query; the store it empties is read under the core lock, so hold it.
    bool Query(std::int32_t arg) {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        pyr::IPyr_MiniMap* minimap = view != nullptr ? view->GetMiniMap() : nullptr;
        if (minimap == nullptr || !minimap->RequestNpcQuery(arg)) {
            return false;
        }
        askedArg = arg;
        return true;
    }

    /// The path of the module or the plug-in already loaded from the same file as `path`
    /// (another name or link of it included), or null. Loading it again would hand the one
    /// mapped module its entry points twice, when each is called once per load.
    const std::string* FindSameFile(const std::string& path) const {
        std::error_code error;
        if (std::filesystem::equivalent(path, module.GetPath(), error)) {
            return &module.GetPath();
        }
        for (const std::unique_ptr<UserPlugin>& plugin : plugins) {
            if (std::filesystem::equivalent(path, plugin->module.GetPath(), error)) {
                return &plugin->module.GetPath();
            }
        }
        return nullptr;
    }

    enum class Mode { Json, Lines, Map };

    const ClientOptions& options;
    Mode mode = Mode::Lines;
    std::vector<std::string> kindNames;
    std::unique_ptr<CursesView> map;
    std::unique_ptr<sim::SimServer> embedded;
    std::string serverHost;
    std::uint16_t serverPort = 0;
    std::string serverName;

    PluginModule module;
    /// Loaded after the minimap, released before it: they hold slots in its signals.
    std::vector<std::unique_ptr<UserPlugin>> plugins;
    std::unique_ptr<HostContainer> hostContainer;
    std::unique_ptr<RoleSystem> roles;
    std::unique_ptr<GameServerClient> client;
    std::unique_ptr<MiniMapView> view;
    std::unique_ptr<SimulatorLink> link;
    std::unique_ptr<capture::CaptureWriter> capture;
    std::unique_ptr<web::WebView> web;
    bool pluginInitialised = false;
    bool containerInitialised = false;

    /// Run's stop request, set before any thread starts and cleared after they all ended.
    StopSignals* stopSignals = nullptr;
    /// The error of the first failed write to standard output; 0 while none failed.
    std::atomic<int> outputError{0};
    /// Lines for standard output, under the core lock (FlushOutput).
    std::string output;
    /// Bytes of output the reader never took: given up on at the end, or after a failure.
    std::size_t untaken = 0;
    std::atomic<bool> ending{false};
    /// The end of the run's time (--duration-ms); set before any other thread starts.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    bool gaveUpOnReader = false;  ///< with `output`
    static constexpr int kGiveUpOnReaderMs = 2000;
    /// A pipe's page: the most a write to a pipe takes whole or not at all.
    static constexpr std::size_t kOutputPage = 4096;

    std::atomic<bool> polling{true};
    std::atomic<std::int32_t> queryArg{-1};
    /// The kind of the last query sent, for the map's answer line.
    static constexpr std::int32_t kNotAsked = std::numeric_limits<std::int32_t>::min();
    std::atomic<std::int32_t> askedArg{kNotAsked};
    std::atomic<bool> queryPending{false};
};

bool ClientApp::StartEmbeddedServer() {
    std::string error;
    std::optional<sim::Scenario> scenario = sim::LoadScenario(options.scenarioPath, error);
    if (!scenario) {
        Say(3, error);
        return false;
    }
    sim::SimServerOptions serverOptions;
    serverOptions.scenario = std::move(*scenario);
    embedded = std::make_unique<sim::SimServer>(std::move(serverOptions));
    if (!embedded->Start(error)) {
        Say(3, "cannot start the embedded simulator: " + error);
        return false;
    }
    serverHost = "127.0.0.1";
    serverPort = embedded->GetPort();
    Say(2, "embedded simulator on 127.0.0.1:" + std::to_string(serverPort) + " playing " +
               sim::ScenarioSource(options.scenarioPath));
    return true;
}

bool ClientApp::StartWeb() {
    web::WebServerOptions webOptions;
    webOptions.host = options.webHost;
    webOptions.port = options.webPort;
    webOptions.allowRemote = options.webAllowRemote;
    web = std::make_unique<web::WebView>(std::move(webOptions), *this, kindNames, *view);
    std::string error;
    if (!web->Start(error)) {
        Say(3, "the web view cannot start: " + error);
        return false;
    }
    // Printed whatever the log level: the address is what the user asked for. Standard
    // error, as standard output may be the event stream.
    if (map) {
        map->AddLogLine("web view on " + web->GetUrl());
    } else {
        std::fprintf(stderr, "minimap-client: web view on %s\n", web->GetUrl().c_str());
    }
    return true;
}

void ClientApp::Present(const ViewReport& report) {
    // Runs under the client core lock, which also keeps the lines of several threads apart.
    // Lines of messages leave at the end of their read (OnBatchDelivered); a role reset may
    // come from elsewhere and leaves at once.
    const ViewEvent event = report.event;
    switch (mode) {
        case Mode::Json: {
            AppendEventJson(output, ToString(event), report.serial, *report.changes);
            break;
        }
        case Mode::Lines: {
            std::string line = std::string(ToString(event)) + ": " +
                               std::to_string(report.players) + " players, " +
                               std::to_string(report.npcs) + " NPCs";
            if (event == ViewEvent::QueryFinished) {
                const std::vector<NpcRow> answer = view->QueryRows();
                line += "; query answer: " + std::to_string(answer.size()) + " NPCs";
                // A name is the server's bytes: escaped, so that none of them reaches the
                // terminal as a control (a title, a clear screen) or splits the line.
                for (const NpcRow& n : answer) {
                    line += " [" + capture::EscapeText(n.name) + ", " +
                            KindLabel(kindNames, n.kind) +
                            (n.quest != -1 ? ", quest " + std::to_string(n.quest) : "") + "]";
                }
            } else if (event == ViewEvent::RoleReset) {
                line += " (the role changed; the stores were emptied)";
            }
            line += '\n';
            output += line;
            break;
        }
        case Mode::Map:
            map->Show(event, event == ViewEvent::QueryFinished ? view->QueryRows()
                                                               : std::vector<NpcRow>{});
            break;
    }
    if (web) {
        web->Show(report);
    }
    if (event == ViewEvent::RoleReset && mode != Mode::Map) {
        FlushOutput();
    }
}

void ClientApp::OnConnection(bool up) {
    link->OnConnection(up);
    if (mode == Mode::Lines) {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        output += std::string(up ? "connected to " : "disconnected from ") + serverName + "\n";
        FlushOutput();
    }
    WebStatusChanged();
    if (up && queryPending.exchange(false)) {
        Query(*options.query);
    }
}

bool ClientApp::StartTree() {
    hostContainer = std::make_unique<HostContainer>();
    roles = std::make_unique<RoleSystem>(options.battle);
    GameServerClientOptions clientOptions;
    clientOptions.host = serverHost;
    clientOptions.port = serverPort;
    clientOptions.tap = capture.get();
    client = std::make_unique<GameServerClient>(clientOptions);
    view = std::make_unique<MiniMapView>([this](const ViewReport& report) { Present(report); },
                                         mode == Mode::Json || !options.web.empty());
    link = std::make_unique<SimulatorLink>(*client, *roles);

    // Every InitPlugin runs before the core lock is taken, as the entry points promise: one may
    // start a thread that takes the lock and wait for it, which under the lock never ends.
    if (!module.InitPlugin()) {
        Say(3, "InitPlugin() of " + module.GetPath() + " failed");
        return false;
    }
    pluginInitialised = true;
    for (const std::unique_ptr<UserPlugin>& plugin : plugins) {
        if (!plugin->module.InitPlugin()) {
            Say(3, "InitPlugin() of " + plugin->module.GetPath() + " failed; not used");
            continue;
        }
        plugin->initialised = true;
    }

    os::ThreadLockHandle coreLock(GetClientCoreLock());
    hostContainer->RegisterChildContainer(roles.get());
    hostContainer->RegisterChildContainer(client.get());
    hostContainer->RegisterChildContainer(view.get());
    module.InitPluginContainer(hostContainer.get());
    containerInitialised = true;
    for (const std::unique_ptr<UserPlugin>& plugin : plugins) {
        if (!plugin->initialised) {
            continue;
        }
        if (!plugin->module.InitPluginContainer(hostContainer.get())) {
            Say(3, "InitPluginContainer() of " + plugin->module.GetPath() + " failed");
        }
    }
    // A plug-in that throws out of its start fails the start as a false does; the tree is then
    // shut down as after any failed start.
    bool started = false;
    try {
        started = hostContainer->StartContainer();
    } catch (...) {
        Say(3, "a plug-in threw while the plug-ins started: " + pyr::CaughtText());
    }
    if (!started) {
        Say(3, "the plug-ins did not start (PLINTH_LOG_LEVEL=2 shows the lifecycle)");
        return false;
    }
    return view->GetMiniMap() != nullptr;
}

void ClientApp::StopTree() {
    // The page's controls reach into the tree: no more of them from here on.
    if (web) {
        web->Stop();
    }
    // Without the core lock: a delivery in progress may be waiting for it.
    if (client) {
        client->Stop();
    }
    if (link) {
        link->StopTicks();
    }
    if (hostContainer) {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        try {
            hostContainer->ShutdownContainer();
        } catch (...) {
            // The modules are still released and unloaded below.
            Say(3, "a plug-in threw while the plug-ins shut down: " + pyr::CaughtText());
        }
        for (auto it = plugins.rbegin(); it != plugins.rend(); ++it) {
            if ((*it)->initialised) {
                (*it)->module.ReleasePluginContainer(hostContainer.get());
            }
        }
        if (containerInitialised) {
            module.ReleasePluginContainer(hostContainer.get());
        }
    }
    if (link) {
        link->Uninstall();
    }
    // Whatever the modules registered and left behind would run their code after the unload:
    // withdraw it while they are still mapped, and say so. (Their timers: PluginModule::Unload.)
    if (client && client->GetDispatcher().CountHandlers() != 0) {
        Say(3, "the modules left " + std::to_string(client->GetDispatcher().CountHandlers()) +
                   " message handler(s) registered after their release; removing them");
        client->GetDispatcher().ClearHandlers();
    }
    if (roles) {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        if (roles->RoleResetSignal.GetSlotCount() != 0) {
            Say(3, "the modules left " + std::to_string(roles->RoleResetSignal.GetSlotCount()) +
                       " role-reset slot(s) connected after their release; removing them");
            roles->RoleResetSignal.DisconnectAll();
        }
    }
    for (auto it = plugins.rbegin(); it != plugins.rend(); ++it) {
        if ((*it)->initialised) {
            (*it)->module.ReleasePlugin();
        }
    }
    if (pluginInitialised) {
        module.ReleasePlugin();
    }
    if (hostContainer) {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        hostContainer->UnregisterChildContainer(view.get());
        hostContainer->UnregisterChildContainer(client.get());
        hostContainer->UnregisterChildContainer(roles.get());
    }
    plugins.clear();
    module.Unload();
}

int ClientApp::Run() {
    // Before the first descriptor is opened.
    const bool outputClosed = cli::OpenClosedStandardStreams();
    StopSignals stop;
    stopSignals = &stop;
    const auto started = std::chrono::steady_clock::now();
    if (options.durationMs) {
        deadline = cli::DeadlineAfter(started, *options.durationMs);
    }

    const bool replay = !options.replayPath.empty();
    // Before anything registers a timer: a replay runs every timer on the captured times.
    if (replay && !os::GetTimer()->SetClockMode(os::ClockMode::Manual)) {
        Say(3, "cannot put the timer on the manual clock for the replay");
        return 1;
    }
    kindNames = LoadKindNames();
    const bool terminal = isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0;
    if (options.jsonEvents) {
        mode = Mode::Json;
    } else if (!replay && (options.view == ClientOptions::View::Map ||
                           (options.view == ClientOptions::View::Auto && terminal))) {
        // Asked before anything starts: the terminal library ends the process on a terminal
        // it does not know, threads and all.
        std::string why;
        if (CanDrawMap(why)) {
            mode = Mode::Map;
            map = std::make_unique<CursesView>(kindNames);
        } else if (options.view == ClientOptions::View::Map) {
            Say(3, "cannot draw the map: " + why);
            return 1;
        } else {
            Say(3, "cannot draw the map (" + why + "); plain lines instead");
        }
    }
    if (outputClosed && mode != Mode::Map) {
        Say(3, std::string("cannot write to standard output: ") + std::strerror(EBADF));
        return 1;
    }
    if (mode != Mode::Map) {
        // Lines leave when a read's messages are done, not one write per line.
        static char outputBuffer[1 << 16];
        std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    }
    polling = options.poll;
    // A replay sends the queries that the capture shows the client sending.
    if (options.query && !replay) {
        queryArg = *options.query;
        queryPending = true;
    }

    if (replay) {
        serverHost = "replay of " + options.replayPath;
    } else if (options.server.empty()) {
        if (!StartEmbeddedServer()) {
            return 1;
        }
    } else {
        serverHost = options.serverHost;
        serverPort = options.serverPort;
    }
    serverName = replay ? serverHost : sim::JoinHostPort(serverHost, serverPort);
    if (!options.capturePath.empty()) {
        capture::CaptureWriterOptions captureOptions;
        captureOptions.application = "minimap-client";
        captureOptions.description = "minimap-client to " + serverName;
        std::string error;
        capture = capture::CaptureWriter::Open(options.capturePath, captureOptions, error);
        if (!capture) {
            Say(3, error);
            return 1;
        }
    }

    const std::string path = options.modulePath.empty() ? DefaultModulePath() : options.modulePath;
    if (!module.Load(path)) {
        Say(3, module.GetError());
        return 1;
    }
    // A plug-in that cannot be loaded is named with the loader's reason; the client goes on.
    // So is a plug-in folder the user named that cannot be read; the default one need not be
    // there.
    std::error_code folderError;
    const std::string pluginDir =
        options.pluginDir.empty() ? DefaultPluginDir() : options.pluginDir;
    const std::vector<std::string> pluginPaths =
        PluginPaths(pluginDir, options.plugins, folderError);
    if (folderError && !options.pluginDir.empty()) {
        Say(3, "plug-in folder not read: " + pluginDir + ": " + folderError.message());
    }
    for (const std::string& pluginPath : pluginPaths) {
        if (const std::string* loaded = FindSameFile(pluginPath)) {
            Say(3, "plug-in not loaded: " + pluginPath + ": the same file as " + *loaded +
                       ", loaded already");
            continue;
        }
        auto plugin = std::make_unique<UserPlugin>();
        if (!plugin->module.Load(pluginPath)) {
            Say(3, "plug-in not loaded: " + plugin->module.GetError());
            continue;
        }
        Say(2, "plug-in " + pluginPath + " loaded");
        plugins.push_back(std::move(plugin));
    }

    int exitCode = 0;
    if (StartTree() && (options.web.empty() || StartWeb())) {
        view->GetMiniMap()->SetPollEnabled(polling.load());
        if (mode == Mode::Lines) {
            char polls[48] = "off";
            if (options.poll) {
                std::snprintf(polls, sizeof polls, "on (every %g s)",
                              pyr::MiniMapPollInterval * os::GetTimer()->GetScale() / 1000.0);
            }
            os::ThreadLockHandle coreLock(GetClientCoreLock());
            output += "minimap-client: " +
                      (embedded ? "embedded simulator on " + serverName
                       : replay ? serverName
                                : "server " + serverName) +
                      ", polling " + polls + ", battle " + (options.battle ? "on" : "off") +
                      (deadline || replay ? "" : "; Ctrl-C stops") + "\n";
            FlushOutput();
        }
        link->Install();
        client->SetConnectionObserver([this](bool up) { OnConnection(up); });
        client->SetReceiveTap(this);
        link->StartTicks();
        if (replay) {
            exitCode = Replay();
        } else if (client->Start(); mode == Mode::Map) {
            ViewLogSink sink(*map);
            os::ILogSink* previous = os::Log::GetInstance().SetSink(&sink);
            map->Run(*this, [&] {
                return stop.IsRequested() ||
                       (deadline && std::chrono::steady_clock::now() >= *deadline);
            });
            os::Log::GetInstance().SetSink(previous);
        } else {
            stop.Wait(deadline);
        }
    } else {
        exitCode = 1;
    }
    ending = true;
    StopTree();
    if (embedded) {
        embedded->Stop();
    }
    if (capture) {
        capture->Close();
        // The run went on without it, but whoever asked for the capture must not take the
        // file for the whole conversation.
        if (capture->GetStats().failed) {
            Say(3, "the capture " + options.capturePath + " is incomplete: writing it failed");
            exitCode = exitCode != 0 ? exitCode : 1;
        }
    }
    stopSignals = nullptr;
    if (mode != Mode::Map) {
        FlushOutput();
    }
    if (const int error = outputError.load(); error != 0) {
        Say(3, std::string("cannot write to standard output: ") + std::strerror(error));
        exitCode = exitCode != 0 ? exitCode : 1;
    } else if (untaken != 0) {
        Say(3, "stopped with " + std::to_string(untaken) +
                   " bytes of output that standard output did not take");
        exitCode = exitCode != 0 ? exitCode : 1;
    }
    return exitCode;
}

int ClientApp::Replay() {
    // What handlers see as the sender, as behind the live client.
    class ReplaySender final : public ISender {};
    ReplaySender sender;
    ReplayHooks hooks;
    hooks.connection = [this](bool up) { OnConnection(up); };
    // As the game-server client delivers: shown to the view first (ReceiveTap), then
    // dispatched; each message is a read of its own.
    hooks.deliver = [this, &sender](const NetMsg& msg) {
        if (outputError.load() != 0) {
            return;  // nobody reads what the rest would print
        }
        OnReceived(msg);
        try {
            (*client->MsgTypeDispatcher)(&sender, &msg);
        } catch (...) {
            Say(3, "a message handler threw: " + pyr::CaughtText());
        }
        OnBatchDelivered();
    };
    hooks.query = [this](std::int32_t arg) { Query(arg); };
    std::string error;
    if (!ReplayCapture(options.replayPath, hooks, error)) {
        Say(3, error);
        return 1;
    }
    return 0;
}

}  // namespace

std::size_t WholeLinesPage(std::string_view pending, std::size_t page) {
    if (pending.size() <= page) {
        return pending.size();
    }
    const std::size_t lastEnd = pending.substr(0, page).rfind('\n');
    return lastEnd == std::string_view::npos ? page : lastEnd + 1;
}

int RunClient(const ClientOptions& options) {
    try {
        ClientApp app(options);
        return app.Run();
    } catch (...) {
        Say(3, "stopped by an error: " + pyr::CaughtText());
        return 1;
    }
}

}  // namespace host
