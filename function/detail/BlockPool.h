// Block pools: where the invokers of os::Function, and the tables of the dispatchers that
// hold them, get their memory.
//
// The callable layer copies on purpose: every dispatch copies the handler it calls, every
// emission copies each slot, and copying a function that holds a dispatcher copies the
// dispatcher's whole table. Each copy is a small block that lives for one call. Taking each
// from the system allocator and giving it back costs more than the rest of a dispatch, so
// released blocks are kept and handed out again, in two tiers per block size:
//
// 1. The calling thread's own cache (ThreadBlockCache): a short list of blocks per size
//    class, taken and put back with plain loads and stores, no locked instruction. It lives
//    in the core runtime library (libPlinth), not in the module that allocates: a block is
//    plain system memory of its size class whichever module took it, so the cache keeps no
//    pointer into a module, a module unloads with blocks of its own still cached, and the
//    thread-exit hook that empties the cache is libPlinth's code, which is never unloaded
//    before the threads end (a module's own thread_local with a destructor would keep the
//    module mapped after dlclose, and a thread-key destructor in a module would run unloaded
//    code). The cache is reached with the initial-exec TLS model: libPlinth is loaded with
//    the program, so the variable sits in the static TLS block and an access is one load of
//    its offset and one %fs-relative (%gs on i386) access, also from a dlopen'ed module,
//    instead of a __tls_get_addr call per access. A dlopen'ed libPlinth would take its few
//    hundred bytes from the C library's static TLS reserve.
// 2. Behind it, one shared pool per size class and module (BlockPool): 16 atomic slots that
//    any thread may fill and empty; it serves what a thread cache lacks or cannot hold (blocks
//    made on one thread and released on another pass through it).
//
// One size class per multiple of 16 bytes, up to 256: every type whose blocks round up to the
// same size shares a class. Larger or over-aligned blocks go to the system allocator.
//
// Thread safety: any thread may allocate and release, also blocks another thread took. A
// thread cache is touched by its own thread only. A shared pool's slot is taken with one
// exchange and filled with one compare-exchange, so each block has exactly one owner at any
// time and no block is read while it sits in a shared pool (no ABA, no read of released
// memory). A block in a thread cache holds the link to the next one in its first word.
//
// Memory: at most 16 blocks per size class in each thread cache and 16 in each shared pool; a
// release finding both full goes to the system allocator. A thread's cache is emptied into the
// system allocator when the thread ends (its blocks released afterwards, by later thread-exit
// destructors, go to the shared pools). When the program or module that holds a shared pool
// ends (its static destructors run, at exit or at dlclose), the pool is emptied into the
// system allocator and closed: blocks released to it afterwards go straight back to the
// system.
//
// Each shared library and program has its own shared pools (hidden visibility); a block may
// still be released into another module's pool or any thread's cache, since every block comes
// from the one system allocator.
//
// Caching off: with the environment variable PYR_INVOKER_CACHE=0 (read when a pool or a thread
// cache first caches) every block comes from and returns to the system allocator, so that an
// allocation count sees every copy. Under AddressSanitizer caching is off unless
// PYR_INVOKER_CACHE=1 asks for it, so that a use of a destroyed function is still reported.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define OS_FUNCTION_POOL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OS_FUNCTION_POOL_UNDER_ASAN 1
#endif
#endif

namespace os::function::detail {

inline constexpr std::size_t kBlockGranule = 16;
inline constexpr std::size_t kLargestPooledBlock = 256;
inline constexpr std::size_t kCachedBlocksPerClass = 16;

/// The size class of a block of `size` bytes.
constexpr std::size_t BlockClass(std::size_t size) noexcept {
    return (size + kBlockGranule - 1) / kBlockGranule * kBlockGranule;
}

/// Whether blocks of this size and alignment come from a pool.
constexpr bool IsPooled(std::size_t size, std::size_t align) noexcept {
    return size > 0 && size <= kLargestPooledBlock && align <= __STDCPP_DEFAULT_NEW_ALIGNMENT__;
}

/// Whether released blocks are cached in this process: not when PYR_INVOKER_CACHE is "0",
/// and under AddressSanitizer only when it is "1".
inline bool IsBlockCachingWanted() noexcept {
    const char* setting = std::getenv("PYR_INVOKER_CACHE");
#if defined(OS_FUNCTION_POOL_UNDER_ASAN)
    return setting != nullptr && std::strcmp(setting, "1") == 0;
#else
    return setting == nullptr || std::strcmp(setting, "0") != 0;
#endif
}

/// Gives a block of `bytes` back to the system allocator. The sized forms where the compiler
/// declares them: g++ always does, clang only with -fsized-deallocation, which a plug-in
/// author's build need not pass. Either form frees the same block.
inline void SystemDelete(void* block, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__cpp_sized_deallocation)
    ::operator delete(block, bytes);
#else
    ::operator delete(block);
#endif
}

