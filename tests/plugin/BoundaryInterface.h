// What the boundary test's host and its plug-in module share: interface classes only, marked
// PYR_INTERFACE so that both sides agree on their type information, and the module's entry
// points.
#pragma once

#include "plinth/Object.h"
#include "plugin/Export.h"
#include "plugin/Guid.h"
#include "plugin/PluginContainer.h"

namespace boundary {

/// The module's container type.
inline constexpr GUID ModuleContainerTypeId =
    MakeGuid(0x5D1C0DE5, 0x0B0B, 0x4E55, 0x9A11, 0x0C0FFEE0B0A7);

/// An entity made by the host and handed to the module as a plain os::Object; the module
/// recognises it with dynamic_cast.
struct PYR_INTERFACE IProbe : public IEntityObject {
    /// Records what the module did, in order.
    virtual void Note(const char* event) = 0;
};

/// A sibling registered by the host, under RoleSystemTypeId, that the module queries.
class PYR_INTERFACE ITestRoleSystem : public IPluginContainer {
public:
    virtual int GetRoleLevel() const = 0;
};

/// The module's container as the host sees it.
class PYR_INTERFACE IModuleContainer : public IPluginContainer {
public:
    /// The role level the module's prepare-start hook read from its sibling; -1 before that.
    virtual int GetSeenRoleLevel() const = 0;
};

/// Creates the module's container and registers it with `host`, which must be a host
/// container; `probe` is remembered for the hooks. False on any failure; never throws.
using InitModuleFunction = bool(IPluginContainer* host, os::Object* probe);
inline constexpr const char* kInitModuleName = "BoundaryInitModule";
/// Unregisters and deletes the module's container. False when it is not registered there.
using ReleaseModuleFunction = bool(IPluginContainer* host);
inline constexpr const char* kReleaseModuleName = "BoundaryReleaseModule";

}  // namespace boundary
