#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "plinth/SharedLibrary.h"
#include "plinth/Timer.h"
#include "support/NoCopy.h"

namespace {

using namespace std::string_literals;

// os::GetTimer(), as the linker names it.
constexpr const char* kGetTimerSymbol = "_ZN2os8GetTimerEv";
constexpr const char* kAnswerSymbol = "PlinthTestModuleAnswer";
using AnswerFunction = int();

// A copy of the test module in a directory of its own, removed at the end of the test: its
// directory is surely not the executable's, and a module pinned by an earlier run of a test
// (gtest may repeat tests in one process) is never the one a later run loads.
class ModuleCopy : test::NoCopy {
public:
    ModuleCopy() {
        static int copies = 0;
        directory = std::filesystem::temp_directory_path() /
                    ("plinth_module_" + std::to_string(getpid()) + "_" + std::to_string(++copies));
        std::filesystem::create_directories(directory);
        path = directory / "libModuleCopy.so";
        std::filesystem::copy_file(PLINTH_TEST_MODULE_PATH, path);
    }
    ~ModuleCopy() { std::filesystem::remove_all(directory); }

    std::filesystem::path directory;
    std::filesystem::path path;
};

TEST(SharedLibrary, FileNameFollowsThePlatformConvention) {
    EXPECT_EQ(os::SharedLibraryFileName("Satchel"), "libSatchel.so");
}

TEST(SharedLibrary, LoadingAMissingLibraryReturnsNullAndTellsWhy) {
    EXPECT_EQ(os::LoadSharedLibrary("/nonexistent/libNothingHere.so"), nullptr);
    const std::string error = os::GetLastLibraryError();
    EXPECT_NE(error.find("libNothingHere.so"), std::string::npos) << error;
    EXPECT_FALSE(os::IsSharedLibraryLoaded("/nonexistent/libNothingHere.so"));
    EXPECT_FALSE(os::FreeSharedLibrary(nullptr));
    EXPECT_EQ(os::FindSharedLibrarySymbol(nullptr, kGetTimerSymbol), nullptr);

    // A C++ function the module needs and nothing defines: named as the author wrote it too.
    EXPECT_EQ(os::LoadSharedLibrary(PLINTH_UNDEFINED_SYMBOL_MODULE_PATH), nullptr);
    EXPECT_NE(os::GetLastLibraryError().find(
                  "undefined symbol: _Z18NotDefinedAnywherei (NotDefinedAnywhere(int))"),
              std::string::npos)
        << os::GetLastLibraryError();
}

// The POSIX loader takes an empty name for the main program: a library path that came out
// empty must not "load" the program and hand out its symbols.
TEST(SharedLibrary, EmptyPathLoadsNothing) {
    EXPECT_EQ(os::LoadSharedLibrary(""), nullptr);
    EXPECT_NE(os::GetLastLibraryError(), "");
    EXPECT_FALSE(os::IsSharedLibraryLoaded(""));
}

// The loader would open a FIFO and wait for a writer for ever; a device or a folder is no
// library either. Each is refused by what it is, at once.
TEST(SharedLibrary, PathThatIsNoRegularFileIsRefusedWithoutWaiting) {
    ModuleCopy copy;
    const std::filesystem::path fifo = copy.directory / "libFifo.so";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo.string(), copy.directory.string(), "/dev/zero"s}) {
        EXPECT_EQ(os::LoadSharedLibrary(path), nullptr) << path;
        EXPECT_EQ(os::GetLastLibraryError(), path + ": not a regular file");
    }
}

#if defined(PLINTH_ASAN_MODULE_PATH)
// A module built with AddressSanitizer needs its run-time library, which ends the whole process
// when a program that did not start with it loads it. Refused instead, with the way out; a
// program that started with it (the tests of the sanitizer build) loads the module.
TEST(SharedLibrary, ModuleNeedingASanitizerRuntimeTheProgramLacksIsRefusedWithTheWayOut) {
    const bool started = dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void*) {
            return std::strstr(info->dlpi_name, "/libasan.so") != nullptr ? 1 : 0;
        },
        nullptr);
    os::LibraryHandle library = os::LoadSharedLibrary(PLINTH_ASAN_MODULE_PATH);
    const std::string error = os::GetLastLibraryError();
    if (started) {
        EXPECT_NE(library, nullptr) << error;
        EXPECT_TRUE(os::FreeSharedLibrary(library));
    } else {
        EXPECT_EQ(library, nullptr);
        EXPECT_NE(error.find(std::string(PLINTH_ASAN_MODULE_PATH) +
                             ": built with a sanitizer whose run-time library libasan.so."),
                  std::string::npos)
            << error;
        EXPECT_NE(error.find("start it with LD_PRELOAD=libasan.so."), std::string::npos) << error;
    }
}
#endif