inline void SystemDelete(void* block, [[maybe_unused]] std::size_t bytes,
                         std::align_val_t align) noexcept {
#if defined(__cpp_sized_deallocation)
    ::operator delete(block, bytes, align);
#else
    ::operator delete(block, align);
#endif
}

inline constexpr std::size_t kBlockClasses = kLargestPooledBlock / kBlockGranule;
inline constexpr unsigned kThreadCachedBlocksPerClass = 16;

/// The calling thread's cache of released blocks, one list per size class (see the top of
/// this file). Defined in libPlinth; every module reaches the same variable.
struct ThreadBlockCache {
    enum : unsigned char { kUnused, kOpen, kOff, kClosed };

    struct List {
        /// The most recently released block; each cached block holds the next in its first
        /// word. Null when the list is empty.
        void* head;
        /// How many more blocks the list takes: 0 while the cache is unused, off or closed.
        unsigned room;
    };

    List lists[kBlockClasses];
    /// kUnused until the thread first releases a block, then kOpen (or kOff when caching is
    /// not wanted); kClosed once the thread's exit hook emptied it.
    unsigned char state;
};

// Trivially constructible and destructible: an access needs no initialisation check, and the
// variable stays usable (empty, room 0) after the thread's exit hook ran.
extern constinit thread_local ThreadBlockCache threadBlockCache
    __attribute__((tls_model("initial-exec"), visibility("default")));

/// Opens the calling thread's cache if it is unused: registers the thread-exit hook that
/// empties it and gives every list its room, or marks it off when caching is not wanted.
/// Defined in libPlinth.
__attribute__((visibility("default"))) void OpenThreadBlockCache() noexcept;

/// The block after `block` in a thread cache's list.
inline void* NextCachedBlock(const void* block) noexcept {
    void* next = nullptr;
    std::memcpy(&next, block, sizeof next);
    return next;
}

/// The cache of released blocks of `Size` bytes (a size class). All members are static: one
/// pool per size class and module.
template <std::size_t Size>
class BlockPool {
    static_assert(Size % kBlockGranule == 0 && Size > 0 && Size <= kLargestPooledBlock);

public:
    /// A block of Size bytes: a cached one if there is one, else a new one from the system
    /// allocator (which may throw std::bad_alloc).
    static void* Allocate() {
        ThreadBlockCache::List& mine = threadBlockCache.lists[kClass];
        if (void* block = mine.head) {
            mine.head = NextCachedBlock(block);
            ++mine.room;
            return block;
        }
        return AllocateShared();
    }

    /// Takes back a block from Allocate (of this pool or of another module's pool of the same
    /// size class). Caches it, or frees it when the caches are full, off or closed.
    static void Deallocate(void* block) noexcept {
        if (block == nullptr || !PutInThreadCache(block)) {
            DeallocateOutsideThreadCache(block);
        }
    }

    /// The number of blocks of this size class in the calling thread's cache.
    static std::size_t ThreadCachedCount() noexcept {
        std::size_t n = 0;
        for (const void* b = threadBlockCache.lists[kClass].head; b != nullptr;
             b = NextCachedBlock(b)) {
            ++n;
        }
        return n;
    }

    /// Frees every cached block and stops caching. Runs when the holder of the pool ends.
    static void Close() noexcept {
        state.mode.store(kClosed, std::memory_order_release);
        for (auto& slot : state.slots) {
            if (void* block = slot.exchange(nullptr, std::memory_order_acquire)) {
                SystemDelete(block, Size);
            }
        }
    }

    /// The number of blocks in the shared pool now (for tests; racy while other threads use
    /// it).
    static std::size_t CachedCount() noexcept {
        std::size_t n = 0;
        for (const auto& slot : state.slots) {
            n += slot.load(std::memory_order_relaxed) != nullptr ? 1 : 0;
        }
        return n;
    }

private:
    static constexpr std::size_t kClass = Size / kBlockGranule - 1;

