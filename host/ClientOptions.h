// The command line of minimap-client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct ClientOptions {
    /// "HOST:PORT" of an external game server; empty: start the simulator embedded.
    std::string server;
    std::string serverHost;
    std::uint16_t serverPort = 0;
    /// The embedded simulator's scenario file; empty: the default scenario.
    std::string scenarioPath;
    /// The module to load; empty: libPyr_MiniMap.so beside the program (or in the library
    /// folder of the prefix it is installed in).
    std::string modulePath;
    /// Plug-in modules loaded after the minimap, in this order, after those of `pluginDir`.
    std::vector<std::string> plugins;
    /// The plug-in folder: every *.so in it is loaded, in name order; empty: the default folder
    /// (DefaultPluginDir()). A folder that does not exist holds no plug-ins.
    std::string pluginDir;
    bool poll = true;
    bool battle = false;
    /// Sent once, as soon as the first connection is up.
    std::optional<std::int32_t> query;
    /// Run this long (wall-clock milliseconds), then shut down; unset: until q or a signal.
    std::optional<std::int64_t> durationMs;
    /// One JSON object per line on standard output for every signal the view receives.
    bool jsonEvents = false;
    enum class View : std::uint8_t { Auto, Map, Lines } view = View::Auto;
    /// Writes every message of the connection, both directions, to this pcapng file.
    std::string capturePath;
    /// Plays this capture's server messages into the module on the manual clock, with no
    /// network, then exits.
    std::string replayPath;
    /// Serve the live map to browsers on "HOST:PORT" (--web); empty: no web view.
    std::string web;
    std::string webHost;
    std::uint16_t webPort = 0;
    /// Lets --web listen on an address other machines reach.
    bool webAllowRemote = false;
};

/// Parses argv. False with `error` set on anything it does not understand; --help and
/// --version count as errors here (ParseClientCommandLine answers them).
bool ParseClientOptions(int argc, const char* const* argv, ClientOptions& options,
                        std::string& error);

/// Parses the program's command line: -1 to go on; otherwise the exit code, after the help or
/// the version on standard output (0) or a usage error and the help on standard error (2).
int ParseClientCommandLine(int argc, const char* const* argv, ClientOptions& options);

/// The plug-in folder of the running program: lib/PyrMiniMap/plugins of the prefix it is
/// installed in (<program folder>/../lib/PyrMiniMap/plugins).
std::string DefaultPluginDir();

}  // namespace host
