// The reference host's role system: one current role with a battle-info entity (kind 28) whose
// battle flag the user toggles.
//
// ResetRole replaces the current role with a new one (carrying the battle flag over) and emits
// RoleResetSignal; the simulator asks for it with its RoleReset message, the live view with a
// key. Replaced roles are kept until the role system goes: the poll timer may hold a handle to
// the old role while the reset happens on another thread, and a role it reads must still be
// there.
//
// Threads: GetCurrentRole, the role's GetRoleEntity and GetBattleFlag take no lock (atomics),
// as the poll timer calls them; ResetRole takes the client core lock and emits under it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "plugin/TypeIds.h"

namespace host {

class RoleBattleInfo final : public pyr::IRoleBattleInfo {
public:
    explicit RoleBattleInfo(bool inBattle) : battle(inBattle) {}

    const std::type_info& GetTypeInfo() const override { return typeid(RoleBattleInfo); }
    void EntityAction() override {}
    bool GetBattleFlag() override { return battle.load(); }
    void SetBattleFlag(bool inBattle) { battle.store(inBattle); }

private:
    std::atomic<bool> battle;
};

class Role final : public pyr::IRole {
public:
    Role(unsigned serial, bool inBattle) : battleInfo(inBattle), serial(serial) {}
    ~Role() override = default;

    /// The battle info for kind 28; null for every other kind.
    IEntityObject* GetRoleEntity(int kind) override {
        return kind == pyr::RoleBattleInfoKind ? &battleInfo : nullptr;
    }
    RoleBattleInfo& GetBattleInfo() noexcept { return battleInfo; }
    /// 1 for the first role, one more for each reset.
    unsigned GetSerial() const noexcept { return serial; }

private:
    RoleBattleInfo battleInfo;
    unsigned serial;
};

class RoleSystem final : public pyr::IRoleSystem {
public:
    /// Starts with role 1, in battle or not.
    explicit RoleSystem(bool inBattle);
    ~RoleSystem() override;

    const std::type_info& GetTypeInfo() const override { return typeid(RoleSystem); }
    void EntityAction() override {}
    const GUID& GetContainerTypeId() const override { return RoleSystemTypeId; }
    std::uint16_t GetContainerOrder() const override { return 10; }

    pyr::RoleHandle GetCurrentRole() override;

    /// A new current role with the old one's battle flag, then RoleResetSignal, emitted
    /// holding the client core lock (taken here; the caller may hold it already).
    void ResetRole();

    /// The current role's battle flag.
    bool GetBattleFlag() const;
    void SetBattleFlag(bool inBattle);
    unsigned GetRoleSerial() const;

private:
    std::atomic<Role*> current{nullptr};
    /// Every role made, the current one last. Guarded by `rolesMutex` (a leaf lock).
    std::vector<std::unique_ptr<Role>> roles;
    mutable std::mutex rolesMutex;
};

}  // namespace host
