// Every program's command line, the same conventions everywhere: --version prints
// "<program> <version>" and --help the options with their defaults (none for an option that
// collects values), both on standard output with exit status 0; an unknown option is named on
// standard error, with exit status 2 and nothing on standard output.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "PyrMiniMapVersion.h"
#include "e2e/ChildProcess.h"

namespace {

constexpr int kWaitMs = 30000;

struct Program {
    const char* name;
    const char* path;
    /// A line of the help that shows a default, a repeatable option without one, or a command.
    const char* helpShows;
};

void PrintTo(const Program& program, std::ostream* out) {
    *out << program.name;
}

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

ProgramRun RunProgram(const Program& program, const std::vector<std::string>& arguments) {
    // ctest runs test cases side by side, each in a process of its own: the file is that
    // process's.
    const std::string errPath =
        ::testing::TempDir() + "/" + program.name + "." + std::to_string(::getpid()) + ".cli.err";
    std::vector<std::string> argv = {program.path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto process = test::ChildProcess::Spawn(argv, {}, errPath);
    ProgramRun run;
    if (process == nullptr) {
        return run;
    }
    std::string line;
    while (process->ReadLine(line, kWaitMs)) {
        run.out += line + "\n";
    }
    run.status = process->WaitExit(kWaitMs);
    run.err = test::ReadTextFile(errPath);
    return run;
}

class CommandLine : public ::testing::TestWithParam<Program> {};

TEST_P(CommandLine, VersionHelpAndUnknownOptions) {
    const Program& program = GetParam();

    const ProgramRun version = RunProgram(program, {"--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out, std::string(program.name) + " " + PYR_MINIMAP_VERSION_STRING + "\n");

    const ProgramRun help = RunProgram(program, {"--help"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find(program.helpShows), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("=[]"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");

    const ProgramRun bogus = RunProgram(program, {"--bogus"});
    EXPECT_EQ(bogus.status, 2);
    EXPECT_NE(bogus.err.find("--bogus"), std::string::npos) << bogus.err;
    EXPECT_EQ(bogus.out, "");
}

// A script that sends the version or the help to a full disk learns that it was lost.
TEST_P(CommandLine, VersionToAFullDiskFailsAndSaysWhy) {
    const Program& program = GetParam();
    const std::string errPath =
        ::testing::TempDir() + "/" + program.name + "." + std::to_string(::getpid()) + ".full.err";
    auto process = test::ChildProcess::Spawn(
        {"/bin/sh", "-c", "exec \"$0\" --version > /dev/full", program.path}, {}, errPath);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->WaitExit(kWaitMs), 1);
    const std::string err = test::ReadTextFile(errPath);
    // The example host names itself "example-host" in its messages.
    EXPECT_NE(err.find(": cannot write to standard output: No space left on device\n"),
              std::string::npos)
        << err;
}

INSTANTIATE_TEST_SUITE_P(
    Programs, CommandLine,
    ::testing::Values(Program{"minimap-client", MINIMAP_CLIENT, "--poll on|off=on"},
                      Program{"minimap-server", MINIMAP_SERVER, "--port N=7450"},
                      Program{"minimap-example-host", MINIMAP_EXAMPLE_HOST, "--timeout-ms N=-1"},
                      Program{"pyr-strtable", PYR_STRTABLE, "pack CONFIG_DIR ARCHIVE"},
                      Program{"pyr-netdump", PYR_NETDUMP, "--op OP ..."}),
    [](const ::testing::TestParamInfo<Program>& info) {
        std::string name;
        for (const char* c = info.param.name; *c != '\0'; ++c) {
            name += *c == '-' ? '_' : *c;
        }
        return name;
    });

// Values that get past a plain parse but mean nothing are refused by name, as usage errors:
// NaN (no comparison with it holds, so a range check lets it through), a negative count (read
// into an unsigned limit as its largest value: no limit), a port with anything after its
// digits, an --op that names no message (it would match nothing and print an empty capture),
// an empty path (it would stand for the option's absence: no replay, the built-in scenario), an
// empty number (read as 0: a query of kind 0, no connection limit).
struct BadValue {
    const char* name;
    Program program;
    std::vector<std::string> arguments;
    const char* says;
};

void PrintTo(const BadValue& value, std::ostream* out) {
    *out << value.name;
}

class BadValues : public ::testing::TestWithParam<BadValue> {};

TEST_P(BadValues, AreUsageErrorsThatNameThem) {
    const BadValue& value = GetParam();
    const ProgramRun run = RunProgram(value.program, value.arguments);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(value.says), std::string::npos) << run.err;
}

const Program kServer{"minimap-server", MINIMAP_SERVER, ""};

INSTANTIATE_TEST_SUITE_P(
    Programs, BadValues,
    ::testing::Values(
        BadValue{"server_speed_nan",
                 kServer,
                 {"--replay", "absent.pcapng", "--speed", "nan"},
                 "--speed: not a number: nan"},
        BadValue{"server_speed_minus_nan",
                 kServer,
                 {"--replay", "absent.pcapng", "--speed", "-NaN"},
                 "--speed: not a number: -NaN"},
        BadValue{"server_max_connections_negative",
                 kServer,
                 {"--max-connections", "-5"},
                 "--max-connections: a negative count: -5"},
        BadValue{"server_max_pending_bytes_negative",
                 kServer,
                 {"--max-pending-bytes", "-1"},
                 "--max-pending-bytes: a negative count: -1"},
        BadValue{"server_bind_name",
                 kServer,
                 {"--bind", "example.invalid"},
                 "--bind: not a numeric IPv4 or IPv6 address, nor localhost: "
                 "example.invalid"},
        BadValue{"example_host_port",
                 {"minimap-example-host", MINIMAP_EXAMPLE_HOST, ""},
                 {"--server", "127.0.0.1:12x"},
                 "takes HOST:PORT, got '127.0.0.1:12x'"},
        BadValue{"client_replay_empty",
                 {"minimap-client", MINIMAP_CLIENT, ""},
                 {"--replay", ""},
                 "--replay: an empty path"},
        BadValue{"server_scenario_empty", kServer, {"--scenario", ""}, "--scenario: an empty path"},
        BadValue{"example_host_minimap_empty",
                 {"minimap-example-host", MINIMAP_EXAMPLE_HOST, ""},
                 {"--server", "127.0.0.1:7450", "--minimap", ""},
                 "--minimap: an empty path"},
        BadValue{"client_query_empty",
                 {"minimap-client", MINIMAP_CLIENT, ""},
                 {"--query", ""},
                 "--query: an empty value"},
        BadValue{"client_web_empty",
                 {"minimap-client", MINIMAP_CLIENT, ""},
                 {"--web", ""},
                 "--web: an empty value"},
        BadValue{"server_max_connections_empty",
                 kServer,
                 {"--max-connections="},
                 "--max-connections: an empty value"},
        BadValue{"example_host_timeout_empty",
                 {"minimap-example-host", MINIMAP_EXAMPLE_HOST, ""},
                 {"--server", "127.0.0.1:7450", "--timeout-ms", ""},
                 "--timeout-ms: an empty value"},
        BadValue{"netdump_op",
                 {"pyr-netdump", PYR_NETDUMP, ""},
                 {"absent.pcapng", "--op", "bogus"},
                 "--op: bogus not in"}),
    [](const ::testing::TestParamInfo<BadValue>& info) { return std::string(info.param.name); });

// The simulator listens on the addresses the client's options write: localhost, and an IPv6
// address in brackets.
TEST(ServerCommandLine, BindTakesLocalhostAndABracketedAddress) {
    const ProgramRun local =
        RunProgram(kServer, {"--bind", "localhost", "--port", "0", "--duration-ms", "0"});
    EXPECT_EQ(local.status, 0) << local.err;
    EXPECT_NE(local.out.find("listening on 127.0.0.1:"), std::string::npos) << local.out;

    const ProgramRun bracketed =
        RunProgram(kServer, {"--bind", "[::1]", "--port", "0", "--duration-ms", "0"});
    // A machine without an IPv6 loopback address cannot listen there (status 1); the address is
    // no usage error either way.
    EXPECT_NE(bracketed.status, 2) << bracketed.err;
    if (bracketed.status == 0) {
        EXPECT_NE(bracketed.out.find("listening on [::1]:"), std::string::npos) << bracketed.out;
    }
}

}  // namespace
