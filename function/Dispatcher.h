// DispatcherBase: routes a call to the handler registered under the call's key.
//
// Generic over what it dispatches: the handler type H is an os::Function<void(Args...)>, the
// dispatcher is called with the same arguments, and a key trait reads the key from them. A
// dispatcher is itself callable with the handler signature, so a whole dispatcher can be
// registered as one handler of another: one dispatcher selects by one key, the dispatcher
// registered under it by another.
//
// The key trait provides
//     static K GetKey(Args...)       the key of a call;
//     static bool Accepts(Args...)   optional: false drops the call before the lookup.
//
// Registering a dispatcher as a handler copies it, table and all; later changes to the
// original do not reach the copy. Two functions over dispatchers compare equal when their
// tables are equal.
//
// Thread safety: none inside. Callers serialise registration against dispatch. A handler
// takes whatever lock it needs itself.
//
// The layout (virtual-table pointer, then `handlers`) and the order of the virtual operations
// are an interface between modules: a dispatcher made in one module is called in another
// through them.
#pragma once

#include <cstddef>
#include <functional>
#include <unordered_map>
#include <utility>

#include "function/Function.h"

/// Handlers of type H, an os::Function<void(Args...)>, by key K, the key of a call being
/// Trait::GetKey(args...).
template <class K, class H, class Trait>
class DispatcherBase;

template <class K, class... Args, class Trait>
class DispatcherBase<K, os::Function<void(Args...)>, Trait> {
public:
    using H = os::Function<void(Args...)>;
    using KeyType = K;
    using HandlerType = H;
    /// A standard hash table with the default hash of the key. Its memory comes from the block
    /// pools of the callables (function/detail/BlockPool.h): every dispatch through a copied
    /// dispatcher copies this table, and the pools keep those copies off the system allocator.
    /// The allocator is stateless, so the table's layout is that of the plain map.
    using HandlerTable =
        std::unordered_map<K, H, std::hash<K>, std::equal_to<K>,
                           os::function::detail::PoolAllocator<std::pair<const K, H>>>;
    static_assert(sizeof(HandlerTable) == sizeof(std::unordered_map<K, H>) &&
                  alignof(HandlerTable) == alignof(std::unordered_map<K, H>));

    /// An empty table that keeps its entries in one bucket while it has few (see Register).
    DispatcherBase() { handlers.max_load_factor(kSmallTableLoadFactor); }
    /// Copies the table: every handler is copied (each copy owns its own invoker).
    DispatcherBase(const DispatcherBase&) = default;
    DispatcherBase& operator=(const DispatcherBase&) = default;

    /// Destroys every handler.
    virtual ~DispatcherBase() = default;

    /// Stores `handler` under `key`. The first registration wins: if `key` is taken, returns
    /// false and keeps the registered handler. An empty handler registers like any other.
    virtual bool Register(K key, H handler) {
        if (handlers.size() >= kSmallTableEntries && handlers.max_load_factor() > 1.0f) {
            // Past a few entries, the usual load factor: the next insertion that needs it
            // spreads the table over as many buckets as it has entries.
            handlers.max_load_factor(1.0f);
        }
        return handlers.try_emplace(key, std::move(handler)).second;
    }

    /// Removes the handler under `key`. Returns false when there is none.
    virtual bool Unregister(K key) { return handlers.erase(key) != 0; }

    /// A copy of the handler under `key`, or an empty handler when there is none.
    virtual H GetHandler(K key) const {
        if (handlers.bucket_count() == 1) {
            // Every entry sits in the one bucket's chain, the chain find would walk after
            // reducing the key's hash modulo one. Walking it directly skips that division,
            // which lies on the path of every dispatch.
            for (const auto& [registered, handler] : handlers) {
                if (registered == key) {
                    return handler;
                }
            }
            return H();
        }
        const auto it = handlers.find(key);
        return it != handlers.end() ? it->second : H();
    }

    /// Removes every handler.
    virtual void ClearHandlers() { handlers.clear(); }

    /// Dispatches a call to the handler under its key.
    ///
    /// Effect: nothing when the trait does not accept the call (for messages: a null sender or
    /// message), or when no handler is registered under the key (the call is dropped
    /// silently). Otherwise the handler is looked up through the virtual GetHandler, so a
    /// derived dispatcher can change the lookup, and a copy of it is called with the same
    /// arguments.
    ///
    /// Safety: the call runs on a copy, so the handler may register or unregister entries of
    /// this dispatcher, itself included, without affecting the call in progress. If the
    /// handler throws, the copy is released and the exception reaches the caller. Runs on the
    /// caller's thread with the caller's locks.
    void operator()(Args... args) const {
        if constexpr (requires { Trait::Accepts(args...); }) {
            if (!Trait::Accepts(args...)) {
                return;
            }
        }
        const H handler = GetHandler(Trait::GetKey(args...));
        handler(std::forward<Args>(args)...);
    }

    /// The number of registered handlers.
    std::size_t GetHandlerCount() const noexcept { return handlers.size(); }

    /// Equal tables: the same keys, with equal handlers under each.
    friend bool operator==(const DispatcherBase& a, const DispatcherBase& b) {
        return a.handlers == b.handlers;
    }

protected:
    HandlerTable handlers;

private:
    // A plug-in's table holds a handful of identifiers, and every dispatch through a copied
    // dispatcher copies it. While it has at most kSmallTableEntries entries the table keeps
    // the map's built-in single bucket, so a copy allocates and clears no bucket array; a
    // lookup walks at most that many nodes. The load factor has to exceed 11: the standard
    // library sizes a table's first bucket array for at least 11 entries at the table's
    // maximum load factor. The allocation tests count the blocks a copy takes.
    static constexpr std::size_t kSmallTableEntries = 8;
    static constexpr float kSmallTableLoadFactor = 16.0f;
};
