// The module's entry points and the minimap's life under a host: creation, start, release.

#include <gtest/gtest.h>

#include <cstdio>
#include <latch>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "minimap/MiniMapTesting.h"
#include "plinth/GlobalObject.h"
#include "support/LogCapture.h"

namespace minimaptest {
namespace {

std::string RunCommand(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return output;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof(buffer), pipe.get()) != nullptr) {
        output += buffer;
    }
    return output;
}

TEST(MiniMapModule, ExportsTheFourEntryPointsAndNothingElse) {
    const std::string listing =
        RunCommand(std::string("nm -D --defined-only --format=just-symbols ") + ModulePath());
    std::set<std::string> symbols;
    std::size_t start = 0;
    while (start < listing.size()) {
        const std::size_t end = listing.find('\n', start);
        const std::string line = listing.substr(start, end - start);
        if (!line.empty()) {
            symbols.insert(line);
        }
        start = end == std::string::npos ? listing.size() : end + 1;
    }
    EXPECT_EQ(symbols, (std::set<std::string>{"InitPlugin", "InitPluginContainer", "ReleasePlugin",
                                              "ReleasePluginContainer"}));
}

TEST(MiniMapModule, HasNoUniqueSymbolsThatWouldPinItInMemory) {
    const std::string table = RunCommand(std::string("readelf --dyn-syms -W ") + ModulePath());
    ASSERT_NE(table.find("InitPlugin"), std::string::npos) << table;
    EXPECT_EQ(table.find("UNIQUE"), std::string::npos) << table;
}

TEST(MiniMapModule, LoadingItFillsItsDisplayTextsFromTheProcessStringTable) {
    Module();
    // The display texts' static initialisation made the table; a second creator is not asked.
    struct Creator {
        bool* asked;
        void* operator()() const {
            *asked = true;
            return nullptr;
        }
        bool operator==(const Creator&) const { return true; }
    };
    bool asked = false;
    EXPECT_NE(os::GetGlobalObject("StringTableObject", Creator{&asked}), nullptr);
    EXPECT_FALSE(asked);
}

TEST(MiniMapModule, InitPluginAndReleasePluginReturnTrueAtAnyTime) {
    EXPECT_TRUE(Module().InitPlugin());
    EXPECT_TRUE(Module().ReleasePlugin());
    Bench bench;
    EXPECT_TRUE(Module().InitPlugin());
    EXPECT_TRUE(Module().ReleasePlugin());
}

TEST(MiniMapModule, InitPluginContainerOnAForeignOrNullHostCreatesNothingAndReturnsTrue) {
    PlainContainer foreign(GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}});
    EXPECT_TRUE(Module().InitPluginContainer(&foreign));
    EXPECT_EQ(foreign.FindChildContainer(MiniMapContainerTypeId), nullptr);
    EXPECT_TRUE(Module().InitPluginContainer(nullptr));
    Module().ReleasePluginContainer(nullptr);
    Module().ReleasePluginContainer(&foreign);
}

TEST(MiniMapModule, InitPluginContainerRegistersOneIdleMiniMapUnderTheHost) {
    Bench bench;
    pyr::IPyr_MiniMap* minimap = bench.MiniMap();
    ASSERT_NE(minimap, nullptr);
    EXPECT_EQ(minimap->GetContainerTypeId(),
              MakeGuid(0x1B2B9CDF, 0xD2FC, 0x4DBE, 0xB35F, 0xB1368733E731));
    EXPECT_EQ(minimap->GetContainerClassName(), "Pyr_MiniMap");
    EXPECT_EQ(minimap->GetParentContainer(), &bench.host);
    EXPECT_TRUE(minimap->GetPlayerInfoMap().empty());
    EXPECT_TRUE(minimap->GetNpcInfoMap().empty());
    EXPECT_TRUE(minimap->GetQueryNpcInfoMap().empty());
    // Nothing runs before the tree starts: no timer, no registration with the siblings.
    EXPECT_TRUE(MiniMapTimers().empty());
    EXPECT_EQ(bench.client.dispatcher.CountHandlers(), 0u);
    EXPECT_EQ(bench.roles.ResetSlotCount(), 0u);
}

