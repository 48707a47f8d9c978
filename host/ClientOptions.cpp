#include "host/ClientOptions.h"

#include <charconv>
#include <limits>

#include "plinth/SharedLibrary.h"
#include "server/SimServer.h"

namespace host {

namespace {

template <class T>
bool ParseInteger(const std::string& text, T& out) {
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, ec] = std::from_chars(first, last, out);
    return !text.empty() && ec == std::errc() && end == last;
}

bool ParseSwitch(const std::string& text, bool& out) {
    if (text == "on") {
        out = true;
    } else if (text == "off") {
        out = false;
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::string DefaultPluginDir() {
    static const int anchor = 0;
    const std::string directory = os::GetModuleDirectory(&anchor);
    return (directory.empty() ? std::string(".") : directory) + "/" PYR_BINDIR_TO_PLUGINDIR;
}

const char* ClientUsage() {
    return "usage: minimap-client [options]\n"
           "  --server HOST:PORT   connect to that game server (default: start the simulator\n"
           "                       in this process on a free loopback port)\n"
           "  --scenario FILE      the embedded simulator's scenario (default: the village)\n"
           "  --poll on|off        poll the server every interval (default on)\n"
           "  --battle on|off      the role's battle flag; no polls while on (default off)\n"
           "  --query ARG          send one NPC query (ARG: an NPC kind, -1 all) once connected\n"
           "  --duration-ms N      run N milliseconds, then shut down and exit 0\n"
           "  --events jsonl       one JSON line per view event on standard output, nothing else\n"
           "  --view map|lines     the live map (default on a terminal) or plain lines\n"
           "  --module PATH        the minimap module to load (default: beside the program)\n"
           "  --plugin PATH        also load that plug-in module (repeatable)\n"
           "  --plugin-dir DIR     load every *.so there (default: lib/PyrMiniMap/plugins of\n"
           "                       the program's prefix)\n"
           "keys in the map: p polling, b battle, f query, [ and ] query kind, r role reset,\n"
           "                 q quit\n";
}

bool ParseClientOptions(int argc, const char* const* argv, ClientOptions& options,
                        std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = arg.rfind("--", 0) == 0 ? arg + " needs a value" : "unexpected " + arg;
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--server") {
            if (!sim::ParseHostPort(value, options.serverHost, options.serverPort)) {
                error = "--server takes HOST:PORT, got '" + value + "'";
                return false;
            }
            options.server = value;
        } else if (arg == "--scenario") {
            options.scenarioPath = value;
        } else if (arg == "--module") {
            options.modulePath = value;
        } else if (arg == "--plugin") {
            options.plugins.push_back(value);
        } else if (arg == "--plugin-dir") {
            options.pluginDir = value;
        } else if (arg == "--poll") {
            if (!ParseSwitch(value, options.poll)) {
                error = "--poll takes on or off";
                return false;
            }
        } else if (arg == "--battle") {
            if (!ParseSwitch(value, options.battle)) {
                error = "--battle takes on or off";
                return false;
            }
        } else if (arg == "--query") {
            std::int32_t q = 0;
            if (!ParseInteger(value, q)) {
                error = "--query takes a 32-bit integer";
                return false;
            }
            options.query = q;
        } else if (arg == "--duration-ms") {
            std::int64_t ms = 0;
            if (!ParseInteger(value, ms) || ms < 0) {
                error = "--duration-ms takes a number of milliseconds";
                return false;
            }
            options.durationMs = ms;
        } else if (arg == "--events") {
            if (value != "jsonl") {
                error = "--events takes jsonl";
                return false;
            }
            options.jsonEvents = true;
        } else if (arg == "--view") {
            if (value == "map") {
                options.view = ClientOptions::View::Map;
            } else if (value == "lines") {
                options.view = ClientOptions::View::Lines;
            } else {
                error = "--view takes map or lines";
                return false;
            }
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    if (!options.server.empty() && !options.scenarioPath.empty()) {
        error = "--scenario is for the embedded simulator; an external server plays its own";
        return false;
    }
    return true;
}

}  // namespace host
