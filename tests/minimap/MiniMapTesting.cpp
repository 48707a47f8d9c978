#include "minimap/MiniMapTesting.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/SharedLibrary.h"

namespace minimaptest {

const char* ModulePath() {
    return PYR_MINIMAP_LIBRARY;
}

const MiniMapModule& Module() {
    static const MiniMapModule module = [] {
        if (!os::GetTimer()->SetClockMode(os::ClockMode::Manual)) {
            std::abort();  // something registered a timer before the tests could stop the clock
        }
        // Never closed: the module stays loaded to the end of the process (the string table
        // it made serves the process). Held by a static pointer so that it is not a leak.
        static test::SharedLibrary* const library = new test::SharedLibrary(ModulePath());
        if (!library->IsLoaded()) {
            ADD_FAILURE() << library->Error();
            std::abort();
        }
        MiniMapModule m;
        m.InitPlugin = library->Symbol<bool()>("InitPlugin");
        m.ReleasePlugin = library->Symbol<bool()>("ReleasePlugin");
        m.InitPluginContainer = library->Symbol<bool(IPluginContainer*)>("InitPluginContainer");
        m.ReleasePluginContainer =
            library->Symbol<void(IPluginContainer*)>("ReleasePluginContainer");
        if (m.InitPlugin == nullptr || m.ReleasePlugin == nullptr ||
            m.InitPluginContainer == nullptr || m.ReleasePluginContainer == nullptr) {
            ADD_FAILURE() << library->Error();
            std::abort();
        }
        return m;
    }();
    return module;
}

namespace {

// Loads the module before the first test, so that what its load writes to the log is not
// captured by a test.
class ModuleEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Module(); }
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

}  // namespace

Bench::Bench() : Bench(Options{}) {}

Bench::Bench(Options opts) : options(opts) {
    Module();
    battle.inBattle = false;
    role.battleEntity = &battle;
    roles.currentRole = &role;
    if (options.withGameServerClient) {
        host.RegisterChildContainer(&client);
    }
    if (options.withRoleSystem) {
        host.RegisterChildContainer(&roles);
    }
    if (options.createMiniMap) {
        Module().InitPluginContainer(&host);
    }
}

Bench::~Bench() {
    Release();
    host.UnregisterChildContainer(&roles);
    host.UnregisterChildContainer(&client);
}

pyr::IPyr_MiniMap* Bench::MiniMap() {
    return dynamic_cast<pyr::IPyr_MiniMap*>(host.FindChildContainer(MiniMapContainerTypeId));
}

bool Bench::Start() {
    return host.StartContainer();
}

bool Bench::Shutdown() {
    return host.ShutdownContainer();
}

void Bench::Release() {
    Module().ReleasePluginContainer(&host);
}

_MiniMapPlayerInfo PlayerRecord(std::uint64_t id, std::uint32_t a, std::uint32_t b) {
    _MiniMapPlayerInfo r;
    r.id = id;
    r.data0 = a;
    r.data1 = b;
    return r;
}

_MiniMapNpcInfo NpcRecord(std::uint64_t id, unsigned char fill) {
    _MiniMapNpcInfo r;
    std::memset(static_cast<void*>(&r), fill, sizeof(r));
    r.id = id;
    return r;
}

Bytes SetPlayer(const _MiniMapPlayerInfo& r, std::uint8_t selector) {
    return WireMessage().Int(0).Selector(selector).Player(r);
}

Bytes SetNpc(const _MiniMapNpcInfo& r) {
    return WireMessage().Int(0).Selector(0).Npc(r);
}

Bytes RemoveMarker(bool player, std::uint64_t id) {
    return WireMessage().Int(1).Selector(player ? 1 : 0).Id(id);
}

Bytes ClearMarkers() {
    return WireMessage().Int(2);
}

Bytes QueryResult(const _MiniMapNpcInfo& r) {
    return WireMessage().Int(3).Npc(r);
}

Bytes QueryEnd() {
    return WireMessage().Int(4);
}

void SignalRecorder::Attach(pyr::IPyr_MiniMap* minimap) {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    minimap->MarkersChanged.Add(os::bind(&SignalRecorder::OnMarkersChanged, this));
    minimap->QueryFinished.Add(os::bind(&SignalRecorder::OnQueryFinished, this));
}

void SignalRecorder::OnMarkersChanged() {
    if (!GetClientCoreLock().IsHeldByCurrentThread()) {
        alwaysUnderCoreLock = false;
    }
    ++markersChanged;
}

void SignalRecorder::OnQueryFinished() {
    if (!GetClientCoreLock().IsHeldByCurrentThread()) {
        alwaysUnderCoreLock = false;
    }
    ++queryFinished;
}

void ExpectNothingReachesTheReleasedMiniMap(Bench& bench) {
    EXPECT_EQ(bench.MiniMap(), nullptr);
    EXPECT_TRUE(MiniMapTimers().empty());
    EXPECT_TRUE(bench.client.dispatcher.GetHandler(pyr::MiniMapMsgType).IsEmpty());
    EXPECT_EQ(bench.roles.ResetSlotCount(), 0u);
    bench.Deliver(SetPlayer(PlayerRecord(1)));
    bench.roles.EmitReset();
    EXPECT_EQ(os::GetTimer()->Advance(pyr::MiniMapPollInterval), 0u);
}

std::vector<os::TimerInfo> MiniMapTimers() {
    std::vector<os::TimerInfo> mine;
    for (auto& info : os::GetTimer()->GetPendingTimers()) {
        if (info.function.rfind("Pyr_MiniMap::", 0) == 0) {
            mine.push_back(std::move(info));
        }
    }
    return mine;
}

}  // namespace minimaptest