TEST(MiniMapModule, SecondInitPluginContainerOnTheSameHostKeepsTheFirstMiniMap) {
    Bench bench;
    pyr::IPyr_MiniMap* first = bench.MiniMap();
    {
        test::LogCapture capture;
        EXPECT_TRUE(Module().InitPluginContainer(&bench.host));
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("same plugin(Pyr_MiniMap) as cpc(Pyr_MiniMap)"), std::string::npos)
            << lines[0];
    }
    EXPECT_EQ(bench.MiniMap(), first);
    // The refused one is gone (the leak checker of the sanitizer build would say otherwise),
    // and the first one works as before.
    ASSERT_TRUE(bench.Start());
    EXPECT_EQ(MiniMapTimers().size(), 1u);
    bench.Deliver(SetPlayer(PlayerRecord(5)));
    EXPECT_EQ(first->GetPlayerInfoMap().count(5), 1u);
}

TEST(MiniMapModule, ReleaseOnAHostWithoutMiniMapDoesNothing) {
    Bench bench(Bench::Options{.createMiniMap = false});
    Module().ReleasePluginContainer(&bench.host);
    EXPECT_EQ(bench.host.FindChildContainer(GameServerClientTypeId), &bench.client);
    EXPECT_EQ(bench.host.FindChildContainer(RoleSystemTypeId), &bench.roles);
}

TEST(MiniMapModule, ReleaseLeavesTheHostWithoutTheMiniMapAndWithoutItsTimer) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    ASSERT_EQ(MiniMapTimers().size(), 1u);
    bench.Release();
    EXPECT_EQ(bench.MiniMap(), nullptr);
    EXPECT_TRUE(MiniMapTimers().empty());
    EXPECT_EQ(os::GetTimer()->Advance(5 * pyr::MiniMapPollInterval), 0u);
}

TEST(MiniMapModule, ReleaseLeavesAContainerOfAnotherModuleUnderTheMiniMapIdentifier) {
    Bench bench(Bench::Options{.createMiniMap = false});
    PlainContainer impostor(MiniMapContainerTypeId);
    ASSERT_TRUE(bench.host.RegisterChildContainer(&impostor));
    Module().ReleasePluginContainer(&bench.host);
    EXPECT_EQ(bench.host.FindChildContainer(MiniMapContainerTypeId), &impostor);
    bench.host.UnregisterChildContainer(&impostor);
}

TEST(MiniMapModule, ReleaseOnAForeignHostLeavesTheMiniMapOfTheRealHost) {
    Bench bench;
    PlainContainer foreign(GUID{9, 9, 9, {9, 9, 9, 9, 9, 9, 9, 9}});
    Module().ReleasePluginContainer(&foreign);
    EXPECT_NE(bench.MiniMap(), nullptr);
}

TEST(HostileMiniMapModule, RegistrationThatThrowsLeavesNoLiveEntryForTheDeletedMiniMap) {
    // The host's registration throws once it was handed the minimap; later it hands that
    // address back, as it would for another object allocated there. A stale entry in the
    // module's register of live minimaps would let the release take that address for its own
    // minimap and work on freed memory.
    class ThrowingHost : public HostContainer {
    public:
        bool RegisterChildContainer(IPluginContainer* child) override {
            offered = child;
            throw std::runtime_error("registry out of room");
        }
        IPluginContainer* FindChildContainer(const GUID& typeId) const override {
            return typeId == MiniMapContainerTypeId ? offered : nullptr;
        }
        bool UnregisterChildContainer(IPluginContainer* child) override {
            unregistered.push_back(child);
            return false;
        }
        IPluginContainer* offered = nullptr;
        std::vector<IPluginContainer*> unregistered;
    };
    ThrowingHost host;
    {
        test::LogCapture capture;
        EXPECT_TRUE(Module().InitPluginContainer(&host));
        EXPECT_EQ(capture.Lines(),
                  std::vector<std::string>{"InitPluginContainer() error : registry out of room"});
    }
    ASSERT_NE(host.offered, nullptr);
    Module().ReleasePluginContainer(&host);
    EXPECT_TRUE(host.unregistered.empty());
}

