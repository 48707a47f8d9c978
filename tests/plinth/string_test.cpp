#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "plinth/String.h"

namespace {

TEST(String, IsAStdStringBehindItsOwnVirtualTablePointer) {
    static_assert(std::is_polymorphic_v<os::String>);
    static_assert(std::is_base_of_v<std::string, os::String>);
    EXPECT_EQ(sizeof(os::String), sizeof(void*) + sizeof(std::string));
}

TEST(String, ToUpperChangesOnlyAsciiLettersInPlace) {
    // "\xCA\xA7" is a GBK character, "\xC3\xA9" a UTF-8 one: their bytes must survive.
    os::String text("config/x.xmlx \xCA\xA7 \xC3\xA9 az_AZ-09");
    os::String& result = text.ToUpper();
    EXPECT_EQ(&result, &text);
    EXPECT_EQ(text, "CONFIG/X.XMLX \xCA\xA7 \xC3\xA9 AZ_AZ-09");
}

TEST(String, ConstructionFromANullPointerGivesAnEmptyString) {
    const os::String text(static_cast<const char*>(nullptr));
    EXPECT_TRUE(text.empty());
}

TEST(String, GetEmptyStringIsOneSharedEmptyObject) {
    const os::String& first = os::GetEmptyString();
    const os::String& second = os::GetEmptyString();
    EXPECT_EQ(&first, &second);
    EXPECT_TRUE(first.empty());
}

TEST(String, ThrownByValueIsCaughtAsOsString) {
    try {
        throw os::String("container IGameServerClient not found");
    } catch (const os::String& error) {
        EXPECT_EQ(error, "container IGameServerClient not found");
        return;
    } catch (...) {
    }
    ADD_FAILURE() << "os::String was not caught as os::String";
}

}  // namespace
