// The command lines of the project's programs, parsed with CLI11 the same way everywhere:
// --help and --version print on standard output and exit 0; a usage error (an unknown option,
// which the message names, a missing or bad value) prints the error and the help on standard
// error and exits 2. Help texts show every option's default; an option that collects values
// (given several times) starts empty and shows none. A program started with a standard stream
// closed gets /dev/null in its place (OpenClosedStandardStreams).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "PyrMiniMapVersion.h"

namespace cli {

/// The check of every option that names a file or folder: an empty value (an unset variable
/// in a script, `--capture "$FILE"`) is refused, where it would stand for the option's absence
/// and the program would run as without it (no capture, the built-in scenario, no replay).
inline const CLI::Validator kPath(
    [](const std::string& text) { return text.empty() ? "an empty path" : std::string(); }, "");

/// Makes `app` the command line of `program`: --version ("<program> <version>"), defaults shown
/// in the help. Give each option a type_name() ("N", "FILE") so that the help stays readable.
inline void Prepare(CLI::App& app, const std::string& program) {
    app.name(program);
    app.set_version_flag("--version", program + " " + PYR_MINIMAP_VERSION_STRING,
                         "print the version and exit");
    app.option_defaults()->always_capture_default();
    app.get_formatter()->column_width(30);
}

/// The help of `app` itself, even after a subcommand was chosen (App::help would give that
/// subcommand's).
inline std::string Help(const CLI::App& app) {
    return app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
}

/// A usage error: "<program>: <message>", a blank line and the help on standard error. Returns
/// the exit code, 2.
inline int UsageError(const CLI::App& app, const std::string& message) {
    std::cerr << app.get_name() << ": " << message << "\n\n" << Help(app);
    return 2;
}

/// Parses argv. -1: go on; otherwise the exit code (0 after --help or --version, 2 after a usage
/// error), with everything printed.
inline int Parse(CLI::App& app, int argc, const char* const* argv) {
    // An option that collects values starts empty, which CLI11 would show as the default "[]".
    for (CLI::Option* option : app.get_options()) {
        if (option->get_default_str() == "[]") {
            option->default_str("");
        }
    }
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
        return UsageError(app, e.what());
    }
}

/// Opens /dev/null on each standard descriptor (0, 1, 2) the program was started without.
/// Otherwise the next file, socket or event descriptor the program opens takes that number,
/// and what it prints goes into that file or connection. Call it first in main. Returns
/// whether standard output was closed: what the program prints there then reaches nobody.
inline bool OpenClosedStandardStreams() {
    bool outputClosed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The descriptors below `fd` are open, so /dev/null takes the number `fd`.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened > fd) {
            dup2(opened, fd);
            close(opened);
        }
        outputClosed = outputClosed || fd == 1;
    }
    return outputClosed;
}

/// The time `ms` milliseconds (not negative) after `start`, or none when that lies past the
/// end of the clock's range: a duration option takes any count, and a count too long for the
/// clock (a "forever" such as the largest number the option takes) sets no deadline, where
/// the plain sum would overflow into the past.
inline std::optional<std::chrono::steady_clock::time_point> DeadlineAfter(
    std::chrono::steady_clock::time_point start, std::int64_t ms) {
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::time_point::max() - start);
    if (ms >= room.count()) {
        return std::nullopt;
    }
    return start + std::chrono::milliseconds(ms);
}

/// The signals that stop a program cleanly: SIGINT (Ctrl-C), SIGTERM (kill) and SIGHUP (its
/// terminal went away, so that what it was writing still ends whole). SIGHUP only when the
/// program was not started with it ignored: that is how `nohup` starts a program that is to
/// outlive its terminal.
inline sigset_t StopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    struct sigaction hangUp {};
    if (sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler != SIG_IGN) {
        sigaddset(&set, SIGHUP);
    }
    return set;
}

}  // namespace cli