// Modules that would end the program, each refused with the reason and the way out: one
// needing clang's sanitizer run-time library (no test program starts with it), one with its own
// C++ run-time library and unwinder, whose first exception into the program would abort it.
TEST(SharedLibrary, ModuleThatWouldEndTheProgramIsRefusedWithTheWayOut) {
    os::LibraryHandle library = os::LoadSharedLibrary(PLINTH_CLANG_ASAN_MODULE_PATH);
    EXPECT_EQ(library, nullptr);
    EXPECT_EQ(os::GetLastLibraryError(),
              std::string(PLINTH_CLANG_ASAN_MODULE_PATH) +
                  ": built with a sanitizer whose run-time library libclang_rt.asan-x86_64.so "
                  "this program did not start with; start it with "
                  "LD_PRELOAD=libclang_rt.asan-x86_64.so, or build the module without the "
                  "sanitizer");
#ifdef PLINTH_STATIC_RUNTIME_MODULE_PATH
    library = os::LoadSharedLibrary(PLINTH_STATIC_RUNTIME_MODULE_PATH);
    EXPECT_EQ(library, nullptr);
    EXPECT_EQ(os::GetLastLibraryError(),
              std::string(PLINTH_STATIC_RUNTIME_MODULE_PATH) +
                  ": built with its own copy of the C++ run-time library and unwinder "
                  "(-static-libstdc++ -static-libgcc): an exception leaving it would abort this "
                  "program; build it without -static-libgcc");
#endif
}

TEST(SharedLibrary, LoadedLibraryGivesItsExportedSymbols) {
    EXPECT_TRUE(os::IsSharedLibraryLoaded(PLINTH_LIBRARY_PATH));
    os::LibraryHandle library = os::LoadSharedLibrary(PLINTH_LIBRARY_PATH);
    ASSERT_NE(library, nullptr) << os::GetLastLibraryError();
    EXPECT_EQ(os::GetLastLibraryError(), "");

    void* symbol = os::FindSharedLibrarySymbol(library, kGetTimerSymbol);
    ASSERT_NE(symbol, nullptr) << os::GetLastLibraryError();
    // The same library as the one this program links: the same process timer.
    EXPECT_EQ(reinterpret_cast<os::Timer* (*)()>(symbol)(), os::GetTimer());

    EXPECT_EQ(os::FindSharedLibrarySymbol(library, "NoSuchSymbolAnywhere"), nullptr);
    EXPECT_NE(os::GetLastLibraryError(), "");
    EXPECT_TRUE(os::FreeSharedLibrary(library));
    // Still linked into this program.
    EXPECT_TRUE(os::IsSharedLibraryLoaded(PLINTH_LIBRARY_PATH));
}

TEST(SharedLibrary, AddressIsPlacedInTheLibraryHoldingItAndItsDirectory) {
    EXPECT_EQ(os::GetModuleDirectory(reinterpret_cast<const void*>(&os::GetTimer)),
              std::filesystem::canonical(PLINTH_LIBRARY_PATH).parent_path().string());
    const auto heap = std::make_unique<int>(0);
    EXPECT_EQ(os::GetModuleDirectory(heap.get()), "");

    const ModuleCopy module;
    os::LibraryHandle library = os::LoadSharedLibrary(module.path.string());
    ASSERT_NE(library, nullptr) << os::GetLastLibraryError();
    void* symbol = os::FindSharedLibrarySymbol(library, kAnswerSymbol);
    ASSERT_NE(symbol, nullptr) << os::GetLastLibraryError();
    EXPECT_EQ(os::GetModuleDirectory(symbol),
              std::filesystem::canonical(module.directory).string());

    EXPECT_TRUE(os::IsInSharedLibrary(library, symbol));
    EXPECT_FALSE(os::IsInSharedLibrary(library, reinterpret_cast<const void*>(&os::GetTimer)));
    EXPECT_FALSE(os::IsInSharedLibrary(library, heap.get()));
    EXPECT_FALSE(os::IsInSharedLibrary(nullptr, symbol));
    // A timer this program registered is none of the module's.
    os::Timer timer(os::ClockMode::Manual);
    PLINTH_REGISTER_TIMER(
        &timer, [](os::Timer*, os::TimerID, void*) {}, 10, nullptr);
    EXPECT_TRUE(timer.CancelRegisteredIn(library).empty());
    EXPECT_EQ(timer.GetPendingCount(), 1u);
    os::FreeSharedLibrary(library);
}

TEST(SharedLibrary, PinnedModuleStaysLoadedAfterItsLastRelease) {
    const ModuleCopy module;
    const std::string path = module.path.string();
    os::LibraryHandle library = os::LoadSharedLibrary(path);
    ASSERT_NE(library, nullptr) << os::GetLastLibraryError();
    EXPECT_TRUE(os::IsSharedLibraryLoaded(path));
    ASSERT_TRUE(os::FreeSharedLibrary(library));
    ASSERT_FALSE(os::IsSharedLibraryLoaded(path));

    library = os::LoadSharedLibrary(path);
    ASSERT_NE(library, nullptr) << os::GetLastLibraryError();
    auto* answer =
        reinterpret_cast<AnswerFunction*>(os::FindSharedLibrarySymbol(library, kAnswerSymbol));
    ASSERT_NE(answer, nullptr);
    EXPECT_TRUE(os::PinModuleOf(reinterpret_cast<const void*>(answer)));
    EXPECT_TRUE(os::FreeSharedLibrary(library));
    EXPECT_TRUE(os::IsSharedLibraryLoaded(path));
    EXPECT_EQ(answer(), 42);

    const auto heap = std::make_unique<int>(0);
    EXPECT_FALSE(os::PinModuleOf(heap.get()));
    EXPECT_NE(os::GetLastLibraryError(), "");
    EXPECT_FALSE(os::PinModuleOf(nullptr));
}

}  // namespace
