// A plug-in module for the boundary test, built as a shared library with hidden visibility and
// its own copy of the container framework. Only the two entry points are exported.
#include <exception>

#include "BoundaryInterface.h"
#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "plugin/Export.h"
#include "plugin/HostServices.h"

namespace boundary_module {

class ModuleContainer final : public boundary::IModuleContainer {
public:
    explicit ModuleContainer(os::Object* probe) : probe(probe) { SetContainerName("module"); }

    const std::type_info& GetTypeInfo() const override { return typeid(ModuleContainer); }
    void EntityAction() override {}
    const GUID& GetContainerTypeId() const override { return boundary::ModuleContainerTypeId; }
    std::uint16_t GetContainerOrder() const override { return 20; }
    int GetSeenRoleLevel() const override { return seenRoleLevel; }

    bool OnPrepareParentStart() override {
        boundary::ITestRoleSystem* role = nullptr;
        if (!QuerySiblingContainer(role, RoleSystemTypeId, false)) {
            return false;
        }
        seenRoleLevel = role->GetRoleLevel();
        auto* note = dynamic_cast<boundary::IProbe*>(probe);
        if (note == nullptr) {
            return false;
        }
        note->Note("module prepared");
        return true;
    }

    void OnParentShutdown() override {
        if (auto* note = dynamic_cast<boundary::IProbe*>(probe)) {
            note->Note("module shut down");
        }
    }

private:
    os::Object* probe;
    int seenRoleLevel = -1;
};

}  // namespace boundary_module

extern "C" PYR_EXPORT bool BoundaryInitModule(IPluginContainer* host, os::Object* probe) {
    try {
        if (host == nullptr || !(host->GetContainerTypeId() == HostContainerTypeId)) {
            return false;
        }
        auto* container = new boundary_module::ModuleContainer(probe);
        if (!host->RegisterChildContainer(container)) {
            delete container;
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

extern "C" PYR_EXPORT bool BoundaryReleaseModule(IPluginContainer* host) {
    try {
        boundary_module::ModuleContainer* container = nullptr;
        if (host == nullptr ||
            !host->QueryChildContainer(container, boundary::ModuleContainerTypeId, false)) {
            return false;
        }
        host->UnregisterChildContainer(container);
        delete container;
        return true;
    } catch (...) {
        return false;
    }
}
