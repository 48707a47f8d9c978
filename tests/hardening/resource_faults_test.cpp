// The text resources over damaged packed archives and an unreadable configuration: a module
// built like the client module (text_test_module) is loaded in a fresh process by the text
// tests' module host, beside the real packed resource library, and reports its display texts.
// Whatever is wrong, the process loads the module and ends normally, the reason is written
// where a user looks for it (standard error), and the texts that could not be read are empty
// (never null) while everything intact is still read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "satchel/ZipPack.h"
#include "support/HostileFiles.h"
#include "text/TextTesting.h"

namespace {

using text_test::HostRun;
using text_test::MakeModuleFolder;
using text_test::TempDir;
namespace fs = std::filesystem;

const std::string kSampleConfig = SAMPLE_CONFIG_DIR;
const std::string kCommonName = "config/StringTable/common.xml";
const std::string kPetName = "config/StringTable/PetSystem.xml";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A key's text in a sample table, read without the code under test.
std::string SampleText(const std::string& file, const std::string& key) {
    const std::string text = ReadFile(kSampleConfig + "/" + file);
    std::smatch match;
    const std::regex entry("<" + key + ">([^<]*)</" + key + ">");
    return std::regex_search(text, match, entry) ? match[1].str() : std::string();
}

class ResourceFaults : public ::testing::Test {
protected:
    void SetUp() override {
        MakeModuleFolder(program.Path(), {"libMod.so"}, SATCHEL_LIBRARY);
        metal = SampleText(kCommonName, "FiveElements_Metal");
        wanMei = SampleText(kPetName, "PetQuality_WanMei");
        ASSERT_FALSE(metal.empty());
        ASSERT_FALSE(wanMei.empty());
    }

    // An archive of the two sample tables under the given member names.
    std::string Archive(const std::string& commonName = kCommonName,
                        const std::string& petName = kPetName) {
        const fs::path path = archives / "resources.zip";
        std::string error;
        EXPECT_TRUE(
            satchel::WriteZipArchive(path,
                                     {{commonName, ReadFile(kSampleConfig + "/" + kCommonName)},
                                      {petName, ReadFile(kSampleConfig + "/" + kPetName)}},
                                     error))
            << error;
        return ReadFile(path);
    }

    // Loads the module with `archive` as the packed archive and `config` as the configuration
    // directory.
    HostRun Load(const std::string& archive, const fs::path& config) {
        const fs::path path = archives / "damaged.zip";
        WriteFile(path, archive);
        return text_test::RunProgram(
            {TEXT_MODULE_HOST, "load", (program / "libMod.so").string()},
            {"PLINTH_CONFIG_DIR=" + config.string(), "SATCHEL_ARCHIVE=" + path.string(),
             "SATCHEL_MODE", "PLINTH_LOG_LEVEL", "PLINTH_LOG_FILE"});
    }

    static std::string Common(const HostRun& run) {
        return run.Text("libMod.so", "FiveElementsNames", 0);
    }
    static std::string Pet(const HostRun& run) {
        return run.Text("libMod.so", "PetQualityNames", 4);
    }

