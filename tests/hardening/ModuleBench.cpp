#include "hardening/ModuleBench.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace hardening {

const char* ModulePath() {
    return PYR_MINIMAP_LIBRARY;
}

Siblings::Siblings() {
    battle.inBattle = false;
    role.battleEntity = &battle;
    roles.currentRole = &role;
    host.RegisterChildContainer(&client);
    host.RegisterChildContainer(&roles);
}

Siblings::~Siblings() {
    host.UnregisterChildContainer(&roles);
    host.UnregisterChildContainer(&client);
}

pyr::IPyr_MiniMap* Siblings::MiniMap() {
    return dynamic_cast<pyr::IPyr_MiniMap*>(host.FindChildContainer(MiniMapContainerTypeId));
}

void PlugIn(ModuleLibrary& module, Siblings& siblings) {
    ASSERT_TRUE(module.InitPlugin());
    ASSERT_TRUE(module.InitPluginContainer(&siblings.host));
    ASSERT_TRUE(siblings.host.StartContainer());
    ASSERT_NE(siblings.MiniMap(), nullptr);
}

::testing::AssertionResult NothingOfTheModuleLeft(Siblings& siblings) {
    const bool minimap = siblings.MiniMap() != nullptr;
    const std::size_t timers = os::GetTimer()->GetPendingCount();
    const std::size_t handlers = siblings.client.dispatcher.CountHandlers();
    const std::size_t slots = siblings.roles.ResetSlotCount();
    if (!minimap && timers == 0 && handlers == 0 && slots == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "left behind: minimap " << minimap << ", " << timers << " timers, " << handlers
           << " message handlers, " << slots << " role-reset slots";
}

void TakeOut(ModuleLibrary& module, Siblings& siblings) {
    ASSERT_TRUE(siblings.host.ShutdownContainer());
    module.ReleasePluginContainer(&siblings.host);
    ASSERT_TRUE(module.ReleasePlugin());
    ASSERT_TRUE(NothingOfTheModuleLeft(siblings));
}

using minimaptest::Bytes;
using minimaptest::WireMessage;

Bytes SetPlayer(std::uint64_t id, std::uint32_t data) {
    _MiniMapPlayerInfo r;
    r.id = id;
    r.data0 = data;
    r.data1 = data ^ 0xFFFFu;
    return WireMessage().Int(0).Selector(1).Player(r);
}

Bytes SetNpc(std::uint64_t id, unsigned char fill) {
    _MiniMapNpcInfo r;
    std::memset(static_cast<void*>(&r), fill, sizeof r);
    r.id = id;
    return WireMessage().Int(0).Selector(0).Npc(r);
}

Bytes RemovePlayer(std::uint64_t id) {
    return WireMessage().Int(1).Selector(1).Id(id);
}

Bytes QueryResult(std::uint64_t id, unsigned char fill) {
    _MiniMapNpcInfo r;
    std::memset(static_cast<void*>(&r), fill, sizeof r);
    r.id = id;
    return WireMessage().Int(3).Npc(r);
}

Bytes ClearMarkers() {
    return WireMessage().Int(2);
}

std::size_t MappedBytes() {
    std::ifstream maps("/proc/self/maps");
    std::size_t total = 0;
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long begin = 0;
        unsigned long long end = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx", &begin, &end) == 2 && end > begin) {
            total += static_cast<std::size_t>(end - begin);
        }
    }
    return total;
}

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

bool UnderSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

}  // namespace hardening
