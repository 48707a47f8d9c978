// The content-author tool, run as a separate program the way an author runs it.
#include "SatchelTesting.h"
#include "text/Scramble.h"

namespace satchel_test {
namespace {

const std::string kTool = PYR_STRTABLE;

std::string EveryByteValue() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) {
        bytes.push_back(static_cast<char>(b));
    }
    return bytes;
}

TEST(Scramble, EveryByteIsMaskedAndScramblingTwiceRestoresIt) {
    static_assert(kXmlScrambleMask != 0);
    const std::string original = EveryByteValue();
    std::string data = original;
    ScrambleBytes(data.data(), data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(static_cast<unsigned char>(data[i]),
                  static_cast<unsigned char>(original[i]) ^ kXmlScrambleMask);
    }
    ScrambleBytes(data.data(), data.size());
    EXPECT_EQ(data, original);
    ScrambleBytes(nullptr, 0);
}

TEST(PyrStrtable, ScrambleThenUnscrambleGivesBackTheOriginalFile) {
    TempDir dir;
    const std::string original =
        "<?xml version=\"1.0\"?>\r\n<T><K>\xC4\xE3</K></T>\n" + EveryByteValue();
    WriteFile(dir / "common.xml", original);

    const RunResult scramble = RunProgram(
        {kTool, "scramble", (dir / "common.xml").string(), (dir / "common.xmlx").string()});
    ASSERT_EQ(scramble.status, 0) << scramble.output;
    EXPECT_EQ(scramble.output, "");
    std::string expected = original;
    ScrambleBytes(expected.data(), expected.size());
    EXPECT_EQ(ReadFile(dir / "common.xmlx"), expected);

    const RunResult unscramble = RunProgram(
        {kTool, "unscramble", (dir / "common.xmlx").string(), (dir / "back.xml").string()});
    ASSERT_EQ(unscramble.status, 0) << unscramble.output;
    EXPECT_EQ(ReadFile(dir / "back.xml"), original);

    // In place: the whole input is read before the output replaces it.
    ASSERT_EQ(RunProgram({kTool, "unscramble", (dir / "common.xmlx").string(),
                          (dir / "common.xmlx").string()})
                  .status,
              0);
    EXPECT_EQ(ReadFile(dir / "common.xmlx"), original);
}

TEST(PyrStrtable, PackWritesTheConfigurationTreeTheLibraryServes) {
    TempDir dir;
    WriteFile(dir / "cfg/config/StringTable/common.xml", "<T><K>v</K></T>");
    WriteFile(dir / "cfg/config/StringTable/PetSystem.xml", "<T><P>p</P></T>");
    const RunResult pack =
        RunProgram({kTool, "pack", (dir / "cfg").string(), (dir / "res.zip").string()});
    ASSERT_EQ(pack.status, 0) << pack.output;

    ScopedEnv archive("SATCHEL_ARCHIVE", (dir / "res.zip").c_str());
    ScopedEnv mode("SATCHEL_MODE", nullptr);
    LoadedLibrary library(SATCHEL_LIBRARY);
    library.gameResourcesInitialize();
    ASSERT_TRUE(library.isLoadFromMpq());
    std::uint32_t size = 0;
    void* data = library.loadFileData("config/StringTable/PetSystem.xml", &size, 2);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(static_cast<char*>(data), size), "<T><P>p</P></T>");
    library.freeFileData(data);
    EXPECT_TRUE(library.Unload());
}

TEST(PyrStrtable, UsageErrorsExitWithTwoAndShowTheUsage) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {kTool},
             {kTool, "shuffle", "a", "b"},
             {kTool, "scramble", "only-one"},
             {kTool, "pack", "a", "b", "c"},
             {kTool, "lookup", "common"},
         }) {
        const RunResult run = RunProgram(arguments);
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_NE(run.output.find("usage: pyr-strtable COMMAND ARGUMENTS"), std::string::npos);
    }
    EXPECT_NE(
        RunProgram({kTool, "shuffle"}).output.find("pyr-strtable: unknown command \"shuffle\""),
        std::string::npos);

    const RunResult help = RunProgram({kTool, "help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("pack CONFIG_DIR ARCHIVE"), std::string::npos);
}

TEST(PyrStrtable, FailuresExitWithOneAndNameTheFileWithoutLeavingOutput) {
    TempDir dir;
    const RunResult missing =
        RunProgram({kTool, "scramble", (dir / "absent.xml").string(), (dir / "out.xmlx").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, "pyr-strtable: cannot open " + (dir / "absent.xml").string() +
                                  ": No such file or directory\n");
    EXPECT_FALSE(fs::exists(dir / "out.xmlx"));

    const RunResult pack =
        RunProgram({kTool, "pack", (dir / "absent").string(), (dir / "res.zip").string()});
    EXPECT_EQ(pack.status, 1);
    EXPECT_EQ(pack.output,
              "pyr-strtable: pack: " + (dir / "absent").string() + " is not a directory\n");
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

}  // namespace
}  // namespace satchel_test