    TempDir program;
    TempDir archives;
    TempDir emptyConfig;
    std::string metal;
    std::string wanMei;
};

TEST_F(ResourceFaults, IntactArchiveServesBothTables) {
    const HostRun run = Load(Archive(), emptyConfig.Path());
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(run.Line("bridge libMod.so"), "bridge libMod.so loaded=1 archive=1");
    EXPECT_EQ(Common(run), metal);
    EXPECT_EQ(Pet(run), wanMei);
}

TEST_F(ResourceFaults, TruncatedArchiveIsRefusedWithItsReasonAndLooseFilesAreRead) {
    const std::string whole = Archive();
    for (const std::size_t cut :
         {whole.size() - 1, whole.size() - 22, whole.size() / 2, std::size_t{10}, std::size_t{0}}) {
        SCOPED_TRACE("cut to " + std::to_string(cut) + " bytes");
        const HostRun run = Load(whole.substr(0, cut), kSampleConfig);
        ASSERT_EQ(run.status, 0) << run.All();
        EXPECT_EQ(run.Line("bridge libMod.so"), "bridge libMod.so loaded=1 archive=0");
        EXPECT_NE(run.errors.find("Satchel: cannot use archive"), std::string::npos) << run.errors;
        // The configuration directory serves instead.
        EXPECT_EQ(Common(run), metal);
        EXPECT_EQ(Pet(run), wanMei);
    }
}

TEST_F(ResourceFaults, MemberWithAWrongChecksumFailsThatTableAloneWithReasons) {
    std::string archive = Archive();
    const auto at = archive.find("<FiveElements_Metal>");
    ASSERT_NE(at, std::string::npos);
    archive[at + 1] = static_cast<char>(archive[at + 1] ^ 0x20);  // 'F' -> 'f'
    const HostRun run = Load(archive, kSampleConfig);
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(run.Line("bridge libMod.so"), "bridge libMod.so loaded=1 archive=1");
    EXPECT_EQ(Common(run), "") << "a member that fails its checksum is not read";
    EXPECT_EQ(Pet(run), wanMei);
    EXPECT_NE(run.errors.find("Satchel: LoadFileData(" + kCommonName + ")"), std::string::npos)
        << run.errors;
    EXPECT_NE(run.errors.find("TiXmlDocument::LoadFile() error : load " + kCommonName + " fail"),
              std::string::npos)
        << run.errors;
}

TEST_F(ResourceFaults, MembersWhoseNamesClimbOutWithDotDotServeNothing) {
    // Packed under placeholder names of the same length, then renamed in place (in the local
    // headers and the central directory alike): the packer itself refuses such names. One
    // name leads back to the very name that is asked for, the other climbs out of the archive.
    std::string archive =
        Archive("config/ab/XX/StringTable/common.xml", "XX/XX/config/StringTable/PetSystem.xml");
    for (std::size_t at = archive.find("XX"); at != std::string::npos;
         at = archive.find("XX", at)) {
        archive.replace(at, 2, "..");
    }
    const HostRun run = Load(archive, emptyConfig.Path());
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(Common(run), "");
    EXPECT_EQ(Pet(run), "");
    for (const std::string& name : {kCommonName, kPetName}) {
        EXPECT_NE(run.errors.find("Satchel: LoadFileData(" + name + "): not found"),
                  std::string::npos)
            << run.errors;
    }
}

TEST_F(ResourceFaults, MalformedTableInTheArchiveGivesEmptyTextsForItOnly) {
    const fs::path path = archives / "malformed.zip";
    std::string error;
    ASSERT_TRUE(
        satchel::WriteZipArchive(path,
                                 {{kCommonName, "<r><FiveElements_Metal>x</FiveElements_Metal"},
                                  {kPetName, ReadFile(kSampleConfig + "/" + kPetName)}},
                                 error))
        << error;
    const HostRun run = Load(ReadFile(path), kSampleConfig);
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(Common(run), "");
    EXPECT_EQ(Pet(run), wanMei);
}

// Whether this process may take capabilities away from the programs it starts: CAP_SETPCAP
// in its effective set.
bool MayDropCapabilities() {
    constexpr int kCapSetPCap = 8;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("CapEff:", 0) == 0) {
            return ((std::stoull(line.substr(7), nullptr, 16) >> kCapSetPCap) & 1) != 0;
        }
    }
    return false;
}

class UnreadableConfiguration : public ResourceFaults {
protected:
    // Loads without any archive, from `config`; the host started through `launcher` when it
    // is not empty.
    HostRun LoadFrom(const fs::path& config, std::vector<std::string> launcher = {}) {
        launcher.insert(launcher.end(),
                        {TEXT_MODULE_HOST, "load", (program / "libMod.so").string()});
        return text_test::RunProgram(
            launcher, {"PLINTH_CONFIG_DIR=" + config.string(),
                       "SATCHEL_ARCHIVE=" + (archives / "none.zip").string(), "SATCHEL_MODE",
                       "PLINTH_LOG_LEVEL", "PLINTH_LOG_FILE"});
    }

    void CopySampleTables(const fs::path& config) {
        text_test::WriteTable(config, "common", ReadFile(kSampleConfig + "/" + kCommonName));
        text_test::WriteTable(config, "PetSystem", ReadFile(kSampleConfig + "/" + kPetName));
    }
};

TEST_F(UnreadableConfiguration, FolderWithoutReadPermissionGivesEmptyTexts) {
    // Permission bits do not stop root: as root, the host runs without the two capabilities
    // that override them, and the folder's owner (root) is refused like anyone else.
    std::vector<std::string> launcher;
    if (geteuid() == 0) {
        if (!MayDropCapabilities()) {
            GTEST_SKIP() << "running as root without CAP_SETPCAP: the host cannot be started "
                            "without the capabilities that read past permission bits";
        }
        launcher = {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search",
                    "--inh-caps=-dac_override,-dac_read_search", "--"};
    }
    TempDir config;
    CopySampleTables(config.Path());
    const fs::path tables = config / "config" / "StringTable";
    ASSERT_EQ(chmod(tables.c_str(), 0), 0);
    const HostRun run = LoadFrom(config.Path(), launcher);
    chmod(tables.c_str(), 0755);  // so that the folder can be removed
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(Common(run), "");
    EXPECT_EQ(Pet(run), "");
}

