// Loading and unloading the module many times in one process whose host built the string
// table (HostTable.cpp): every cycle plugs the minimap in, starts it, passes a message and a
// poll through it and takes it out again; afterwards the library must really be gone, and the
// process must not grow. Leaks are LeakSanitizer's to find in the asan-ubsan preset (the
// allocator there keeps freed memory in quarantine, so mapped memory is compared only without
// a sanitizer).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "hardening/ModuleBench.h"
#include "plinth/Timer.h"

namespace hardening {
namespace {

// 1000 cycles; PYR_UNLOAD_CYCLES overrides (for a longer soak, or a quick look).
int CycleCount() {
    if (const char* text = std::getenv("PYR_UNLOAD_CYCLES")) {
        const int n = std::atoi(text);
        if (n > 0) {
            return n;
        }
    }
    return 1000;
}

// One life of the module: load, plug in, start, one message, one poll, shut down, release,
// unload. Stops at the first thing that is not as it should be.
void RunCycle(Siblings& siblings, std::uint64_t serial) {
    ModuleLibrary module;
    ASSERT_TRUE(module.IsLoaded()) << module.Error();
    ASSERT_NO_FATAL_FAILURE(PlugIn(module, siblings));
    pyr::IPyr_MiniMap* minimap = siblings.MiniMap();

    ASSERT_TRUE(siblings.client.Deliver(SetPlayer(serial, 7)));
    {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        ASSERT_EQ(minimap->GetPlayerInfoMap().size(), 1u);
        ASSERT_EQ(minimap->GetPlayerInfoMap().begin()->first, serial);
    }
    minimap->SetPollEnabled(true);
    siblings.client.ClearSent();
    ASSERT_EQ(os::GetTimer()->Advance(pyr::MiniMapPollInterval), 1u);
    ASSERT_EQ(siblings.client.SentCount(), 1u);

    ASSERT_NO_FATAL_FAILURE(TakeOut(module, siblings));

    module.Unload();
    ASSERT_FALSE(os::IsSharedLibraryLoaded(ModulePath())) << "cycle " << serial;
}

TEST(ModuleUnload, ThousandCyclesUnloadTheLibraryEachTimeAndDoNotGrowTheProcess) {
    ASSERT_FALSE(os::IsSharedLibraryLoaded(ModulePath()));
    Siblings siblings;
    // The first cycles settle what the process keeps for good (the loader's caches, the
    // allocator's arenas, the timer's and the string table's storage).
    constexpr int kWarmUp = 20;
    for (int i = 0; i < kWarmUp; ++i) {
        RunCycle(siblings, static_cast<std::uint64_t>(i));
        ASSERT_FALSE(HasFatalFailure());
    }
    const std::size_t mappedBefore = MappedBytes();
    const std::size_t descriptorsBefore = OpenDescriptors();

    const int cycles = CycleCount();
    for (int i = 0; i < cycles; ++i) {
        RunCycle(siblings, static_cast<std::uint64_t>(kWarmUp + i));
        ASSERT_FALSE(HasFatalFailure()) << "cycle " << i;
    }

    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
    const std::size_t mappedAfter = MappedBytes();
    if (!UnderSanitizer()) {
        // A leak of even one page per cycle would be 4 MB by now.
        constexpr std::size_t kSlack = 1 << 20;
        EXPECT_LE(mappedAfter, mappedBefore + kSlack)
            << "mapped memory grew from " << mappedBefore << " to " << mappedAfter << " bytes";
    }
}

// Two hosts in one process load the same module file, which the loader maps once: the first
// host's unload leaves the library mapped, and so the second minimap's poll timer running.
TEST(ModuleUnload, SecondHolderOfTheLibraryKeepsItsTimersWhenTheFirstUnloads) {
    ModuleLibrary first;
    ModuleLibrary second;
    ASSERT_TRUE(first.IsLoaded() && second.IsLoaded()) << first.Error() << second.Error();
    Siblings firstHost;
    Siblings secondHost;
    PlugIn(first, firstHost);
    PlugIn(second, secondHost);
    ASSERT_EQ(os::GetTimer()->GetPendingCount(), 2u) << "one poll timer per minimap";
    ASSERT_TRUE(firstHost.host.ShutdownContainer());
    first.ReleasePluginContainer(&firstHost.host);
    ASSERT_TRUE(first.ReleasePlugin());
    ASSERT_EQ(os::GetTimer()->GetPendingCount(), 1u);
    first.Unload();
    EXPECT_EQ(os::GetTimer()->GetPendingCount(), 1u) << "the second minimap's poll timer";
    TakeOut(second, secondHost);
}

}  // namespace
}  // namespace hardening
