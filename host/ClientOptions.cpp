#include "host/ClientOptions.h"

#include <cstdint>
#include <limits>
#include <map>

#include "cli/CommandLine.h"
#include "plinth/SharedLibrary.h"
#include "server/SimServer.h"

namespace host {

namespace {

constexpr const char* kDefaultWebAddress = "127.0.0.1:8765";

/// The command line, writing into `options`; the values that need a word turned into a field
/// go through `switches`, read back by Finish.
struct Switches {
    std::string poll = "on";
    std::string battle = "off";
    std::string events;
    std::string view = "auto";
};

void Describe(CLI::App& app, ClientOptions& options, Switches& switches) {
    app.description(
        "minimap-client: the reference client of the minimap module. Without --server it starts "
        "the game-server simulator in this process on a free loopback port.\n"
        "Keys in the map: p polling, b battle, f query, [ and ] query kind, r role reset, q quit.");
    cli::Prepare(app, "minimap-client");
    const CLI::Validator onOff = CLI::IsMember({"on", "off"}).description("");
    app.add_option_function<std::string>(
           "--server",
           [&options](const std::string& value) {
               if (!sim::ParseHostPort(value, options.serverHost, options.serverPort)) {
                   throw CLI::ValidationError("--server", "takes HOST:PORT, got '" + value + "'");
               }
               options.server = value;
           },
           "connect to that game server (default: the embedded simulator)")
        ->type_name("HOST:PORT");
    CLI::Option* scenario =
        app.add_option("--scenario", options.scenarioPath,
                       "the embedded simulator's scenario (default: the village square)")
            ->check(cli::kPath)
            ->type_name("FILE");
    scenario->excludes("--server");
    app.add_option("--poll", switches.poll, "poll the server every interval")
        ->check(onOff)
        ->type_name("on|off");
    app.add_option("--battle", switches.battle, "the role's battle flag; no polls while on")
        ->check(onOff)
        ->type_name("on|off");
    app.add_option_function<std::int32_t>(
           "--query", [&options](std::int32_t value) { options.query = value; },
           "send one NPC query (an NPC kind, -1 all) once connected")
        ->type_name("KIND");
    app.add_option_function<std::int64_t>(
           "--duration-ms", [&options](std::int64_t value) { options.durationMs = value; },
           "run that many milliseconds, then shut down and exit 0 (default: until q or a "
           "signal)")
        ->check(
            CLI::Range(std::int64_t{0}, std::numeric_limits<std::int64_t>::max()).description(""))
        ->type_name("N");
    app.add_option("--events", switches.events,
                   "jsonl: one JSON line per view event on standard output, nothing else")
        ->check(CLI::IsMember({"jsonl"}).description(""))
        ->type_name("jsonl");
    app.add_option("--view", switches.view, "the live map (auto: on a terminal) or plain lines")
        ->check(CLI::IsMember({"auto", "map", "lines"}).description(""))
        ->type_name("auto|map|lines");
    app.add_option("--module", options.modulePath,
                   "the minimap module to load (default: libPyr_MiniMap.so beside the program or "
                   "in its prefix's lib/)")
        ->check(cli::kPath)
        ->type_name("PATH");
    app.add_option("--plugin", options.plugins,
                   "also load that plug-in module; repeatable, loaded in order")
        ->check(cli::kPath)
        ->type_name("PATH")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);
    app.add_option("--plugin-dir", options.pluginDir,
                   "load every *.so there, in name order, before the --plugin ones (default: "
                   "lib/PyrMiniMap/plugins of the program's prefix)")
        ->check(cli::kPath)
        ->type_name("DIR");
    CLI::Option* capture = app.add_option("--capture", options.capturePath,
                                          "write every message, both directions, to a pcapng file")
                               ->check(cli::kPath)
                               ->type_name("FILE");
    app.add_option("--replay", options.replayPath,
                   "play a capture's server messages into the module on virtual time, without a "
                   "network, and exit (with --events jsonl: the event stream of the captured run)")
        ->check(cli::kPath)
        ->type_name("FILE")
        ->excludes("--server")
        ->excludes(scenario)
        ->excludes(capture);
    CLI::Option* web =
        app.add_option("--web", options.web,
                       "serve the live map to browsers; the address is printed at start (port 0: "
                       "a free one)")
            ->expected(0, 1)
            ->default_str(kDefaultWebAddress)
            ->check(CLI::Validator(
                [](std::string& value) {
                    std::string host;
                    std::uint16_t port = 0;
                    return sim::ParseHostPort(value, host, port, true)
                               ? std::string()
                               : "takes HOST:PORT, got '" + value + "'";
                },
                ""))
            ->type_name("[HOST:PORT]");
    app.add_flag("--web-allow-remote", options.webAllowRemote,
                 "let --web listen on an address other machines reach")
        ->needs(web);
}

void Finish(const Switches& switches, ClientOptions& options) {
    if (!options.web.empty()) {
        sim::ParseHostPort(options.web, options.webHost, options.webPort, true);
    }
    options.poll = switches.poll == "on";
    options.battle = switches.battle == "on";
    options.jsonEvents = switches.events == "jsonl";
    options.view = switches.view == "map"     ? ClientOptions::View::Map
                   : switches.view == "lines" ? ClientOptions::View::Lines
                                              : ClientOptions::View::Auto;
}

}  // namespace

std::string DefaultPluginDir() {
    static const int anchor = 0;
    const std::string directory = os::GetModuleDirectory(&anchor);
    return (directory.empty() ? std::string(".") : directory) + "/" PYR_BINDIR_TO_PLUGINDIR;
}

bool ParseClientOptions(int argc, const char* const* argv, ClientOptions& options,
                        std::string& error) {
    CLI::App app;
    Switches switches;
    Describe(app, options, switches);
    if (const std::string option = cli::OptionGivenAnEmptyValue(app, argc, argv); !option.empty()) {
        error = option + ": an empty value";
        return false;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    Finish(switches, options);
    return true;
}

int ParseClientCommandLine(int argc, const char* const* argv, ClientOptions& options) {
    CLI::App app;
    Switches switches;
    Describe(app, options, switches);
    const int exitCode = cli::Parse(app, argc, argv);
    if (exitCode < 0) {
        Finish(switches, options);
    }
    return exitCode;
}

}  // namespace host
