// pyr-strtable's scramble and pack, run as an author runs them, on paths that hold something
// other than what they should: inputs that are no regular file, and whatever a killed run or
// someone else left where the output or its temporary file goes. Every run must end with 0, 1
// or 2 and leave everything it did not create as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <set>

#include "SatchelTesting.h"
#include "function/EnumName.h"
#include "satchel/ZipPack.h"
#include "text/Scramble.h"

namespace satchel_test {
namespace {

using ::testing::HasSubstr;

const std::string kTool = PYR_STRTABLE;
const std::string kTable = "<T><K>v</K></T>\n";

enum class Command { Scramble, Pack };

std::string CommandName(Command command) {
    return command == Command::Scramble ? "Scramble" : "Pack";
}

void MakeFifo(const fs::path& path) {
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
}

// What lies at `path`, its last component not followed, in words that a change would alter.
std::string Describe(const fs::path& path) {
    const fs::file_status status = fs::symlink_status(path);
    switch (status.type()) {
        case fs::file_type::not_found:
            return "absent";
        case fs::file_type::symlink:
            return "link to " + fs::read_symlink(path).string();
        case fs::file_type::fifo:
            return "FIFO";
        case fs::file_type::directory:
            return "directory with " +
                   std::to_string(
                       std::distance(fs::directory_iterator(path), fs::directory_iterator())) +
                   " entries";
        case fs::file_type::regular:
            return "file holding \"" + ReadFile(path) + "\"";
        default:
            return "something else";
    }
}

std::set<std::string> Names(const fs::path& folder) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// ---------------------------------------------------------------------------------------------
// Inputs that are no regular file: refused with exit status 1 and the kind named, at once, and
// no output written.

struct HostileInput {
    const char* name;
    Command command;
    // Puts the hostile thing in place under `dir` and returns the command's input argument.
    fs::path (*make)(const TempDir& dir);
    const char* expected;  ///< what the failure line must say, after "pyr-strtable: "
};

// ctest lists a parameterised test with its printed parameter: the case's name, not its bytes.
void PrintTo(const HostileInput& input, std::ostream* out) {
    *out << input.name;
}

class HostileToolInput : public ::testing::TestWithParam<HostileInput> {};

TEST_P(HostileToolInput, IsRefusedAtOnceWithExitOneAndNothingWritten) {
    const HostileInput& input = GetParam();
    TempDir dir;
    const fs::path in = input.make(dir);
    const std::set<std::string> before = Names(dir.Path());
    const fs::path out = dir / (input.command == Command::Scramble ? "out.xmlx" : "res.zip");

    const RunResult run =
        RunProgram({kTool, input.command == Command::Scramble ? "scramble" : "pack", in.string(),
                    out.string()});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_THAT(run.output, HasSubstr("pyr-strtable: "));
    EXPECT_THAT(run.output, HasSubstr(in.string()));
    EXPECT_THAT(run.output, HasSubstr(input.expected));
    EXPECT_EQ(Names(dir.Path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    ScrambleAndPack, HostileToolInput,
    ::testing::Values(HostileInput{"ScrambleOfADirectory", Command::Scramble,
                                   [](const TempDir& dir) {
                                       fs::create_directory(dir / "in.xml");
                                       return dir / "in.xml";
                                   },
                                   "it is a directory, not a regular file"},
                      HostileInput{"ScrambleOfAFifoWithoutWriter", Command::Scramble,
                                   [](const TempDir& dir) {
                                       MakeFifo(dir / "in.xml");
                                       return dir / "in.xml";
                                   },
                                   "it is a FIFO, not a regular file"},
                      HostileInput{"ScrambleOfTheEndlessZeroDevice", Command::Scramble,
                                   [](const TempDir&) { return fs::path("/dev/zero"); },
                                   "it is a character device, not a regular file"},
                      HostileInput{"PackOfATreeHoldingAFifo", Command::Pack,
                                   [](const TempDir& dir) {
                                       WriteFile(dir / "cfg/config/StringTable/common.xml", kTable);
                                       MakeFifo(dir / "cfg/config/StringTable/PetSystem.xml");
                                       return dir / "cfg";
                                   },
                                   "PetSystem.xml is neither a regular file nor a directory"},
                      HostileInput{"PackOfATreeHoldingALinkToTheZeroDevice", Command::Pack,
                                   [](const TempDir& dir) {
                                       WriteFile(dir / "cfg/config/StringTable/common.xml", kTable);
                                       fs::create_symlink("/dev/zero",
                                                          dir / "cfg/config/StringTable/zero.xml");
                                       return dir / "cfg";
                                   },
                                   "zero.xml is neither a regular file nor a directory"}),
    [](const ::testing::TestParamInfo<HostileInput>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Something already at the temporary file's name or at the output's own name. For the pack
// the archive is written inside the tree it packs, so a thing planted beside it lies in the
// tree too.

enum class Planted {
    LinkToAFileAtPartial,   // someone else's file must not be overwritten through it
    DanglingLinkAtPartial,  // nothing must be created where it points
    FifoAtPartial,          // opening it for writing would wait for a reader
    DirectoryAtPartial,     // no file can be created under that name
    StaleFileAtPartial,     // a killed run's
    StaleTemporaryFileOfAKilledRun,
    LinkToAFileAtTheOutput,       // replaced by the new file; the file it points to stays
    LinkToAFifoAtTheOutput,       // refused: a way of writing to a pipe (/dev/stdout), not a file
    LinkToAnOpenFileAtTheOutput,  // refused: /dev/stdout when the output is sent to a file
    FifoAtTheOutput,              // refused: not a file to replace
    DirectoryAtTheOutput,         // refused
};

struct PlantedCase {
    Command command;
    Planted planted;
};

const char* PlantedName(Planted planted) {
    static constexpr const char* kNames[] = {
        "LinkToAFileAtPartial",   "DanglingLinkAtPartial",  "FifoAtPartial",
        "DirectoryAtPartial",     "StaleFileAtPartial",     "StaleTemporaryFileOfAKilledRun",
        "LinkToAFileAtTheOutput", "LinkToAFifoAtTheOutput", "LinkToAnOpenFileAtTheOutput",
        "FifoAtTheOutput",        "DirectoryAtTheOutput"};
    return os::EnumName<Planted::DirectoryAtTheOutput>(planted, kNames, "?");
}

void PrintTo(const PlantedCase& planted, std::ostream* out) {
    *out << CommandName(planted.command) << PlantedName(planted.planted);
}

class HostileToolOutput : public ::testing::TestWithParam<PlantedCase> {};

TEST_P(HostileToolOutput, NothingPlantedIsWrittenThroughOrInTheWay) {
    const auto [command, planted] = GetParam();
    TempDir dir;
    const fs::path victim = dir / "victim";
    const fs::path elsewhere = dir / "elsewhere";
    WriteFile(victim, "someone else's bytes");

    fs::path folder;  // where the output goes
    fs::path out;
    int openVictim = -1;
    std::vector<std::string> arguments{kTool};
    std::string expected;  // the output's bytes
    if (command == Command::Scramble) {
        folder = dir.Path();
        out = folder / "out.xmlx";
        WriteFile(dir / "in.xml", kTable);
        arguments.insert(arguments.end(), {"scramble", (dir / "in.xml").string(), out.string()});
        expected = kTable;
        ScrambleBytes(expected.data(), expected.size());
    } else {
        folder = dir / "cfg";
        out = folder / "res.zip";
        WriteFile(folder / "config/StringTable/common.xml", kTable);
        arguments.insert(arguments.end(), {"pack", folder.string(), out.string()});
        TempDir reference;
        std::string error;
        ASSERT_TRUE(satchel::PackDirectory(folder, reference / "res.zip", error)) << error;
        expected = ReadFile(reference / "res.zip");
    }

    const bool refused = planted == Planted::LinkToAFifoAtTheOutput ||
                         planted == Planted::LinkToAnOpenFileAtTheOutput ||
                         planted == Planted::FifoAtTheOutput ||
                         planted == Planted::DirectoryAtTheOutput;
    const bool atOutput = refused || planted == Planted::LinkToAFileAtTheOutput;
    const fs::path spot = atOutput ? out
                          : planted == Planted::StaleTemporaryFileOfAKilledRun
                              ? fs::path(out.string() + ".partial.k1LLed")
                              : fs::path(out.string() + ".partial");
    switch (planted) {
        case Planted::LinkToAFileAtPartial:
        case Planted::LinkToAFileAtTheOutput:
            fs::create_symlink(victim, spot);
            break;
        case Planted::DanglingLinkAtPartial:
            fs::create_symlink(elsewhere, spot);
            break;
        case Planted::LinkToAFifoAtTheOutput:
            MakeFifo(dir / "pipe");
            fs::create_symlink(dir / "pipe", spot);
            break;
        case Planted::LinkToAnOpenFileAtTheOutput:
            // What /dev/stdout leads to when a program's output is sent to a file: this
            // process's link to the victim, open here.
            openVictim = ::open(victim.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(openVictim, 0);
            fs::create_symlink(
                "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(openVictim), spot);
            break;
        case Planted::FifoAtPartial:
        case Planted::FifoAtTheOutput:
            MakeFifo(spot);
            break;
        case Planted::DirectoryAtPartial:
        case Planted::DirectoryAtTheOutput:
            fs::create_directory(spot);
            break;
        case Planted::StaleFileAtPartial:
        case Planted::StaleTemporaryFileOfAKilledRun:
            WriteFile(spot, "half an output");
            break;
    }
    const std::string spotBefore = Describe(spot);
    std::set<std::string> names = Names(folder);

    const RunResult run = RunProgram(arguments);
    if (openVictim >= 0) {
        ::close(openVictim);
    }

    EXPECT_EQ(Describe(victim), "file holding \"someone else's bytes\"");
    EXPECT_EQ(Describe(elsewhere), "absent");
    if (refused) {
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_THAT(run.output, HasSubstr("pyr-strtable: "));
        EXPECT_THAT(run.output, HasSubstr("cannot replace " + out.string() + ": it is a"));
        EXPECT_EQ(Describe(out), spotBefore);
    } else {
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(Describe(out), "file holding \"" + expected + "\"");
        if (!atOutput) {
            EXPECT_EQ(Describe(spot), spotBefore);
        }
        names.insert(out.filename().string());
    }
    // No temporary file stays behind, whatever the outcome.
    EXPECT_EQ(Names(folder), names);
}

std::vector<PlantedCase> EveryPlantedCase() {
    std::vector<PlantedCase> cases;
    for (const Command command : {Command::Scramble, Command::Pack}) {
        for (int p = 0; p <= static_cast<int>(Planted::DirectoryAtTheOutput); ++p) {
            cases.push_back({command, static_cast<Planted>(p)});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(ScrambleAndPack, HostileToolOutput,
                         ::testing::ValuesIn(EveryPlantedCase()),
                         [](const ::testing::TestParamInfo<PlantedCase>& info) {
                             return CommandName(info.param.command) +
                                    PlantedName(info.param.planted);
                         });

}  // namespace
}  // namespace satchel_test