// ---------------------------------------------------------------------------------------
// Prepare-start

TEST(MiniMapStart, FailsWithoutRoleSystemAndStartsNothing) {
    Bench bench(Bench::Options{.withRoleSystem = false});
    EXPECT_FALSE(bench.Start());
    EXPECT_TRUE(MiniMapTimers().empty());
    EXPECT_EQ(bench.client.dispatcher.CountHandlers(), 0u);
}

TEST(MiniMapStart, FailsWithoutGameServerClientButKeepsTheResetSlotUntilRelease) {
    Bench bench(Bench::Options{.withGameServerClient = false});
    EXPECT_FALSE(bench.Start());
    EXPECT_TRUE(MiniMapTimers().empty());
    EXPECT_EQ(bench.roles.ResetSlotCount(), 1u);
    // The slot of a start that failed half-way does not outlive the minimap.
    bench.Release();
    EXPECT_EQ(bench.roles.ResetSlotCount(), 0u);
    bench.roles.EmitReset();
}

TEST(MiniMapStart, FailsWhenTheHostNoLongerReportsTheHostType) {
    // A host that changed its identity between the creation and the start.
    class ShiftingHost : public HostContainer {
    public:
        const GUID& GetContainerTypeId() const override {
            return shifted ? otherId : HostContainer::GetContainerTypeId();
        }
        bool shifted = false;
        GUID otherId{7, 7, 7, {7, 7, 7, 7, 7, 7, 7, 7}};
    };
    ShiftingHost host;
    FakeRoleSystem roles;
    FakeGameServerClient client;
    host.RegisterChildContainer(&roles);
    host.RegisterChildContainer(&client);
    Module().InitPluginContainer(&host);
    ASSERT_NE(host.FindChildContainer(MiniMapContainerTypeId), nullptr);
    host.shifted = true;
    EXPECT_FALSE(host.StartContainer());
    EXPECT_TRUE(MiniMapTimers().empty());
    EXPECT_EQ(roles.ResetSlotCount(), 0u);
    EXPECT_EQ(client.dispatcher.CountHandlers(), 0u);
    host.shifted = false;
    Module().ReleasePluginContainer(&host);
    EXPECT_EQ(host.FindChildContainer(MiniMapContainerTypeId), nullptr);
    host.UnregisterChildContainer(&roles);
    host.UnregisterChildContainer(&client);
}

TEST(MiniMapStart, ArmsThePollTimerSubscribesToResetsAndRegistersForType32) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    const auto timers = MiniMapTimers();
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].function, "Pyr_MiniMap::OnPrepareParentStart");
    EXPECT_EQ(timers[0].callbackText, "os::bind(&Pyr_MiniMap::MyTimeFunc,this)");
    EXPECT_EQ(timers[0].file.rfind("SceneSystem/Pyr_MiniMap/Pyr_MiniMap", 0), 0u) << timers[0].file;
    EXPECT_GT(timers[0].line, 0);
    EXPECT_EQ(timers[0].interval, 5000);
    EXPECT_EQ(timers[0].userData, nullptr);
    EXPECT_EQ(bench.roles.ResetSlotCount(), 1u);
    EXPECT_FALSE(bench.client.dispatcher.GetHandler(32).IsEmpty());
    EXPECT_EQ(bench.client.dispatcher.CountHandlers(), 1u);
}

