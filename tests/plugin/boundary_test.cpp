// The container framework across a real shared-library boundary: a host with its own copy of
// the framework loads a plug-in module that has another copy, and the two meet only through
// the interface classes, the virtual slots and the core library.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BoundaryInterface.h"
#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "TestContainers.h"
#include "plugin/HostServices.h"
#include "support/LogCapture.h"
#include "support/SharedLibrary.h"

namespace {

class BoundaryHost final : public IPluginContainer {
public:
    const std::type_info& GetTypeInfo() const override { return typeid(BoundaryHost); }
    void EntityAction() override {}
    const GUID& GetContainerTypeId() const override { return HostContainerTypeId; }
};

class RoleSystem final : public boundary::ITestRoleSystem {
public:
    const std::type_info& GetTypeInfo() const override { return typeid(RoleSystem); }
    void EntityAction() override {}
    const GUID& GetContainerTypeId() const override { return RoleSystemTypeId; }
    std::uint16_t GetContainerOrder() const override { return 10; }
    int GetRoleLevel() const override { return 42; }
};

class Probe final : public boundary::IProbe {
public:
    const std::type_info& GetTypeInfo() const override { return typeid(Probe); }
    void EntityAction() override {}
    void Note(const char* event) override { events.emplace_back(event); }
    std::vector<std::string> events;
};

class Boundary : public ::testing::Test {
protected:
    test::SharedLibrary module{PYR_BOUNDARY_MODULE_PATH};
};

TEST_F(Boundary, HostFindsStartsAndStopsAContainerOfALoadedModule) {
    ASSERT_TRUE(module.IsLoaded()) << module.Error();
    auto* init = module.Symbol<boundary::InitModuleFunction>(boundary::kInitModuleName);
    auto* release = module.Symbol<boundary::ReleaseModuleFunction>(boundary::kReleaseModuleName);
    ASSERT_NE(init, nullptr) << module.Error();
    ASSERT_NE(release, nullptr) << module.Error();

    test::LogCapture capture;
    BoundaryHost host;
    host.SetContainerName("host");
    RoleSystem role;
    Probe probe;
    ASSERT_TRUE(host.RegisterChildContainer(&role));

    ASSERT_TRUE(init(&host, &probe));
    boundary::IModuleContainer* container = nullptr;
    ASSERT_TRUE(host.QueryChildContainer(container, boundary::ModuleContainerTypeId, false));
    EXPECT_EQ(container->GetParentContainer(), &host);
    EXPECT_EQ(container->GetContainerClassName(), "boundary_module::ModuleContainer");
    EXPECT_EQ(container->GetSeenRoleLevel(), -1);

    ASSERT_TRUE(host.StartContainer());
    EXPECT_EQ(container->GetSeenRoleLevel(), 42);  // found its sibling through the host
    EXPECT_TRUE(container->IsContainerRunning());  // asks the host's flags
    ASSERT_TRUE(host.ShutdownContainer());
    EXPECT_EQ(probe.events, (std::vector<std::string>{"module prepared", "module shut down"}));

    // The module's walks write to the same process log as the host's.
    const auto lines = capture.Lines();
    const std::string moduleLine =
        "start module boundary_module::ModuleContainer :: DoPrepareParentStart()";
    EXPECT_NE(std::find(lines.begin(), lines.end(), moduleLine), lines.end());

    EXPECT_TRUE(release(&host));
    EXPECT_EQ(host.FindChildContainer(boundary::ModuleContainerTypeId), nullptr);
    EXPECT_EQ(host.FindChildContainer(RoleSystemTypeId), &role);
    EXPECT_FALSE(release(&host));
}

TEST_F(Boundary, ModuleRefusesAHostOfTheWrongTypeWithoutThrowing) {
    ASSERT_TRUE(module.IsLoaded()) << module.Error();
    auto* init = module.Symbol<boundary::InitModuleFunction>(boundary::kInitModuleName);
    ASSERT_NE(init, nullptr) << module.Error();
    plugintest::TestHost notAHost("other", RoleSystemTypeId);
    EXPECT_FALSE(init(&notAHost, nullptr));
    EXPECT_FALSE(init(nullptr, nullptr));
    EXPECT_EQ(notAHost.FindChildContainer(boundary::ModuleContainerTypeId), nullptr);
}

TEST(SharedLibraryHelper, MissingLibraryAndSymbolReportTheLoadersText) {
    test::SharedLibrary missing("/nonexistent/libnothing.so");
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_NE(missing.Error().find("libnothing.so"), std::string::npos);
    EXPECT_EQ(missing.Symbol<void()>("anything"), nullptr);

    test::SharedLibrary module(PYR_BOUNDARY_MODULE_PATH);
    ASSERT_TRUE(module.IsLoaded()) << module.Error();
    EXPECT_EQ(module.Symbol<void()>("NoSuchEntryPoint"), nullptr);
    EXPECT_NE(module.Error().find("NoSuchEntryPoint"), std::string::npos);
}

}  // namespace
