// pyr::IRoleSystem: the role system plug-in, and what a role offers to other plug-ins.
//
// The role system is registered with the host container under RoleSystemTypeId. It knows the
// current role (the player's character) and tells subscribers through RoleResetSignal when the
// role was reset, so that they drop what they kept about the old one.
//
// Threads: GetCurrentRole, the role's GetRoleEntity and IRoleBattleInfo::GetBattleFlag are
// called from timer callbacks, with nothing but leaf locks held; they must be callable from
// any thread and take neither container locks nor the client core lock.
#pragma once

#include "function/Signal.h"
#include "plugin/Export.h"
#include "plugin/PluginContainer.h"

/// The role system's type identifier (pyr::IRoleSystem), a sibling of the minimap under the
/// host.
inline constexpr GUID RoleSystemTypeId =
    MakeGuid(0x90B07DFB, 0x05E6, 0x4220, 0xB461, 0x2B0AF71B2185);

namespace pyr {

/// The entity kind under which a role keeps its battle information (an IRoleBattleInfo).
inline constexpr int RoleBattleInfoKind = 28;

/// A role, as the role system hands it out.
class PYR_INTERFACE IRole {
public:
    /// The role's entity of `kind`, or null when the role has none. Not owned by the caller.
    virtual IEntityObject* GetRoleEntity(int kind) = 0;

protected:
    virtual ~IRole() = default;

public:
    /// Counting of the handles that name the role (RoleHandle calls these; nothing else
    /// should). A role system that frees the roles it replaced keeps each one until its last
    /// handle is gone; both may be called from any thread and take no lock but a leaf lock.
    /// The defaults count nothing: right for a role that lives as long as its role system.
    virtual void AddHandleRef() noexcept {}
    virtual void ReleaseHandleRef() noexcept {}
};

/// The current role, by value: a counted reference. The role it names stays valid while this
/// handle (or a copy) lives, also after a reset made another role current; hold it only as
/// long as needed (a poll run). Empty (null) when there is no current role.
struct RoleHandle {
    /// Not owned; valid while this handle lives.
    IRole* role = nullptr;

    RoleHandle() noexcept = default;
    /// Takes a reference to `named` (null: an empty handle).
    explicit RoleHandle(IRole* named) noexcept : role(named) {
        if (role != nullptr) {
            role->AddHandleRef();
        }
    }
    RoleHandle(const RoleHandle& other) noexcept : RoleHandle(other.role) {}
    RoleHandle(RoleHandle&& other) noexcept : role(other.role) { other.role = nullptr; }
    RoleHandle& operator=(RoleHandle other) noexcept {
        IRole* const mine = role;
        role = other.role;
        other.role = mine;
        return *this;
    }
    ~RoleHandle() {
        if (role != nullptr) {
            role->ReleaseHandleRef();
        }
    }

    explicit operator bool() const noexcept { return role != nullptr; }
};

/// A role's battle information: the entity of kind RoleBattleInfoKind.
class PYR_INTERFACE IRoleBattleInfo : public IEntityObject {
public:
    /// Whether the role is in battle.
    virtual bool GetBattleFlag() = 0;
};

class PYR_INTERFACE IRoleSystem : public IPluginContainer {
public:
    /// Emitted when the current role was reset. Subscribers connect with Add and disconnect
    /// with Remove (a fresh os::bind of the same member and object finds the slot). The signal
    /// has no lock of its own: it is used under the client core lock. The role system emits it
    /// holding that lock (and no container lock), and hosts start, stop and release their
    /// plug-ins holding it, which is where subscribers connect and disconnect.
    os::Signal<void(), os::LastValue<void>> RoleResetSignal;

    /// The current role; an empty handle when there is none. The handle keeps the role alive
    /// (see RoleHandle), so a reset on another thread cannot free it under its holder.
    virtual RoleHandle GetCurrentRole() = 0;
};

}  // namespace pyr