    static bool PutInThreadCache(void* block) noexcept {
        ThreadBlockCache::List& mine = threadBlockCache.lists[kClass];
        if (mine.room == 0) {
            return false;
        }
        std::memcpy(block, &mine.head, sizeof mine.head);
        mine.head = block;
        --mine.room;
        return true;
    }

    // The shared tier, out of line so that the thread cache's common case above needs no
    // stack frame.
    __attribute__((noinline)) static void* AllocateShared() {
        // The slot below the hint is the one most likely filled, by the latest release.
        const unsigned hint = state.hint.load(std::memory_order_relaxed);
        if (hint > 0 && hint <= kCachedBlocksPerClass) {
            if (void* block = Take(hint - 1)) {
                return block;
            }
        }
        return AllocateSlow();
    }

    __attribute__((noinline)) static void DeallocateOutsideThreadCache(void* block) noexcept {
        if (block == nullptr) {
            return;
        }
        if (threadBlockCache.state == ThreadBlockCache::kUnused) {
            OpenThreadBlockCache();
            if (PutInThreadCache(block)) {
                return;
            }
        }
        if (state.mode.load(std::memory_order_acquire) == kCaching) {
            const unsigned hint = state.hint.load(std::memory_order_relaxed);
            if (hint < kCachedBlocksPerClass && Put(hint, block)) {
                return;
            }
        }
        DeallocateSlow(block);
    }

    enum : int { kUndecided, kCaching, kOff, kClosed };

    // Trivially destructible and constant-initialised: usable before any dynamic
    // initialisation of the holder and after its static destructors, so that functions made or
    // destroyed by other static objects are always served.
    struct State {
        std::atomic<void*> slots[kCachedBlocksPerClass];
        /// The slot after the one last filled (or the one last emptied): the slots below it
        /// are likely full, the ones from it likely empty, so that a run of allocations and
        /// releases on one thread touches one slot each. A guess, never trusted for
        /// correctness.
        std::atomic<unsigned> hint;
        std::atomic<int> mode;
    };

    /// Empties the cache when the program or module that holds this pool ends. Its
    /// destructor is registered when the holder is loaded.
    struct Closer {
        constexpr Closer() noexcept = default;
        ~Closer() { Close(); }
    };

    // The rest of a scan, out of line so that the common case above needs no stack frame.
    __attribute__((noinline)) static void* AllocateSlow() {
        for (unsigned i = kCachedBlocksPerClass; i-- > 0;) {
            if (void* block = Take(i)) {
                return block;
            }
        }
        return ::operator new(Size);
    }

    __attribute__((noinline)) static void DeallocateSlow(void* block) noexcept {
        if (block == nullptr) {
            return;
        }
        if (IsCaching()) {
            for (unsigned i = 0; i < kCachedBlocksPerClass; ++i) {
                if (Put(i, block)) {
                    return;
                }
            }
        }
        SystemDelete(block, Size);
    }

    static void* Take(unsigned i) noexcept {
        std::atomic<void*>& slot = state.slots[i];
        if (slot.load(std::memory_order_relaxed) == nullptr) {
            return nullptr;
        }
        // Acquire: the releasing thread's last writes to the block come before ours.
        void* block = slot.exchange(nullptr, std::memory_order_acquire);
        if (block != nullptr) {
            state.hint.store(i, std::memory_order_relaxed);
        }
        return block;
    }

    static bool Put(unsigned i, void* block) noexcept {
        std::atomic<void*>& slot = state.slots[i];
        void* empty = nullptr;
        if (slot.load(std::memory_order_relaxed) != nullptr ||
            !slot.compare_exchange_strong(empty, block, std::memory_order_release,
                                          std::memory_order_relaxed)) {
            return false;
        }
        state.hint.store(i + 1, std::memory_order_relaxed);
        return true;
    }

    static bool IsCaching() noexcept {
        int mode = state.mode.load(std::memory_order_acquire);
        if (mode == kUndecided) {
            // Naming the closer here instantiates it, so its destructor is registered with the
            // holder's other static destructors.
            static_cast<void>(&closer);
            const int decided = IsBlockCachingWanted() ? kCaching : kOff;
            if (state.mode.compare_exchange_strong(mode, decided, std::memory_order_acq_rel)) {
                mode = decided;
            }
        }
        return mode == kCaching;
    }

    static constinit inline State state{};
    static inline Closer closer;
};

