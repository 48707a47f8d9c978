// Loading a module that carries the text resources: each scenario runs the module host in a
// fresh process, with copies of the test module beside the packed library variant it needs.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "TextTesting.h"

namespace {

using text_test::HostRun;
using text_test::MakeModuleFolder;
using text_test::RunHost;
using text_test::TempDir;
using text_test::WriteTable;

const std::string kSampleConfig = SAMPLE_CONFIG_DIR;
const std::string kCommonFile = kSampleConfig + "/config/StringTable/common.xml";
const std::string kPetFile = kSampleConfig + "/config/StringTable/PetSystem.xml";

struct DisplayArray {
    const char* name;
    std::vector<std::string> keys;
};

// The keys behind each display text, in index order.
const std::vector<DisplayArray> kCommonArrays = {
    {"FiveElementsNames",
     {"FiveElements_Metal", "FiveElements_Wood", "FiveElements_Water", "FiveElements_Fire",
      "FiveElements_Earth", "FiveElements_None"}},
};
const std::vector<DisplayArray> kPetArrays = {
    {"PetTypeNames",
     {"PetType_WildPet", "PetType_SpiritBeast", "PetType_Baby", "PetType_Variation",
      "PetType_SecondGeneration1", "PetType_SecondGeneration2", "PetType_SecondGeneration3",
      "PetType_SecondGeneration4", "PetType_SecondGeneration5"}},
    {"PetGradeNames", {"PetGrade_Normal", "PetGrade_Important"}},
    {"PetQualityNames",
     {"PetQuality_PuTong", "PetQuality_LiangHao", "PetQuality_YouXiu", "PetQuality_JieChu",
      "PetQuality_WanMei"}},
    {"YinYangNames", {"YinYang_Yin", "YinYang_Yang"}},
    {"CharacterNames",
     {"Character_YongGan", "Character_JinShen", "Character_Taoqi", "Character_WenZhong",
      "Character_LengJing"}},
    {"TitleNames",
     {"Title_None", "Title_TongTianXuanShou", "Title_TongLingXianShou", "Title_HongHuangShengShou",
      "Title_ShangGuYuanShou"}},
    {"PetDeviationNames",
     {"PetDeviation_TiLi", "PetDeviation_LingLi", "PetDeviation_LiLiang", "PetDeviation_MinJie"}},
};

// The sample table's entries, read independently of the code under test: one entry per line.
std::map<std::string, std::string> SampleEntries(const std::string& file) {
    const std::string text = text_test::ReadFile(file);
    std::map<std::string, std::string> entries;
    const std::regex entry(R"(<([A-Za-z0-9_]+)>([^<]*)</\1>)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry);
         it != std::sregex_iterator(); ++it) {
        entries[(*it)[1]] = (*it)[2];
    }
    return entries;
}

// Every display text of `module` is its key's text in the sample file.
void ExpectSampleTexts(const HostRun& run, const std::string& module,
                       const std::vector<DisplayArray>& arrays, const std::string& sampleFile) {
    const auto sample = SampleEntries(sampleFile);
    for (const auto& array : arrays) {
        for (std::size_t i = 0; i < array.keys.size(); ++i) {
            const auto expected = sample.find(array.keys[i]);
            ASSERT_NE(expected, sample.end()) << array.keys[i] << " missing from " << sampleFile;
            EXPECT_FALSE(expected->second.empty());
            EXPECT_EQ(run.Text(module, array.name, static_cast<int>(i)), expected->second)
                << array.name << "[" << i << "] (" << array.keys[i] << ")";
        }
    }
}

void ExpectEmptyTexts(const HostRun& run, const std::string& module,
                      const std::vector<DisplayArray>& arrays) {
    for (const auto& array : arrays) {
        for (std::size_t i = 0; i < array.keys.size(); ++i) {
            EXPECT_EQ(run.Text(module, array.name, static_cast<int>(i)), "")
                << array.name << "[" << i << "]";
        }
    }
}

class TextModule : public ::testing::Test {
protected:
    std::string Module(const std::string& name) const { return (program / name).string(); }
    std::string Packed() const { return (program / "libSatchel.so").string(); }

