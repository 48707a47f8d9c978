#include "host/RoleSystem.h"

#include "net/LogFormat.h"
#include "plugin/CaughtText.h"
#include "plugin/HostServices.h"

namespace host {
namespace {

std::atomic<std::size_t> liveRoles{0};

}  // namespace

Role::Role(unsigned serial, bool inBattle) : battleInfo(inBattle), serial(serial) {
    liveRoles.fetch_add(1, std::memory_order_relaxed);
}

Role::~Role() {
    liveRoles.fetch_sub(1, std::memory_order_relaxed);
}

void Role::AddHandleRef() noexcept {
    // A new reference is only ever taken from one already held (the role system's, under its
    // lock, or a handle's): no ordering is needed for the increment.
    references.fetch_add(1, std::memory_order_relaxed);
}

void Role::ReleaseHandleRef() noexcept {
    // acq_rel: the last holder must see every other holder's use of the role before deleting.
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

std::size_t Role::GetLiveCount() noexcept {
    return liveRoles.load(std::memory_order_relaxed);
}

RoleSystem::RoleSystem(bool inBattle) : current(new Role(1u, inBattle)) {}

RoleSystem::~RoleSystem() {
    // Handles still held elsewhere keep their role; the role system lets go of its own.
    current->ReleaseHandleRef();
}

pyr::RoleHandle RoleSystem::GetCurrentRole() {
    std::lock_guard<std::mutex> guard(rolesMutex);
    return pyr::RoleHandle{current};
}

void RoleSystem::ResetRole() {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    Role* old = nullptr;
    {
        std::lock_guard<std::mutex> guard(rolesMutex);
        old = current;
        current = new Role(old->GetSerial() + 1, old->GetBattleInfo().GetBattleFlag());
    }
    // Outside the lock: this may delete the old role, when no handle holds it.
    old->ReleaseHandleRef();
    // The role has changed whatever a subscriber does. One that throws (a plug-in may) ends
    // this emission, not the caller: a server's message, a key or the web page asked for the
    // reset, and none of them can do anything about it.
    try {
        RoleResetSignal.Emit();
    } catch (...) {
        LogText(3, ("role system: a role-reset subscriber threw: " + pyr::CaughtText()).c_str());
    }
}

bool RoleSystem::GetBattleFlag() const {
    std::lock_guard<std::mutex> guard(rolesMutex);
    return current->GetBattleInfo().GetBattleFlag();
}

void RoleSystem::SetBattleFlag(bool inBattle) {
    // Under the leaf lock, so that a reset on another thread cannot carry the old value over
    // into the new role after this change was made to the old one.
    std::lock_guard<std::mutex> guard(rolesMutex);
    current->GetBattleInfo().SetBattleFlag(inBattle);
}

unsigned RoleSystem::GetRoleSerial() const {
    std::lock_guard<std::mutex> guard(rolesMutex);
    return current->GetSerial();
}

}  // namespace host
