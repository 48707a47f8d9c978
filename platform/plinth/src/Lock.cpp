#include "plinth/Lock.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace os {

LockBase::LockBase() = default;
LockBase::~LockBase() = default;

// Re-entrancy is counted here rather than by a recursive mutex: a thread that already holds
// the lock (the client core lock is taken again by nearly every handler a locked caller runs)
// only compares its identifier and counts, with no atomic read-modify-write and no call into
// the thread library. `owner` is read without the mutex: only the owning thread ever stores its
// own identifier there, so a thread sees itself as the owner exactly when it is.
struct ThreadLock::Impl {
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};
    int depth = 0;  // touched by the owner only

    void Acquired(std::thread::id self) noexcept {
        owner.store(self, std::memory_order_relaxed);
        depth = 1;
    }
};

ThreadLock::ThreadLock() : impl(std::make_unique<Impl>()) {}
ThreadLock::~ThreadLock() = default;

void ThreadLock::Lock() {
    const std::thread::id self = std::this_thread::get_id();
    if (impl->owner.load(std::memory_order_relaxed) == self) {
        ++impl->depth;
        return;
    }
    impl->mutex.lock();
    impl->Acquired(self);
}

void ThreadLock::Unlock() {
    if (--impl->depth == 0) {
        impl->owner.store(std::thread::id{}, std::memory_order_relaxed);
        impl->mutex.unlock();
    }
}

bool ThreadLock::TryLock() {
    const std::thread::id self = std::this_thread::get_id();
    if (impl->owner.load(std::memory_order_relaxed) == self) {
        ++impl->depth;
        return true;
    }
    if (!impl->mutex.try_lock()) {
        return false;
    }
    impl->Acquired(self);
    return true;
}

bool ThreadLock::IsHeldByCurrentThread() const noexcept {
    return impl->owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

ThreadLockHandle::ThreadLockHandle(LockBase& lock) : lock(lock) {
    lock.Lock();
}
ThreadLockHandle::~ThreadLockHandle() {
    lock.Unlock();
}

ThreadLock* GetGlobalLock(const std::string& name) {
    // Named locks live until the process ends: other modules keep pointers to them.
    static std::mutex* mutex = new std::mutex;
    static auto* locks = new std::unordered_map<std::string, std::unique_ptr<ThreadLock>>;
    std::lock_guard<std::mutex> guard(*mutex);
    auto& slot = (*locks)[name];
    if (!slot) {
        slot = std::make_unique<ThreadLock>();
    }
    return slot.get();
}

}  // namespace os
