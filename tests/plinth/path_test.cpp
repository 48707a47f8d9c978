#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "plinth/Path.h"

namespace {

// Restores PLINTH_CONFIG_DIR as it was, so that no test leaks its setting into another.
class ConfigDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* value = std::getenv("PLINTH_CONFIG_DIR")) {
            saved = value;
        }
    }
    void TearDown() override {
        if (saved) {
            setenv("PLINTH_CONFIG_DIR", saved->c_str(), 1);
        } else {
            unsetenv("PLINTH_CONFIG_DIR");
        }
    }
    std::optional<std::string> saved;
};

TEST_F(ConfigDirectory, DefaultsToTheDirectoryOfTheRunningExecutable) {
    unsetenv("PLINTH_CONFIG_DIR");
    const auto executable = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(os::GetConfigDirectory(), executable.parent_path().string());
    setenv("PLINTH_CONFIG_DIR", "", 1);
    EXPECT_EQ(os::GetConfigDirectory(), executable.parent_path().string());
}

TEST_F(ConfigDirectory, PlinthConfigDirOverridesItAtEachCallWithoutTrailingSeparators) {
    setenv("PLINTH_CONFIG_DIR", "/opt/client/config", 1);
    EXPECT_EQ(os::GetConfigDirectory(), "/opt/client/config");
    setenv("PLINTH_CONFIG_DIR", "/opt/client//", 1);
    EXPECT_EQ(os::GetConfigDirectory(), "/opt/client");
    setenv("PLINTH_CONFIG_DIR", "relative\\dir\\", 1);
    EXPECT_EQ(os::GetConfigDirectory(), "relative\\dir");
    setenv("PLINTH_CONFIG_DIR", "/", 1);
    EXPECT_EQ(os::GetConfigDirectory(), "/");
}

TEST(Path, ToNativeFileNameTurnsBackslashesIntoSlashes) {
    EXPECT_EQ(os::ToNativeFileName("config\\StringTable\\common.xml"),
              "config/StringTable/common.xml");
    EXPECT_EQ(os::ToNativeFileName("/opt/client\\config/StringTable\\PetSystem.xmlx"),
              "/opt/client/config/StringTable/PetSystem.xmlx");
    EXPECT_EQ(os::ToNativeFileName("already/native \xCA\xA7.xml"), "already/native \xCA\xA7.xml");
    EXPECT_EQ(os::ToNativeFileName(""), "");
}

TEST(Path, GetFileExtIsTheTextAfterTheLastDotOfTheLastComponent) {
    EXPECT_EQ(os::GetFileExt("config/StringTable/common.xml"), "xml");
    EXPECT_EQ(os::GetFileExt("a/b.xmlx"), "xmlx");
    EXPECT_EQ(os::GetFileExt("x.tar.XmlX"), "XmlX");
    EXPECT_EQ(os::GetFileExt("config\\StringTable\\PetSystem.XMLX"), "XMLX");
    EXPECT_EQ(os::GetFileExt("dir/.hidden"), "hidden");
    EXPECT_EQ(os::GetFileExt("a.b/c"), "");
    EXPECT_EQ(os::GetFileExt("a.b\\c"), "");
    EXPECT_EQ(os::GetFileExt("c."), "");
    EXPECT_EQ(os::GetFileExt("noext"), "");
    EXPECT_EQ(os::GetFileExt(""), "");
}

// Whatever the path names, the read ends within the limit: a regular file by its size, a
// stream (a device, a pipe) by what it has given, a FIFO nobody writes to at once.
TEST(Path, ReadWholeFileReadsWithinTheLimitAndRefusesBeyondItWhateverTheFileIs) {
    using os::ReadFileResult;
    const std::string folder = ::testing::TempDir() + "/plinth_read_whole_file";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::string bytes = "stale";

    const std::string small = folder + "/small";
    std::ofstream(small, std::ios::binary) << std::string("ten\0bytes!", 10);
    EXPECT_EQ(os::ReadWholeFile(small, 10, bytes), ReadFileResult::Read);
    EXPECT_EQ(bytes, std::string("ten\0bytes!", 10));
    EXPECT_EQ(os::ReadWholeFile(small, 9, bytes), ReadFileResult::TooLarge);
    EXPECT_EQ(bytes, "");

    const std::string sparse = folder + "/sparse";
    std::ofstream(sparse).close();
    std::filesystem::resize_file(sparse, 1ull << 30);
    EXPECT_EQ(os::ReadWholeFile(sparse, 1 << 20, bytes), ReadFileResult::TooLarge);
    EXPECT_EQ(os::ReadWholeFile("/dev/zero", 100000, bytes), ReadFileResult::TooLarge);
    EXPECT_EQ(os::ReadWholeFile(folder, 1 << 20, bytes), ReadFileResult::Unreadable);
    EXPECT_EQ(os::ReadWholeFile(folder + "/absent", 1 << 20, bytes), ReadFileResult::Unreadable);

    const std::string fifo = folder + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(os::ReadWholeFile(fifo, 1 << 20, bytes), ReadFileResult::NoWriter);
    EXPECT_EQ(bytes, "");
    // The reasons in words.
    std::string error;
    EXPECT_FALSE(os::ReadWholeFile(fifo, 1 << 20, bytes, "the FIFO", error));
    EXPECT_EQ(error, "cannot read the FIFO: a FIFO that nobody writes to");
    EXPECT_FALSE(os::ReadWholeFile(folder + "/absent", 1 << 20, bytes, "absent", error));
    EXPECT_EQ(error, "cannot read absent: No such file or directory");
    EXPECT_FALSE(os::ReadWholeFile(folder, 1 << 20, bytes, "the folder", error));
    EXPECT_EQ(error, "cannot read the folder: Is a directory");

    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(write(pipeEnds[1], "piped", 5), 5);
    close(pipeEnds[1]);
    const std::string piped = "/proc/self/fd/" + std::to_string(pipeEnds[0]);
    EXPECT_EQ(os::ReadWholeFile(piped, 5, bytes), ReadFileResult::Read);
    EXPECT_EQ(bytes, "piped");
    close(pipeEnds[0]);
    std::filesystem::remove_all(folder);
}

}  // namespace
