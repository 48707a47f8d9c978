#include <cstdlib>
#include <filesystem>
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

}  // namespace