    TempDir program;
    TempDir emptyConfig;
};

TEST_F(TextModule, WithoutPackedLibraryDisplayTextsComeFromTheConfigurationDirectory) {
    MakeModuleFolder(program.Path(), {"libMod.so"}, "");
    const HostRun run = RunHost({"load", Module("libMod.so")}, kSampleConfig);
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(run.Line("bridge libMod.so"), "bridge libMod.so loaded=0 archive=0");
    ExpectSampleTexts(run, "libMod.so", kCommonArrays, kCommonFile);
    ExpectSampleTexts(run, "libMod.so", kPetArrays, kPetFile);
    EXPECT_EQ(run.Text("libMod.so", "PetQualityNames", 4), "\xE5\xAE\x8C\xE7\xBE\x8E");
}

TEST_F(TextModule, WithPetSystemMissingPetTextsAreOneSharedEmptyText) {
    TempDir config;
    WriteTable(config.Path(), "common", text_test::ReadFile(kCommonFile));
    MakeModuleFolder(program.Path(), {"libMod.so"}, "");
    const HostRun run = RunHost({"load", Module("libMod.so")}, config.Path());
    ASSERT_EQ(run.status, 0) << run.All();
    ExpectSampleTexts(run, "libMod.so", kCommonArrays, kCommonFile);
    ExpectEmptyTexts(run, "libMod.so", kPetArrays);  // "" rather than "(null)"
    EXPECT_EQ(run.TextAddress("libMod.so", "PetTypeNames", 0),
              run.TextAddress("libMod.so", "PetDeviationNames", 3));
}

TEST_F(TextModule, IncompletePackedLibraryIsReleasedUninitialisedAndFilesAreRead) {
    MakeModuleFolder(program.Path(), {"libMod.so"}, SATCHEL_MISSING_FREE_LIBRARY);
    const HostRun run =
        RunHost({"hold", Packed(), "load", Module("libMod.so"), "counter", Packed(),
                 "SatchelMissingFreeCalls", "release", Packed(), "mapped", Packed()},
                kSampleConfig);
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(run.Line("bridge libMod.so"), "bridge libMod.so loaded=0 archive=0");
    EXPECT_EQ(run.Line("counter"), "counter SatchelMissingFreeCalls 0");
    EXPECT_EQ(run.Line("mapped"), "mapped libSatchel.so 0");
    ExpectSampleTexts(run, "libMod.so", kPetArrays, kPetFile);
}

TEST_F(TextModule, PackedLibraryWithoutArchiveStaysLoadedAndFilesAreRead) {
    MakeModuleFolder(program.Path(), {"libMod.so"}, SATCHEL_NO_ARCHIVE_LIBRARY);
    const HostRun run = RunHost(
        {"load", Module("libMod.so"), "counter", Packed(), "SatchelNoArchiveInitializeCount"},
        kSampleConfig);
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(run.Line("bridge libMod.so"), "bridge libMod.so loaded=1 archive=0");
    EXPECT_EQ(run.Line("counter"), "counter SatchelNoArchiveInitializeCount 1");
    ExpectSampleTexts(run, "libMod.so", kCommonArrays, kCommonFile);
    ExpectSampleTexts(run, "libMod.so", kPetArrays, kPetFile);
}

TEST_F(TextModule, InArchiveModeBothTablesComeFromTheArchiveOnce) {
    MakeModuleFolder(program.Path(), {"libMod.so"}, SATCHEL_RECORDING_LIBRARY);
    const HostRun run =
        RunHost({"hold", Packed(), "serve", Packed(), "config/StringTable/common.xml", kCommonFile,
                 "serve", Packed(), "config/StringTable/PetSystem.xml", kPetFile, "load",
                 Module("libMod.so"), "loads", Packed()},
                emptyConfig.Path());
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(run.Line("bridge libMod.so"), "bridge libMod.so loaded=1 archive=1");
    ExpectSampleTexts(run, "libMod.so", kCommonArrays, kCommonFile);
    ExpectSampleTexts(run, "libMod.so", kPetArrays, kPetFile);
    EXPECT_EQ(run.Line("initialized"), "initialized 1");
    EXPECT_EQ(run.Line("loads"), "loads 2");
    EXPECT_EQ(run.Line("load 0"), "load 0 config/StringTable/common.xml 2");
    EXPECT_EQ(run.Line("load 1"), "load 1 config/StringTable/PetSystem.xml 2");
    EXPECT_EQ(run.Line("outstanding"), "outstanding 0");
}

TEST_F(TextModule, TwoModulesShareOneTableAndReadEachFileOnce) {
    MakeModuleFolder(program.Path(), {"libA.so", "libB.so"}, SATCHEL_RECORDING_LIBRARY);
    const HostRun run =
        RunHost({"hold", Packed(), "serve", Packed(), "config/StringTable/common.xml", kCommonFile,
                 "serve", Packed(), "config/StringTable/PetSystem.xml", kPetFile, "load",
                 Module("libA.so"), "load", Module("libB.so"), "loads", Packed()},
                emptyConfig.Path());
    ASSERT_EQ(run.status, 0) << run.All();
    const std::string tableA =
        run.Line("table libA.so").substr(std::string("table libA.so").size());
    const std::string tableB =
        run.Line("table libB.so").substr(std::string("table libB.so").size());
    EXPECT_FALSE(tableA.empty());
    EXPECT_EQ(tableA, tableB);
    EXPECT_EQ(run.Line("loads"), "loads 2");
    for (const auto& array : kPetArrays) {
        for (std::size_t i = 0; i < array.keys.size(); ++i) {
            EXPECT_EQ(run.TextAddress("libB.so", array.name, static_cast<int>(i)),
                      run.TextAddress("libA.so", array.name, static_cast<int>(i)));
        }
    }
}

TEST_F(TextModule, ModuleThatBuiltTheTableStaysWhileOthersUnloadAndReleaseTheirLibrary) {
    TempDir other;
    MakeModuleFolder(program.Path(), {"libA.so"}, SATCHEL_NO_ARCHIVE_LIBRARY);
    MakeModuleFolder(other.Path(), {"libB.so"}, SATCHEL_NO_ARCHIVE_LIBRARY);
    const std::string moduleB = (other / "libB.so").string();
    const HostRun run = RunHost({"load", Module("libA.so"), "load", moduleB, "close", moduleB,
                                 "mapped", (other / "libSatchel.so").string(), "close",
                                 Module("libA.so"), "report", Module("libA.so")},
                                kSampleConfig);
    ASSERT_EQ(run.status, 0) << run.All();
    EXPECT_EQ(run.Line("bridge libB.so"), "bridge libB.so loaded=1 archive=0");
    EXPECT_EQ(run.Line("closed libB.so"), "closed libB.so mapped=0");
    EXPECT_EQ(run.Line("mapped libSatchel.so"), "mapped libSatchel.so 0");
    // The table runs libA's code for the whole process, so libA stays, texts and all.
    EXPECT_EQ(run.Line("closed libA.so"), "closed libA.so mapped=1");
    ExpectSampleTexts(run, "libA.so", kPetArrays, kPetFile);
}

}  // namespace
