// The reference host's role system: one current role with a battle-info entity (kind 28) whose
// battle flag the user toggles.
//
// ResetRole replaces the current role with a new one (carrying the battle flag over) and emits
// RoleResetSignal; the simulator asks for it with its RoleReset message, the live view with a
// key. A role is counted: the role system holds one reference to the current role, and every
// RoleHandle one more. The poll timer may hold a handle to the old role while the reset
// happens on another thread; the role goes when the last of them lets go, so a flood of resets
// leaves one role (plus those still in a handle's hands), never a growing list.
//
// Threads: GetCurrentRole takes `rolesMutex`, a leaf lock, only to take its reference; the
// role's GetRoleEntity and GetBattleFlag take no lock (atomics), as the poll timer calls them;
// ResetRole takes the client core lock and emits under it.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <typeinfo>

#include "SceneSystem/Interfaces/IRoleSystem.h"

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
    /// A new role holding one reference, its creator's.
    Role(unsigned serial, bool inBattle);

    /// The battle info for kind 28; null for every other kind.
    IEntityObject* GetRoleEntity(int kind) override {
        return kind == pyr::RoleBattleInfoKind ? &battleInfo : nullptr;
    }
    void AddHandleRef() noexcept override;
    /// Deletes the role when that was the last reference.
    void ReleaseHandleRef() noexcept override;

    RoleBattleInfo& GetBattleInfo() noexcept { return battleInfo; }
    /// 1 for the first role, one more for each reset.
    unsigned GetSerial() const noexcept { return serial; }

    /// The roles alive in the process, for diagnostics and tests.
    static std::size_t GetLiveCount() noexcept;

private:
    ~Role() override;

    RoleBattleInfo battleInfo;
    unsigned serial;
    std::atomic<unsigned> references{1};
};

class RoleSystem final : public pyr::Container<RoleSystem, RoleSystemTypeId, pyr::IRoleSystem> {
public:
    /// Starts with role 1, in battle or not.
    explicit RoleSystem(bool inBattle);
    ~RoleSystem() override;

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
    /// The current role; the role system holds one reference to it. Guarded by `rolesMutex`
    /// (a leaf lock): a reader takes its own reference under it, before a reset can drop the
    /// role system's.
    Role* current = nullptr;
    mutable std::mutex rolesMutex;
};

}  // namespace host
