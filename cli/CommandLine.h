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
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "PyrMiniMapVersion.h"

namespace cli {

/// The check of every option that names a file or folder: an empty value (an unset variable
/// in a script, `--capture "$FILE"`) is refused, where it would stand for the option's absence
/// and the program would run as without it (no capture, the built-in scenario, no replay).
inline const CLI::Validator kPath(
    [](const std::string& text) { return text.empty() ? "an empty path" : std::string(); }, "",
    "path");

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

/// The option `name` ("--port") of `app` or of any of its commands; null when there is none.
inline CLI::Option* FindOption(CLI::App& app, const std::string& name) {
    if (CLI::Option* option = app.get_option_no_throw(name)) {
        return option;
    }
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        if (CLI::Option* option = FindOption(*command, name)) {
            return option;
        }
    }
    return nullptr;
}

/// Whether `option` carries kPath, which names an empty value itself.
inline bool IsPathOption(CLI::Option& option) {
    try {
        return option.get_validator(kPath.get_name()) != nullptr;
    } catch (const CLI::OptionNotFound&) {
        return false;
    }
}

/// The first option of argv given an empty value (`--query ""`, `--query=`), or an empty text.
/// CLI11 reads an empty text as the number 0: an unset variable in a script (`--query "$KIND"`)
/// would run the program as if it had asked for kind 0, or for no connection limit, and an
/// option whose value may be left out (`--web`) as switched off. A file or folder option's own
/// check says "an empty path".
inline std::string OptionGivenAnEmptyValue(CLI::App& app, int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--") {
            break;
        }
        if (argument.size() < 3 || argument.substr(0, 2) != "--") {
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name(argument.substr(0, equals));
        CLI::Option* option = FindOption(app, name);
        if (option == nullptr || option->get_items_expected_max() == 0 || IsPathOption(*option)) {
            continue;
        }
        if (equals != std::string_view::npos) {
            if (equals + 1 == argument.size()) {
                return name;
            }
        } else if (i + 1 < argc) {
            if (argv[i + 1][0] == '\0') {
                return name;
            }
            ++i;
        }
    }
    return {};
}

/// Flushes standard output and tells whether everything the program wrote there arrived;
/// otherwise says so on standard error ("NAME: cannot write to standard output: No space left
/// on device"). What a program prints there is its result: lost to a full disk, the run failed.
inline bool StandardOutputWritten(const std::string& programName) {
    errno = 0;
    std::cout.flush();
    const bool flushed = std::fflush(stdout) == 0;
    const int reason = errno;
    if (flushed && std::cout && std::ferror(stdout) == 0) {
        return true;
    }
    std::cerr << programName << ": cannot write to standard output"
              << (reason != 0 ? std::string(": ") + std::strerror(reason) : std::string()) << "\n";
    return false;
}

/// Parses argv. -1: go on; otherwise the exit code (0 after --help or --version, 1 when that
/// text could not be written, 2 after a usage error), with everything printed.
inline int Parse(CLI::App& app, int argc, const char* const* argv) {
    if (const std::string option = OptionGivenAnEmptyValue(app, argc, argv); !option.empty()) {
        return UsageError(app, option + ": an empty value");
    }
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
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
    } catch (const CLI::ParseError& e) {
        return UsageError(app, e.what());
    }
    return StandardOutputWritten(app.get_name()) ? 0 : 1;
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

/// Whether `next`, a stop signal that came while the stop that `first` asked for goes on, is
/// that request again rather than a second one: the same signal, sent with kill() by the same
/// process. GNU timeout, for one, sends its signal to the program and then to the program's
/// whole process group, so one stop arrives twice. A person's second Ctrl-C comes from the
/// terminal, and a supervisor's second signal from another process or of another kind: those
/// count.
inline bool IsTheSameStopRequest(const siginfo_t& first, const siginfo_t& next) noexcept {
    return next.si_signo == first.si_signo && first.si_code == SI_USER && next.si_code == SI_USER &&
           first.si_pid != 0 && next.si_pid == first.si_pid;
}

}  // namespace cli
