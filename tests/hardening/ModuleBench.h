// What the hardening tests share: the minimap module loaded and unloaded by the test itself
// (through the core library's loader, as the client core does), a host with fake siblings to
// plug it into, and a few facts about the process (mapped memory, open descriptors).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "minimap/FakeSiblings.h"
#include "minimap/MiniMapTesting.h"
#include "plugin/PluginModule.h"
#include "support/NoCopy.h"

namespace hardening {

/// The built libPyr_MiniMap.so.
const char* ModulePath();

/// The module loaded for the object's lifetime, or until Unload.
class ModuleLibrary : public PluginModule {
public:
    ModuleLibrary() { Load(ModulePath()); }
    /// Why the load or a lookup failed.
    const std::string& Error() const noexcept { return GetError(); }
};

/// A host container with a game-server client and a role system registered, and a current
/// role whose battle flag is clear. Unregisters the siblings on destruction.
struct Siblings : test::NoCopy {
    Siblings();
    ~Siblings();

    /// The minimap under the host, or null.
    pyr::IPyr_MiniMap* MiniMap();

    minimaptest::HostContainer host;
    minimaptest::FakeGameServerClient client;
    minimaptest::FakeRoleSystem roles;
    minimaptest::FakeRole role;
    minimaptest::FakeBattleInfo battle;
};

/// Plugs `module` into the siblings' host (its two entry points) and starts the tree, with the
/// minimap under the host. A fatal failure ends the caller's check at the first step that fails.
void PlugIn(ModuleLibrary& module, Siblings& siblings);

/// Whether nothing of a released module is left in the host: no minimap, no timer, no message
/// handler, no role-reset slot. The failure names what is left.
::testing::AssertionResult NothingOfTheModuleLeft(Siblings& siblings);

/// Shuts the tree down and takes the module out through its two entry points, then checks that
/// nothing of it is left; fatal at the first step that fails.
void TakeOut(ModuleLibrary& module, Siblings& siblings);

/// Sync messages in the wire format.
minimaptest::Bytes SetPlayer(std::uint64_t id, std::uint32_t data = 0);
minimaptest::Bytes SetNpc(std::uint64_t id, unsigned char fill = 0);
minimaptest::Bytes RemovePlayer(std::uint64_t id);
minimaptest::Bytes QueryResult(std::uint64_t id, unsigned char fill = 0);
minimaptest::Bytes ClearMarkers();

/// Bytes of the address space mapped into this process (the ranges of /proc/self/maps).
std::size_t MappedBytes();
/// Open file descriptors of this process.
std::size_t OpenDescriptors();

/// Whether the process runs under AddressSanitizer or ThreadSanitizer, whose allocators keep
/// freed memory back on purpose (so mapped memory says nothing about leaks there).
bool UnderSanitizer();

}  // namespace hardening
