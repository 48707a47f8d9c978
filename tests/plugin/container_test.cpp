#include <cstdint>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "SceneSystem/Interfaces/IGameServerClient.h"
#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "TestContainers.h"
#include "plinth/Lock.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"
#include "support/LogCapture.h"

namespace {

using plugintest::Journal;
using plugintest::TestContainer;
using plugintest::TestHost;
using plugintest::TestId;

TEST(Guid, TypeIdentifiersHoldTheirPrintedGroupsInLayoutOrder) {
    EXPECT_EQ(HostContainerTypeId.Data1, 0x95C395B2u);
    EXPECT_EQ(HostContainerTypeId.Data2, 0x99B3u);
    EXPECT_EQ(HostContainerTypeId.Data3, 0x4ABBu);
    const std::uint8_t hostTail[8] = {0xBD, 0xFE, 0x55, 0x23, 0xBE, 0x8C, 0xDD, 0xB6};
    EXPECT_EQ(std::memcmp(HostContainerTypeId.Data4, hostTail, 8), 0);

    const std::uint8_t miniMapTail[8] = {0xB3, 0x5F, 0xB1, 0x36, 0x87, 0x33, 0xE7, 0x31};
    EXPECT_EQ(MiniMapContainerTypeId.Data1, 0x1B2B9CDFu);
    EXPECT_EQ(std::memcmp(MiniMapContainerTypeId.Data4, miniMapTail, 8), 0);
    const std::uint8_t roleTail[8] = {0xB4, 0x61, 0x2B, 0x0A, 0xF7, 0x1B, 0x21, 0x85};
    EXPECT_EQ(RoleSystemTypeId.Data3, 0x4220u);
    EXPECT_EQ(std::memcmp(RoleSystemTypeId.Data4, roleTail, 8), 0);
    const std::uint8_t serverTail[8] = {0x8A, 0x8D, 0x99, 0x92, 0xA7, 0xA2, 0x7D, 0x18};
    EXPECT_EQ(GameServerClientTypeId.Data2, 0xAD45u);
    EXPECT_EQ(std::memcmp(GameServerClientTypeId.Data4, serverTail, 8), 0);
}

TEST(Guid, IdentifiersAreEqualOnlyWhenEveryPartIsEqual) {
    EXPECT_EQ(HostContainerTypeId, HostContainerTypeId);
    EXPECT_NE(HostContainerTypeId, MiniMapContainerTypeId);
    GUID changed = RoleSystemTypeId;
    changed.Data4[7] ^= 1;
    EXPECT_NE(changed, RoleSystemTypeId);
    changed = RoleSystemTypeId;
    changed.Data3 ^= 1;
    EXPECT_NE(changed, RoleSystemTypeId);
}

/// The virtual-table slot that a pointer to a virtual member function designates (Itanium
/// C++ ABI: the pointer holds 1 + the byte offset of the entry; the destructor takes the first
/// two entries, so slot n > 0 is entry n + 1).
template <class M>
std::ptrdiff_t SlotOf(M member) {
    struct Representation {
        std::uintptr_t pointer;
        std::ptrdiff_t adjustment;
    } rep{};
    static_assert(sizeof(M) == sizeof(Representation));
    std::memcpy(&rep, &member, sizeof(rep));
    EXPECT_EQ(rep.pointer & 1u, 1u) << "not a virtual member function";
    return static_cast<std::ptrdiff_t>((rep.pointer - 1) / sizeof(void*)) - 1;
}

TEST(PluginContainer, VirtualOperationsKeepTheSlotOrderSharedWithOtherModules) {
    using C = IPluginContainer;
    EXPECT_EQ(SlotOf(&C::GetTypeInfo), 1);
    EXPECT_EQ(SlotOf(&C::EntityAction), 2);
    EXPECT_EQ(SlotOf(&C::GetEntityValue), 3);
    EXPECT_EQ(SlotOf(&C::GetEntityWideValue), 4);
    EXPECT_EQ(SlotOf(&C::GetEntityText), 5);
    EXPECT_EQ(SlotOf(&C::GetContainerName), 6);
    EXPECT_EQ(SlotOf(&C::GetContainerClassName), 7);
    EXPECT_EQ(SlotOf(&C::OnSiblingContainerRegistered), 8);
    EXPECT_EQ(SlotOf(&C::OnSiblingContainerUnregistered), 9);
    EXPECT_EQ(SlotOf(&C::OnPrepareParentStart), 10);
    EXPECT_EQ(SlotOf(&C::OnParentStart), 11);
    EXPECT_EQ(SlotOf(&C::OnPrepareParentShutdown), 12);
    EXPECT_EQ(SlotOf(&C::OnParentShutdown), 13);
    EXPECT_EQ(SlotOf(&C::DoPrepareParentStart), 14);
    EXPECT_EQ(SlotOf(&C::DoParentStart), 15);
    EXPECT_EQ(SlotOf(&C::DoPrepareParentShutdown), 16);
    EXPECT_EQ(SlotOf(&C::DoParentShutdown), 17);
    EXPECT_EQ(SlotOf(&C::GetParentContainer), 18);
    EXPECT_EQ(SlotOf(&C::GetContainerTypeId), 19);
    EXPECT_EQ(SlotOf(&C::GetContainerOrder), 20);
    EXPECT_EQ(SlotOf(&C::SetContainerName), 21);
    EXPECT_EQ(SlotOf(&C::RegisterChildContainer), 22);
    EXPECT_EQ(SlotOf(&C::UnregisterChildContainer), 23);
    EXPECT_EQ(SlotOf(&C::FindChildContainer), 24);
    EXPECT_EQ(SlotOf(&C::StartContainer), 25);
    EXPECT_EQ(SlotOf(&C::ShutdownContainer), 26);
    EXPECT_EQ(SlotOf(&C::IsContainerStarted), 27);
    EXPECT_EQ(SlotOf(&C::IsContainerActive), 28);
    EXPECT_EQ(SlotOf(&C::IsContainerRunning), 29);
}

TEST(PluginContainer, NewContainerHasNoParentNoNameNoChildrenAndIsNotStarted) {
    TestContainer c("c", TestId(1));
    EXPECT_EQ(c.GetParentContainer(), nullptr);
    EXPECT_EQ(c.GetContainerName(), "");
    EXPECT_EQ(Flags(c), "");
    EXPECT_EQ(c.FindChildContainer(TestId(1)), nullptr);
    EXPECT_EQ(c.FindChildContainer(HostContainerTypeId), nullptr);
    EXPECT_EQ(c.FindChildContainer(GUID{}), nullptr);
}

TEST(PluginContainer, DefaultsOfTheBaseClassesHoldUnlessOverridden) {
    // A container that keeps every default the base classes give.
    struct Plain final : IPluginContainer {
        const std::type_info& GetTypeInfo() const override { return typeid(Plain); }
        void EntityAction() override {}
        const GUID& GetContainerTypeId() const override { return HostContainerTypeId; }
    } plain;
    EXPECT_EQ(plain.GetContainerOrder(), 65535);
    EXPECT_EQ(plain.GetEntityValue(), 0);
    EXPECT_EQ(plain.GetEntityWideValue(), 0);
    EXPECT_TRUE(plain.GetEntityText().empty());
    EXPECT_EQ(&plain.GetEntityText(), &os::GetEmptyString());
    EXPECT_TRUE(plain.OnPrepareParentStart());
    EXPECT_TRUE(plain.OnParentStart());
}

TEST(PluginContainer, NameIsWhatTheCreatorSetAndClassNameIsTheReadableTypeName) {
    TestHost host("h", HostContainerTypeId);
    host.SetContainerName("host container");
    EXPECT_EQ(host.GetContainerName(), "host container");
    EXPECT_EQ(host.GetContainerClassName(), "plugintest::TestHost");
    EXPECT_EQ(ReadableTypeName(typeid(IPluginContainer)), "IPluginContainer");
    EXPECT_EQ(ReadableTypeName(typeid(int)), "int");
}

TEST(PluginContainer, ChildOfAStartedRootAnswersForTheRoot) {
    test::LogCapture capture;
    TestHost root("root", HostContainerTypeId);
    TestContainer child("child", TestId(2));
    TestContainer grandchild("grandchild", TestId(3));
    ASSERT_TRUE(root.RegisterChildContainer(&child));
    ASSERT_TRUE(child.RegisterChildContainer(&grandchild));

    ASSERT_TRUE(root.StartContainer());
    EXPECT_TRUE(child.IsContainerStarted());
    EXPECT_EQ(Flags(grandchild), "started active running");

    ASSERT_TRUE(root.ShutdownContainer());
    EXPECT_EQ(Flags(grandchild), "");
}

TEST(PluginContainer, DestroyingAContainerWithChildrenClearsTheirParentAndTellsNoOne) {
    Journal journal;
    TestContainer a("a", TestId(1), 1, &journal);
    TestContainer b("b", TestId(2), 2, &journal);
    {
        TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
        ASSERT_TRUE(root.RegisterChildContainer(&a));
        ASSERT_TRUE(root.RegisterChildContainer(&b));
        journal.events.clear();
    }
    EXPECT_TRUE(journal.events.empty());
    EXPECT_EQ(a.GetParentContainer(), nullptr);
    EXPECT_EQ(b.GetParentContainer(), nullptr);
    EXPECT_FALSE(a.IsContainerActive());  // would read the destroyed root otherwise

    // The orphans are whole and free to join another parent.
    TestHost other("other", HostContainerTypeId);
    EXPECT_TRUE(other.RegisterChildContainer(&a));
    EXPECT_EQ(a.GetParentContainer(), &other);
}

TEST(PluginContainer, DestroyingARegisteredContainerRemovesItFromItsParent) {
    test::LogCapture capture;
    Journal journal;
    TestHost root("root", HostContainerTypeId, 0xFFFF, &journal);
    TestContainer stays("stays", TestId(1), 1, &journal);
    auto leaves = std::make_unique<TestContainer>("leaves", TestId(2), 2, &journal);
    ASSERT_TRUE(root.RegisterChildContainer(&stays));
    ASSERT_TRUE(root.RegisterChildContainer(leaves.get()));

    leaves.reset();
    EXPECT_EQ(root.FindChildContainer(TestId(2)), nullptr);
    EXPECT_EQ(root.FindChildContainer(TestId(1)), &stays);

    // The walks no longer reach it, and its identifier is free again.
    journal.events.clear();
    ASSERT_TRUE(root.StartContainer());
    EXPECT_EQ(journal.events, (std::vector<std::string>{"prepare root", "prepare stays",
                                                        "start root", "start stays"}));
    TestContainer successor("successor", TestId(2));
    EXPECT_TRUE(root.RegisterChildContainer(&successor));
    EXPECT_TRUE(root.ShutdownContainer());
}

TEST(HostServices, ClientCoreLockIsTheProcessWideLockOfItsName) {
    os::ThreadLock& first = GetClientCoreLock();
    EXPECT_EQ(&first, os::GetGlobalLock("IGameClientCoreLock"));
    EXPECT_EQ(&GetClientCoreLock(), &first);
    os::ThreadLockHandle outer(first);
    os::ThreadLockHandle inner(GetClientCoreLock());  // re-entrant for its owner
    EXPECT_TRUE(first.IsHeldByCurrentThread());
}

}  // namespace
