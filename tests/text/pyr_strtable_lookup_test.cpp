// `pyr-strtable lookup` and `check`: texts read through the client's own loader, from loose
// files or from an archive through the real packed resource library beside the tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TextTesting.h"
#include "support/HostileFiles.h"

namespace {

using text_test::HostRun;
using text_test::RunProgram;
using text_test::TempDir;

const std::string kSampleConfig = SAMPLE_CONFIG_DIR;

HostRun Lookup(const std::string& table, const std::string& key,
               std::vector<std::string> environment) {
    environment.push_back("PLINTH_LOG_LEVEL");
    environment.push_back("PLINTH_LOG_FILE");
    return RunProgram({PYR_STRTABLE, "lookup", table, key}, environment);
}

// Loose files: the packed library beside the tool finds no archive or is told to ignore it.
const std::vector<std::string> kLooseFiles = {"PLINTH_CONFIG_DIR=" + kSampleConfig,
                                              "SATCHEL_ARCHIVE", "SATCHEL_MODE=files"};

TEST(PyrStrtableLookup, PrintsTheTextFromTheConfigurationDirectory) {
    const HostRun run = Lookup("PetSystem", "PetQuality_WanMei", kLooseFiles);
    EXPECT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(run.lines, std::vector<std::string>{"\xE5\xAE\x8C\xE7\xBE\x8E"});
}

TEST(PyrStrtableLookup, MissingKeyOrTableIsAClearFailure) {
    const HostRun key = Lookup("PetSystem", "PetQuality_Nope", kLooseFiles);
    EXPECT_EQ(key.status, 1);
    EXPECT_TRUE(key.lines.empty());
    EXPECT_NE(key.errors.find("no text for key \"PetQuality_Nope\" in table \"PetSystem\""),
              std::string::npos)
        << key.errors;

    const HostRun table = Lookup("Nope", "Key", kLooseFiles);
    EXPECT_EQ(table.status, 1);
    EXPECT_NE(table.errors.find("cannot read table \"Nope\" from " + kSampleConfig +
                                "/config/StringTable/Nope.xml"),
              std::string::npos)
        << table.errors;

    const HostRun usage = RunProgram({PYR_STRTABLE, "lookup", "common"}, {});
    EXPECT_EQ(usage.status, 2);
}

TEST(PyrStrtableLookup, ReadsTheArchiveWhenThePackedLibrarySaysSo) {
    TempDir work;
    const std::string archive = (work / "resources.zip").string();
    const HostRun pack = RunProgram({PYR_STRTABLE, "pack", kSampleConfig, archive}, {});
    ASSERT_EQ(pack.status, 0) << pack.All();

    // The configuration directory is empty: the text can only come from the archive.
    const HostRun run = Lookup("common", "FiveElements_Fire",
                               {"PLINTH_CONFIG_DIR=" + work.Path().string(),
                                "SATCHEL_ARCHIVE=" + archive, "SATCHEL_MODE"});
    EXPECT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(run.lines, std::vector<std::string>{"\xE7\x81\xAB"});

    // A copy of the tool without the packed library beside it (as after a package split that
    // lost the link libSatchel.so) reads loose files, and says so.
    std::filesystem::create_directory(work / "alone");
    const std::filesystem::path alone = work / "alone" / "pyr-strtable";
    std::filesystem::copy_file(PYR_STRTABLE, alone);
    const HostRun loose =
        RunProgram({alone.string(), "lookup", "common", "FiveElements_Fire"},
                   {"PLINTH_CONFIG_DIR=" + kSampleConfig, "SATCHEL_ARCHIVE=" + archive,
                    "SATCHEL_MODE", "PLINTH_LOG_LEVEL", "PLINTH_LOG_FILE"});
    EXPECT_EQ(loose.status, 0) << loose.All();
    EXPECT_NE(loose.errors.find("SATCHEL_ARCHIVE names " + archive +
                                ", but the packed resource library libSatchel.so was not loaded"),
              std::string::npos)
        << loose.errors;
}

// `check` reads the table from where `lookup` would, and says each finding as
// "SOURCE:LINE: what", exit status 1 when there is one; the sample tables have none.
TEST(PyrStrtableCheck, SaysEachFindingWithItsSourceAndLineFromTheFolderOrTheArchive) {
    TempDir work;
    const std::string table = "<t>\n<A>R&D</A>\n</t>\n";
    text_test::WriteTable(work.Path(), "common", table);
    const std::string archive = (work / "resources.zip").string();
    test::WriteHostileArchive(archive, {{"config/StringTable/common.xml", table}});
    const std::string finding = ":2: \"&D\" starts no entity TinyXML knows: the \"&\" is dropped";
    for (const bool fromArchive : {false, true}) {
        SCOPED_TRACE(fromArchive ? "archive" : "configuration directory");
        const std::vector<std::string> environment =
            fromArchive ? std::vector<std::string>{"PLINTH_CONFIG_DIR=/nonexistent",
                                                   "SATCHEL_ARCHIVE=" + archive, "SATCHEL_MODE"}
                        : std::vector<std::string>{"PLINTH_CONFIG_DIR=" + work.Path().string(),
                                                   "SATCHEL_ARCHIVE", "SATCHEL_MODE=files"};
        const HostRun run = RunProgram({PYR_STRTABLE, "check", "common"}, environment);
        EXPECT_EQ(run.status, 1) << run.All();
        ASSERT_EQ(run.lines.size(), 1u) << run.All();
        const std::string source = fromArchive ? "archive member config/StringTable/common.xml"
                                               : (work / "config/StringTable/common.xml").string();
        EXPECT_EQ(run.lines[0].rfind(source + finding, 0), 0u) << run.lines[0];
    }
    for (const char* name : {"common", "PetSystem"}) {
        const HostRun clean = RunProgram({PYR_STRTABLE, "check", name}, kLooseFiles);
        EXPECT_EQ(clean.status, 0) << clean.All();
        EXPECT_TRUE(clean.lines.empty()) << clean.All();
    }
    const HostRun missing = RunProgram({PYR_STRTABLE, "check", "Nope"}, kLooseFiles);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(
        missing.errors.find("check: cannot open " + kSampleConfig + "/config/StringTable/Nope.xml"),
        std::string::npos)
        << missing.errors;
}

TEST(HostileTableLookup, DeepTableFailsClearlyFromTheFolderAndTheArchive) {
    TempDir work;
    const std::string deep = test::DeepTable(60000);
    text_test::WriteTable(work.Path(), "common", deep);
    const std::string archive = (work / "resources.zip").string();
    test::WriteHostileArchive(archive, {{"config/StringTable/common.xml", deep}});
    for (const bool fromArchive : {false, true}) {
        SCOPED_TRACE(fromArchive ? "archive" : "configuration directory");
        const HostRun run = Lookup(
            "common", "FiveElements_Metal",
            fromArchive ? std::vector<std::string>{"PLINTH_CONFIG_DIR=/nonexistent",
                                                   "SATCHEL_ARCHIVE=" + archive, "SATCHEL_MODE"}
                        : std::vector<std::string>{"PLINTH_CONFIG_DIR=" + work.Path().string(),
                                                   "SATCHEL_ARCHIVE", "SATCHEL_MODE=files"});
        EXPECT_EQ(run.status, 1) << run.All();
        EXPECT_NE(run.errors.find("common.xml refused: elements nested deeper than 64 levels"),
                  std::string::npos)
            << run.errors;
        EXPECT_NE(run.errors.find("cannot read table \"common\""), std::string::npos) << run.errors;
    }
}

TEST(HostileTableLookup, TableFileBeyondTheSizeLimitIsRefusedUnread) {
    TempDir work;
    text_test::WriteTable(work.Path(), "common", "<common/>");
    // Sparse: the bytes beyond the document are NULs that take no disk.
    std::filesystem::resize_file(work / "config" / "StringTable" / "common.xml", (64 << 20) + 1);
    const HostRun run = Lookup(
        "common", "FiveElements_Metal",
        {"PLINTH_CONFIG_DIR=" + work.Path().string(), "SATCHEL_ARCHIVE", "SATCHEL_MODE=files"});
    EXPECT_EQ(run.status, 1) << run.All();
    EXPECT_NE(run.errors.find("common.xml refused: file of 67108865 bytes is larger than 67108864"),
              std::string::npos)
        << run.errors;
}

}  // namespace
