// The archive packer: what it writes must be a zip file that PhysFS (through the library)
// and unzip read back unchanged, and what it refuses must leave no file behind.
#include <unistd.h>

#include "SatchelTesting.h"
#include "satchel/ZipPack.h"

namespace satchel_test {
namespace {

std::string Load(const LoadedLibrary& library, const char* name) {
    std::uint32_t size = 0;
    void* data = library.loadFileData(name, &size, satchel::kLoadWholeFile);
    std::string bytes = data != nullptr ? std::string(static_cast<char*>(data), size) : "<null>";
    library.freeFileData(data);
    return bytes;
}

void MakeTree(const fs::path& root) {
    WriteFile(root / "config/StringTable/common.xml", "<Strings><A>a</A></Strings>");
    WriteFile(root / "config/StringTable/PetSystem.xmlx", std::string("\x00\x5A\xFF", 3));
    WriteFile(root / "config/empty.txt", "");
    WriteFile(root / "a/b/c/d/deep.txt", "deep");
    WriteFile(root / "name with space.txt", "space");
    fs::create_directories(root / "config/nothing-inside");
}

TEST(ZipPack, Crc32MatchesTheStandardCheckValueWholeOrInPieces) {
    const std::string text = "123456789";
    EXPECT_EQ(satchel::Crc32(text.data(), text.size()), 0xCBF43926U);
    EXPECT_EQ(satchel::Crc32(text.data() + 4, 5, satchel::Crc32(text.data(), 4)), 0xCBF43926U);
    EXPECT_EQ(satchel::Crc32(nullptr, 0), 0U);
}

TEST(ZipPack, PackedTreeReadsBackThroughTheLibraryWithRelativeSlashNames) {
    TempDir dir;
    MakeTree(dir / "cfg");
    std::string error;
    ASSERT_TRUE(satchel::PackDirectory(dir / "cfg/", dir / "out.zip", error)) << error;

    ScopedEnv archive("SATCHEL_ARCHIVE", (dir / "out.zip").c_str());
    ScopedEnv mode("SATCHEL_MODE", nullptr);
    LoadedLibrary library(SATCHEL_LIBRARY);
    library.gameResourcesInitialize();
    ASSERT_TRUE(library.isLoadFromMpq());
    EXPECT_EQ(Load(library, "config/StringTable/common.xml"), "<Strings><A>a</A></Strings>");
    EXPECT_EQ(Load(library, "config/StringTable/PetSystem.xmlx"), std::string("\x00\x5A\xFF", 3));
    EXPECT_EQ(Load(library, "a/b/c/d/deep.txt"), "deep");
    EXPECT_EQ(Load(library, "name with space.txt"), "space");

    StderrCapture errors;
    EXPECT_EQ(Load(library, "config/empty.txt"), "<null>");
    EXPECT_EQ(errors.Text(), "") << "the empty file must be in the archive";
    EXPECT_TRUE(library.Unload());
}

TEST(ZipPack, SameInputGivesTheSameBytes) {
    TempDir dir;
    MakeTree(dir / "cfg");
    std::string error;
    ASSERT_TRUE(satchel::PackDirectory(dir / "cfg", dir / "first.zip", error)) << error;
    ASSERT_TRUE(satchel::PackDirectory(dir / "cfg", dir / "second.zip", error)) << error;
    EXPECT_EQ(ReadFile(dir / "first.zip"), ReadFile(dir / "second.zip"));
}

TEST(ZipPack, UnzipAcceptsTheArchiveAndListsEveryFileInNameOrder) {
    if (access("/usr/bin/unzip", X_OK) != 0) {
        GTEST_SKIP() << "unzip is not installed (scripts/setup.sh installs it)";
    }
    TempDir dir;
    MakeTree(dir / "cfg");
    std::string error;
    ASSERT_TRUE(satchel::PackDirectory(dir / "cfg", dir / "out.zip", error)) << error;

    const RunResult test = RunProgram({"/usr/bin/unzip", "-t", (dir / "out.zip").string()});
    EXPECT_EQ(test.status, 0) << test.output;
    EXPECT_NE(test.output.find("No errors detected"), std::string::npos) << test.output;

    const RunResult list = RunProgram({"/usr/bin/unzip", "-Z1", (dir / "out.zip").string()});
    EXPECT_EQ(list.output,
              "a/b/c/d/deep.txt\n"
              "config/StringTable/PetSystem.xmlx\n"
              "config/StringTable/common.xml\n"
              "config/empty.txt\n"
              "name with space.txt\n");
}

TEST(ZipPack, InvalidOrRepeatedNamesAreRefusedAndLeaveNoFile) {
    TempDir dir;
    const std::vector<std::pair<satchel::ZipMember, std::string>> cases = {
        {{"../x", "x"}, "name has a '..' component: \"../x\""},
        {{"/abs", "x"}, "name is absolute: \"/abs\""},
        {{"a\\b", "x"}, "name contains '\\' (use '/'): \"a\\b\""},
        {{"a//b", "x"}, "name has an empty component: \"a//b\""},
        {{"dir/", "x"}, "name has an empty component: \"dir/\""},
        {{"", "x"}, "empty name: \"\""},
    };
    for (const auto& [member, why] : cases) {
        std::string error;
        EXPECT_FALSE(satchel::WriteZipArchive(dir / "out.zip", {member}, error));
        EXPECT_EQ(error, why);
        EXPECT_FALSE(fs::exists(dir / "out.zip"));
    }
    std::string error;
    EXPECT_FALSE(satchel::WriteZipArchive(dir / "out.zip", {{"a", "1"}, {"a", "2"}}, error));
    EXPECT_EQ(error, "member given twice: \"a\"");
    EXPECT_FALSE(fs::exists(dir / "out.zip"));
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST(ZipPack, ArchiveWrittenInsideThePackedTreeDoesNotPackItself) {
    TempDir dir;
    WriteFile(dir / "cfg/a.txt", "a");
    WriteFile(dir / "cfg/resources.zip", "an older archive");
    std::string error;
    ASSERT_TRUE(satchel::PackDirectory(dir / "cfg", dir / "cfg/resources.zip", error)) << error;
    const std::string archive = ReadFile(dir / "cfg/resources.zip");
    EXPECT_NE(archive.find("a.txt"), std::string::npos);
    EXPECT_EQ(archive.find("resources.zip"), std::string::npos);
}

TEST(ZipPack, SymbolicLinkToADirectoryIsRefusedAndAMissingDirectoryNamed) {
    TempDir dir;
    WriteFile(dir / "cfg/a.txt", "a");
    fs::create_directory_symlink(dir / "cfg", dir / "cfg/loop");
    std::string error;
    EXPECT_FALSE(satchel::PackDirectory(dir / "cfg", dir / "out.zip", error));
    EXPECT_EQ(error,
              "refusing to follow the symbolic link to a directory " + (dir / "cfg/loop").string());
    EXPECT_FALSE(fs::exists(dir / "out.zip"));

    EXPECT_FALSE(satchel::PackDirectory(dir / "absent", dir / "out.zip", error));
    EXPECT_EQ(error, (dir / "absent").string() + " is not a directory");
}

}  // namespace
}  // namespace satchel_test