/// `bytes` bytes aligned for `align`: from the pool of their size class when pooled,
/// otherwise from the system allocator.
inline void* AllocateBytes(std::size_t bytes, std::size_t align) {
    if (!IsPooled(bytes, align)) {
        return align > __STDCPP_DEFAULT_NEW_ALIGNMENT__
                   ? ::operator new (bytes, std::align_val_t{align})
                   : ::operator new(bytes);
    }
    switch (BlockClass(bytes) / kBlockGranule) {
        case 1:
            return BlockPool<16>::Allocate();
        case 2:
            return BlockPool<32>::Allocate();
        case 3:
            return BlockPool<48>::Allocate();
        case 4:
            return BlockPool<64>::Allocate();
        case 5:
            return BlockPool<80>::Allocate();
        case 6:
            return BlockPool<96>::Allocate();
        case 7:
            return BlockPool<112>::Allocate();
        case 8:
            return BlockPool<128>::Allocate();
        case 9:
            return BlockPool<144>::Allocate();
        case 10:
            return BlockPool<160>::Allocate();
        case 11:
            return BlockPool<176>::Allocate();
        case 12:
            return BlockPool<192>::Allocate();
        case 13:
            return BlockPool<208>::Allocate();
        case 14:
            return BlockPool<224>::Allocate();
        case 15:
            return BlockPool<240>::Allocate();
        default:
            return BlockPool<256>::Allocate();
    }
}

/// Releases what AllocateBytes(bytes, align) returned.
inline void DeallocateBytes(void* block, std::size_t bytes, std::size_t align) noexcept {
    if (!IsPooled(bytes, align)) {
        if (align > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
            SystemDelete(block, bytes, std::align_val_t{align});
        } else {
            SystemDelete(block, bytes);
        }
        return;
    }
    switch (BlockClass(bytes) / kBlockGranule) {
        case 1:
            return BlockPool<16>::Deallocate(block);
        case 2:
            return BlockPool<32>::Deallocate(block);
        case 3:
            return BlockPool<48>::Deallocate(block);
        case 4:
            return BlockPool<64>::Deallocate(block);
        case 5:
            return BlockPool<80>::Deallocate(block);
        case 6:
            return BlockPool<96>::Deallocate(block);
        case 7:
            return BlockPool<112>::Deallocate(block);
        case 8:
            return BlockPool<128>::Deallocate(block);
        case 9:
            return BlockPool<144>::Deallocate(block);
        case 10:
            return BlockPool<160>::Deallocate(block);
        case 11:
            return BlockPool<176>::Deallocate(block);
        case 12:
            return BlockPool<192>::Deallocate(block);
        case 13:
            return BlockPool<208>::Deallocate(block);
        case 14:
            return BlockPool<224>::Deallocate(block);
        case 15:
            return BlockPool<240>::Deallocate(block);
        default:
            return BlockPool<256>::Deallocate(block);
    }
}

/// Memory for objects of type T, known at compile time: the pool of its size class, or the
/// system allocator for large and over-aligned types.
template <class T>
void* AllocateFor() {
    if constexpr (IsPooled(sizeof(T), alignof(T))) {
        return BlockPool<BlockClass(sizeof(T))>::Allocate();
    } else {
        return AllocateBytes(sizeof(T), alignof(T));
    }
}

template <class T>
void DeallocateFor(void* block) noexcept {
    if constexpr (IsPooled(sizeof(T), alignof(T))) {
        BlockPool<BlockClass(sizeof(T))>::Deallocate(block);
    } else {
        DeallocateBytes(block, sizeof(T), alignof(T));
    }
}

/// A standard allocator over the pools, for containers whose nodes are copied as often as the
/// functions they hold (a dispatcher's table). Stateless: every instance is interchangeable.
template <class T>
struct PoolAllocator {
    using value_type = T;

    PoolAllocator() noexcept = default;
    template <class U>
    PoolAllocator(const PoolAllocator<U>&) noexcept {}  // NOLINT: rebinding converts implicitly

    T* allocate(std::size_t n) {
        if (n == 1) {
            return static_cast<T*>(AllocateFor<T>());  // a node: its pool is known statically
        }
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        return static_cast<T*>(AllocateBytes(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n == 1) {
            DeallocateFor<T>(p);
        } else {
            DeallocateBytes(p, n * sizeof(T), alignof(T));
        }
    }
};

template <class T, class U>
bool operator==(const PoolAllocator<T>&, const PoolAllocator<U>&) noexcept {
    return true;
}

}  // namespace os::function::detail
