#include "plinth/Lock.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace os {

LockBase::LockBase() = default;
LockBase::~LockBase() = default;

struct ThreadLock::Impl {
    std::recursive_mutex mutex;
    std::atomic<std::thread::id> owner{};
    int depth = 0;  // guarded by mutex
};

ThreadLock::ThreadLock() : impl(std::make_unique<Impl>()) {}
ThreadLock::~ThreadLock() = default;

void ThreadLock::Lock() {
    impl->mutex.lock();
    if (impl->depth++ == 0) {
        impl->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
}

void ThreadLock::Unlock() {
    if (--impl->depth == 0) {
        impl->owner.store(std::thread::id{}, std::memory_order_relaxed);
    }
    impl->mutex.unlock();
}

bool ThreadLock::TryLock() {
    if (!impl->mutex.try_lock()) {
        return false;
    }
    if (impl->depth++ == 0) {
        impl->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
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
