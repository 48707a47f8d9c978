#include "host/RoleSystem.h"

#include "plugin/HostServices.h"

namespace host {

RoleSystem::RoleSystem(bool inBattle) {
    roles.push_back(std::make_unique<Role>(1u, inBattle));
    current.store(roles.back().get());
}

RoleSystem::~RoleSystem() = default;

pyr::RoleHandle RoleSystem::GetCurrentRole() {
    return pyr::RoleHandle{current.load()};
}

void RoleSystem::ResetRole() {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    {
        std::lock_guard<std::mutex> guard(rolesMutex);
        Role* old = current.load();
        roles.push_back(
            std::make_unique<Role>(old->GetSerial() + 1, old->GetBattleInfo().GetBattleFlag()));
        current.store(roles.back().get());
    }
    RoleResetSignal.Emit();
}

bool RoleSystem::GetBattleFlag() const {
    return current.load()->GetBattleInfo().GetBattleFlag();
}

void RoleSystem::SetBattleFlag(bool inBattle) {
    // Under the leaf lock, so that a reset on another thread cannot carry the old value over
    // into the new role after this change was made to the old one.
    std::lock_guard<std::mutex> guard(rolesMutex);
    current.load()->GetBattleInfo().SetBattleFlag(inBattle);
}

unsigned RoleSystem::GetRoleSerial() const {
    return current.load()->GetSerial();
}

}  // namespace host
