// Locks of the core runtime library.
#pragma once

#include <memory>
#include <string>

#include "plinth/Export.h"

namespace os {

class PLINTH_API LockBase {
public:
    LockBase();
    virtual ~LockBase();
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual bool TryLock() = 0;

    LockBase(const LockBase&) = delete;
    LockBase& operator=(const LockBase&) = delete;
};

/// A lock that its owning thread may take again while holding it (re-entrant).
class PLINTH_API ThreadLock : public LockBase {
public:
    ThreadLock();
    ~ThreadLock() override;
    void Lock() override;
    void Unlock() override;
    bool TryLock() override;
    /// Whether the calling thread holds this lock (for assertions and tests).
    bool IsHeldByCurrentThread() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

/// Holds a lock from construction to destruction.
class PLINTH_API ThreadLockHandle {
public:
    explicit ThreadLockHandle(LockBase& lock);
    virtual ~ThreadLockHandle();

    ThreadLockHandle(const ThreadLockHandle&) = delete;
    ThreadLockHandle& operator=(const ThreadLockHandle&) = delete;

private:
    LockBase& lock;
};

/// The process-wide lock of that name: the same object for the same name, in every module,
/// for the life of the process. Never null.
PLINTH_API ThreadLock* GetGlobalLock(const std::string& name);

}  // namespace os
