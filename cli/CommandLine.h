// The command lines of the project's programs, parsed with CLI11 the same way everywhere:
// --help and --version print on standard output and exit 0; a usage error (an unknown option,
// which the message names, a missing or bad value) prints the error and the help on standard
// error and exits 2. Help texts show every option's default.
#pragma once

#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "PyrMiniMapVersion.h"

namespace cli {

/// Makes `app` the command line of `program`: --version ("<program> <version>"), defaults shown
/// in the help. Give each option a type_name() ("N", "FILE") so that the help stays readable.
inline void Prepare(CLI::App& app, const std::string& program) {
    app.name(program);
    app.set_version_flag("--version", program + " " + PYR_MINIMAP_VERSION_STRING,
                         "print the version and exit");
    app.option_defaults()->always_capture_default();
    app.get_formatter()->column_width(30);
}

/// Parses argv. -1: go on; otherwise the exit code (0 after --help or --version, 2 after a usage
/// error), with everything printed.
inline int Parse(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
        return -1;
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << app.get_name() << ": " << e.what() << "\n\n" << app.help();
        return 2;
    }
}

}  // namespace cli
