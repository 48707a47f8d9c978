// A process whose host never touched the string table: the module's first display text
// creates the process-wide table, whose code is then the module's, so the module pins itself
// and stays mapped after every unload, on purpose. Unloading it must still be safe: the table
// keeps answering through the module's code, the module can be loaded and used again, and the
// process ends cleanly (the module's static destructors, which release the packed resource
// library, run at exit). This program links no text library of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "hardening/ModuleBench.h"
#include "plinth/GlobalObject.h"
#include "plinth/Timer.h"
#include "text/StringTable.h"

namespace hardening {
namespace {

// The text of `key` in the sample "common" table, read without the code under test.
std::string SampleCommonText(const std::string& key) {
    std::ifstream in(std::string(SAMPLE_CONFIG_DIR) + "/config/StringTable/common.xml");
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::smatch match;
    const std::regex entry("<" + key + ">([^<]*)</" + key + ">");
    return std::regex_search(text, match, entry) ? match[1].str() : std::string();
}

// A lookup through the table's own virtual operation, in the code of the module that made it.
// This program links no text library, so the type's run-time information (which the
// undefined-behaviour sanitizer's check of the call would want) is not here to compare with.
__attribute__((no_sanitize("vptr"))) const std::string& LookUp(StringTable* table,
                                                               const std::string& key) {
    return table->GetString("common", key);
}

// One use of the module: plug in, start, one message, take out.
void UseOnce(ModuleLibrary& module, Siblings& siblings, std::uint64_t id) {
    ASSERT_NO_FATAL_FAILURE(PlugIn(module, siblings));
    ASSERT_TRUE(siblings.client.Deliver(SetPlayer(id)));
    {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        ASSERT_EQ(siblings.MiniMap()->GetPlayerInfoMap().count(id), 1u);
    }
    ASSERT_NO_FATAL_FAILURE(TakeOut(module, siblings));
}

TEST(PinnedModule, ModuleThatCreatedTheStringTableStaysMappedAndUnloadingItStaysSafe) {
    ASSERT_TRUE(os::GetTimer()->SetClockMode(os::ClockMode::Manual));
    setenv("PLINTH_CONFIG_DIR", SAMPLE_CONFIG_DIR, 1);
    const std::string metal = SampleCommonText("FiveElements_Metal");
    ASSERT_FALSE(metal.empty());

    Siblings siblings;
    {
        ModuleLibrary module;
        ASSERT_TRUE(module.IsLoaded()) << module.Error();
        UseOnce(module, siblings, 1);
        module.Unload();
    }
    EXPECT_TRUE(os::IsSharedLibraryLoaded(ModulePath())) << "the module that backs the table went";

    // The table is there, made by the module, and answers through the module's code. (A
    // creator that is called aborts the process: the table must exist already.)
    auto* table = static_cast<StringTable*>(os::GetGlobalObject(
        "StringTableObject", os::Function<void*()>([]() -> void* { return nullptr; })));
    EXPECT_EQ(LookUp(table, "FiveElements_Metal"), metal);

    // Loaded again it is the same mapping, and it serves as before.
    for (std::uint64_t round = 2; round <= 50; ++round) {
        ModuleLibrary module;
        ASSERT_TRUE(module.IsLoaded()) << module.Error();
        UseOnce(module, siblings, round);
        ASSERT_FALSE(HasFatalFailure());
        module.Unload();
        ASSERT_TRUE(os::IsSharedLibraryLoaded(ModulePath()));
    }
    EXPECT_EQ(&LookUp(table, "FiveElements_Metal"), &LookUp(table, "FiveElements_Metal"));
}

// Libraries are also released from static destructors at process exit (the packed resource
// bridge releases libSatchel.so so). Those run after the exiting thread's thread-local
// objects were destroyed, so the loader's per-thread error text must survive that: here it
// holds a long text (kept on the heap by a string) when the release at exit writes it again.
TEST(LibraryLoaderDeathTest, ReleasingALibraryFromAStaticDestructorAtExitIsSafe) {
    EXPECT_EXIT(
        {
            struct ReleaseAtExit {
                os::LibraryHandle library = nullptr;
                ~ReleaseAtExit() {
                    os::FreeSharedLibrary(library);
                    static_cast<void>(os::GetLastLibraryError());
                }
            };
            static ReleaseAtExit release;
            release.library = os::LoadSharedLibrary(SATCHEL_LIBRARY);
            if (release.library == nullptr) {
                std::_Exit(2);
            }
            os::LoadSharedLibrary("/no/such/directory/with/a/long/name/libNothingHere.so");
            if (os::GetLastLibraryError().size() < 32) {
                std::_Exit(4);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace hardening