TEST(MiniMapStart, RoleResetEmptiesEveryStoreAndEmitsNothing) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    pyr::IPyr_MiniMap* minimap = bench.MiniMap();
    SignalRecorder recorder;
    recorder.Attach(minimap);
    bench.Deliver(SetPlayer(PlayerRecord(1)));
    bench.Deliver(SetNpc(NpcRecord(2)));
    bench.Deliver(QueryResult(NpcRecord(3)));
    ASSERT_EQ(recorder.markersChanged, 2);

    bench.roles.EmitReset();
    EXPECT_TRUE(minimap->GetPlayerInfoMap().empty());
    EXPECT_TRUE(minimap->GetNpcInfoMap().empty());
    EXPECT_TRUE(minimap->GetQueryNpcInfoMap().empty());
    EXPECT_EQ(recorder.markersChanged, 2);
    EXPECT_EQ(recorder.queryFinished, 0);
}

TEST(MiniMapStart, AStartAfterAShutdownKeepsOneChainOneSlotAndOneRegistration) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    ASSERT_TRUE(bench.Shutdown());
    // The minimap has no shutdown hooks: the chain keeps running across the shutdown.
    EXPECT_EQ(MiniMapTimers().size(), 1u);
    ASSERT_TRUE(bench.Start());
    const auto timers = MiniMapTimers();
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].function, "Pyr_MiniMap::OnPrepareParentStart");
    EXPECT_EQ(bench.roles.ResetSlotCount(), 1u);
    EXPECT_EQ(bench.client.dispatcher.CountHandlers(), 1u);

    bench.MiniMap()->SetPollEnabled(true);
    AdvancePollIntervals(3);
    EXPECT_EQ(bench.client.SentCount(), 3u);
    EXPECT_EQ(MiniMapTimers().size(), 1u);
}

// ---------------------------------------------------------------------------------------
// Release: no path reaches the minimap afterwards

TEST(MiniMapRelease, WithdrawsTheType32RegistrationAndTheResetSlot) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    bench.Release();
    ExpectNothingReachesTheReleasedMiniMap(bench);
}

TEST(MiniMapRelease, LeavesAnotherPlugInsType32HandlerInPlace) {
    Bench bench;
    int calls = 0;
    struct Other {
        int* calls;
        void Handle(ISender*, const NetMsg*) { ++*calls; }
    } other{&calls};
    ASSERT_TRUE(bench.client.dispatcher.Register(32, os::bind(&Other::Handle, &other)));
    ASSERT_TRUE(bench.Start());
    bench.Release();
    ASSERT_FALSE(bench.client.dispatcher.GetHandler(32).IsEmpty());
    bench.Deliver(QueryEnd());
    EXPECT_EQ(calls, 1);
    bench.client.dispatcher.Unregister(32);
}

TEST(MiniMapRelease, AMessageAlreadyDispatchedFindsTheMiniMapGone) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    SignalRecorder recorder;
    recorder.Attach(bench.MiniMap());

    // The test holds the core lock, so the delivery below gets as far as the minimap's
    // handler, which waits for the lock while the release deletes the minimap.
    os::ThreadLock& coreLock = GetClientCoreLock();
    coreLock.Lock();
    std::latch handlerTaken(1);
    std::thread receiver([&] {
        bench.client.Deliver(SetPlayer(PlayerRecord(1)), [&] { handlerTaken.count_down(); });
    });
    handlerTaken.wait();
    bench.Release();
    const bool gone = bench.MiniMap() == nullptr;
    // Let the delivery go on: it must not touch the deleted minimap.
    coreLock.Unlock();
    receiver.join();
    EXPECT_TRUE(gone);
    EXPECT_EQ(recorder.markersChanged, 0);
}

// The host's receive thread took the handler before a release, and the host plugged a new
// minimap in before that delivery went on; the allocator tends to place the new minimap at the
// released one's address. The delivery belongs to the released minimap and reaches nothing.
TEST(MiniMapRelease, AMessageAlreadyDispatchedDoesNotReachTheNextMiniMap) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    const void* released = bench.MiniMap();
    pyr::IPyr_MiniMap* next = nullptr;
    bench.client.Deliver(SetPlayer(PlayerRecord(1)), [&] {
        bench.Release();
        EXPECT_TRUE(Module().InitPluginContainer(&bench.host));
        next = bench.MiniMap();
    });
    ASSERT_NE(next, nullptr);
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    EXPECT_TRUE(next->GetPlayerInfoMap().empty())
        << (next == released ? "(the next minimap lies at the released one's address)" : "");
}