TEST_F(UnreadableConfiguration, TableThatIsAFolderGivesEmptyTextsForItOnly) {
    TempDir config;
    CopySampleTables(config.Path());
    const fs::path common = config / "config" / "StringTable" / "common.xml";
    fs::remove(common);
    fs::create_directories(common / "inside");
    const HostRun run = LoadFrom(config.Path());
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(Common(run), "");
    EXPECT_EQ(Pet(run), wanMei);
}

// Opening a FIFO waits for a writer: the load would hang for ever (this test would then end at
// its ctest timeout).
TEST_F(UnreadableConfiguration, TableThatIsAFifoGivesEmptyTextsInsteadOfWaitingForAWriter) {
    TempDir config;
    CopySampleTables(config.Path());
    const fs::path pet = config / "config" / "StringTable" / "PetSystem.xml";
    fs::remove(pet);
    ASSERT_EQ(mkfifo(pet.c_str(), 0600), 0);
    const HostRun run = LoadFrom(config.Path());
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(Common(run), metal);
    EXPECT_EQ(Pet(run), "");
}

TEST_F(UnreadableConfiguration, ConfigurationDirectoryThatIsAFileGivesEmptyTexts) {
    TempDir place;
    const fs::path notADirectory = place / "config-file";
    WriteFile(notADirectory, "not a directory");
    const HostRun run = LoadFrom(notADirectory);
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(Common(run), "");
    EXPECT_EQ(Pet(run), "");
    EXPECT_EQ(run.Line("text libMod.so PetTypeNames 0").find("(null)"), std::string::npos);
}

// Hostile tables: the module loads, the hostile table's texts are empty with one line saying
// why, and the other table is read.
class HostileResources : public ResourceFaults {};

TEST_F(HostileResources, TablesNestedSixtyThousandDeepGiveEmptyTextsFromTheArchiveAndTheFolder) {
    const std::string deep = test::DeepTable(60000);
    const fs::path archive = archives / "deep.zip";
    test::WriteHostileArchive(
        archive, {{kCommonName, deep}, {kPetName, ReadFile(kSampleConfig + "/" + kPetName)}});
    TempDir config;
    text_test::WriteTable(config.Path(), "common", deep);
    text_test::WriteTable(config.Path(), "PetSystem", ReadFile(kSampleConfig + "/" + kPetName));
    for (const bool fromArchive : {true, false}) {
        SCOPED_TRACE(fromArchive ? "archive" : "configuration directory");
        const HostRun run = Load(fromArchive ? ReadFile(archive) : std::string(),
                                 fromArchive ? emptyConfig.Path() : config.Path());
        ASSERT_EQ(run.status, 0) << run.All();
        EXPECT_EQ(Common(run), "");
        EXPECT_EQ(Pet(run), wanMei);
        EXPECT_NE(run.errors.find("TiXmlDocument::LoadFile() error : load "), std::string::npos)
            << run.errors;
        EXPECT_NE(run.errors.find("config/StringTable/common.xml refused: elements nested deeper "
                                  "than 64 levels (line 1)"),
                  std::string::npos)
            << run.errors;
    }
}

TEST_F(HostileResources, ZipBombTableIsRefusedBeforeInflatingAndTheOtherTableIsRead) {
    const fs::path archive = archives / "bomb.zip";
    const std::uint64_t size = std::uint64_t{65} << 20;  // 65 MiB of zeros in about 430 KB
    test::WriteHostileArchive(archive, {{kCommonName, {}, true, size, size},
                                        {kPetName, ReadFile(kSampleConfig + "/" + kPetName)}});
    const HostRun run = Load(ReadFile(archive), kSampleConfig);
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(Common(run), "");
    EXPECT_EQ(Pet(run), wanMei);
    EXPECT_NE(run.errors.find("Satchel: LoadFileData(" + kCommonName +
                              "): member of 68157440 "
                              "bytes is larger than the limit of 67108864 bytes"),
              std::string::npos)
        << run.errors;
    EXPECT_NE(run.errors.find("TiXmlDocument::LoadFile() error : load " + kCommonName + " fail"),
              std::string::npos)
        << run.errors;
}

}  // namespace
