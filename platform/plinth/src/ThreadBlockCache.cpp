// The per-thread tier of the callables' block pools (function/detail/BlockPool.h), kept here
// because libPlinth outlives every module that allocates from it: the cache holds only system
// memory, and the hook that empties it when its thread ends is this library's code.
#include "function/detail/BlockPool.h"

namespace os::function::detail {

constinit thread_local ThreadBlockCache threadBlockCache{};

namespace {

/// Empties the calling thread's cache into the system allocator and closes it: blocks released
/// afterwards (by thread-exit destructors that run later) go to the shared pools.
void CloseThreadBlockCache() noexcept {
    ThreadBlockCache& cache = threadBlockCache;
    cache.state = ThreadBlockCache::kClosed;
    std::size_t size = kBlockGranule;
    for (ThreadBlockCache::List& list : cache.lists) {
        list.room = 0;
        for (void* block = list.head; block != nullptr;) {
            void* next = NextCachedBlock(block);
            ::operator delete(block, size);
            block = next;
        }
        list.head = nullptr;
        size += kBlockGranule;
    }
}

/// Empties the thread's cache when the thread ends. A C++ thread-local destructor rather than
/// a thread-key destructor: the C library keeps this library mapped while a thread that
/// registered one still runs, so the hook never points into unloaded code.
struct ThreadExitHook {
    ThreadExitHook() noexcept = default;
    ~ThreadExitHook() { CloseThreadBlockCache(); }
    ThreadExitHook(const ThreadExitHook&) = delete;
    ThreadExitHook& operator=(const ThreadExitHook&) = delete;
};

}  // namespace

void OpenThreadBlockCache() noexcept {
    ThreadBlockCache& cache = threadBlockCache;
    if (cache.state != ThreadBlockCache::kUnused) {
        return;
    }
    if (!IsBlockCachingWanted()) {
        cache.state = ThreadBlockCache::kOff;
        return;
    }
    // Reaching the definition registers the destructor, once per thread.
    static thread_local ThreadExitHook hook;
    static_cast<void>(&hook);
    cache.state = ThreadBlockCache::kOpen;
    for (ThreadBlockCache::List& list : cache.lists) {
        list.room = kThreadCachedBlocksPerClass;
    }
}

}  // namespace os::function::detail