// A host that stops once it has what it waited for releases the minimap from a slot, on the
// delivering thread and under the core lock that delivery holds: the delivery then ends
// without touching the deleted minimap (the sanitizer builds see any such access).
TEST(MiniMapRelease, ASlotMayReleaseTheMiniMapThatEmitsIt) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    struct Stopper {
        Bench* bench;
        int calls = 0;
        void Stop() {
            ++calls;
            bench->Release();
        }
    } stopper{&bench};
    bench.MiniMap()->MarkersChanged.Add(os::bind(&Stopper::Stop, &stopper));
    bench.Deliver(SetPlayer(PlayerRecord(1)));
    EXPECT_EQ(stopper.calls, 1);
    ExpectNothingReachesTheReleasedMiniMap(bench);
}

TEST(MiniMapRelease, ReleasingWhileAPollRunsLeavesNoTimerBehind) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    bench.MiniMap()->SetPollEnabled(true);
    std::latch inSend(1);
    std::latch releaseStarted(1);
    bench.client.onSend = [&] {
        inSend.count_down();
        releaseStarted.wait();
    };
    std::thread clock([] { os::GetTimer()->Advance(pyr::MiniMapPollInterval); });
    inSend.wait();
    std::thread releaser([&] {
        releaseStarted.count_down();
        bench.Release();
    });
    releaser.join();
    clock.join();
    bench.client.onSend = nullptr;
    EXPECT_EQ(bench.MiniMap(), nullptr);
    EXPECT_TRUE(MiniMapTimers().empty());
    EXPECT_EQ(bench.client.SentCount(), 1u);
}

// ---------------------------------------------------------------------------------------
// Siblings leaving the host before the minimap

TEST(MiniMapSiblings, AGameServerClientLeavingTakesItsType32RegistrationAlong) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    pyr::IPyr_MiniMap* minimap = bench.MiniMap();
    minimap->SetPollEnabled(true);
    bench.host.UnregisterChildContainer(&bench.client);
    EXPECT_EQ(bench.client.dispatcher.CountHandlers(), 0u);
    // The poll goes on without a client to send through.
    os::GetTimer()->Advance(pyr::MiniMapPollInterval);
    EXPECT_EQ(bench.client.SentCount(), 0u);
    EXPECT_EQ(MiniMapTimers().size(), 1u);
    EXPECT_FALSE(minimap->RequestNpcQuery(1));
    EXPECT_EQ(bench.client.SentCount(), 0u);
}

TEST(MiniMapSiblings, ARoleSystemLeavingTakesTheResetSlotAlongAndCountsAsNoRole) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    bench.MiniMap()->SetPollEnabled(true);
    bench.host.UnregisterChildContainer(&bench.roles);
    EXPECT_EQ(bench.roles.ResetSlotCount(), 0u);
    os::GetTimer()->Advance(pyr::MiniMapPollInterval);
    EXPECT_EQ(bench.client.SentCount(), 0u);
    EXPECT_EQ(MiniMapTimers().size(), 1u);
}

TEST(MiniMapSiblings, ANewGameServerClientIsUsedAfterTheNextStart) {
    Bench bench;
    ASSERT_TRUE(bench.Start());
    ASSERT_TRUE(bench.Shutdown());
    bench.host.UnregisterChildContainer(&bench.client);
    FakeGameServerClient replacement;
    ASSERT_TRUE(bench.host.RegisterChildContainer(&replacement));
    ASSERT_TRUE(bench.Start());
    EXPECT_EQ(replacement.dispatcher.CountHandlers(), 1u);
    EXPECT_TRUE(bench.MiniMap()->RequestNpcQuery(2));
    EXPECT_EQ(replacement.SentCount(), 1u);
    bench.Release();
    EXPECT_EQ(replacement.dispatcher.CountHandlers(), 0u);
    bench.host.UnregisterChildContainer(&replacement);
}

}  // namespace
}  // namespace minimaptest
