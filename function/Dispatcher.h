// DispatcherBase: routes a received network message to the handler registered under its key.
//
// A key trait reads the key from the message: NetMsgTrait_MsgID (the message identifier)
// for a plug-in's own dispatcher, NetMsgTrait_MsgType (the message type) for the game-server
// client's dispatcher. A dispatcher is itself callable with the handler signature, so a whole
// dispatcher can be registered as one handler of another: the game-server client selects a
// plug-in by message type, the plug-in's dispatcher selects its handler by identifier.
//
// Registering a dispatcher as a handler copies it, table and all; later changes to the
// original do not reach the copy. Two functions over dispatchers compare equal when their
// tables are equal.
//
// The traits and the message live in net/NetMsg.h; include it where messages are dispatched.
//
// Thread safety: none inside. Callers serialise registration against dispatch. A handler
// takes whatever lock it needs itself.
//
// The layout (virtual-table pointer, then `handlers`) and the order of the virtual operations
// are an interface between modules: the game-server client's dispatcher lives in another
// plug-in and is called through them.
#pragma once

#include <cstddef>
#include <functional>
#include <unordered_map>
#include <utility>

#include "function/Function.h"

class ISender;
class NetMsg;
struct NetMsgTrait_MsgID;
struct NetMsgTrait_MsgType;

/// Handlers of type H (an os::Function over void(ISender*, const NetMsg*)) by key K, the key
/// of a message being Trait::GetKey(msg).
template <class K, class H, class Trait>
class DispatcherBase {
public:
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
        const auto it = handlers.find(key);
        return it != handlers.end() ? it->second : H();
    }

    /// Removes every handler.
    virtual void ClearHandlers() { handlers.clear(); }

    /// Dispatches `msg` to the handler under its key.
    ///
    /// Effect: nothing when `sender` or `msg` is null, or when no handler is registered under
    /// the key (the message is dropped silently). Otherwise the handler is looked up through
    /// the virtual GetHandler, so a derived dispatcher can change the lookup, and a copy of it
    /// is called with (sender, msg).
    ///
    /// Safety: the call runs on a copy, so the handler may register or unregister entries of
    /// this dispatcher, itself included, without affecting the call in progress. If the
    /// handler throws, the copy is released and the exception reaches the caller. Runs on the
    /// caller's thread with the caller's locks.
    void operator()(ISender* sender, const NetMsg* msg) const {
        if (sender == nullptr || msg == nullptr) {
            return;
        }
        const H handler = GetHandler(Trait::GetKey(msg));
        handler(sender, msg);
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

/// The handler of a received message. The sender is never null when the game-server client
/// calls it.
using NetMsgHandler = os::Function<void(ISender*, const NetMsg*)>;

/// A plug-in's dispatcher, by message identifier.
using NetMsgIdDispatcher = DispatcherBase<unsigned short, NetMsgHandler, NetMsgTrait_MsgID>;

/// The game-server client's dispatcher, by message type.
using NetMsgTypeDispatcher = DispatcherBase<unsigned short, NetMsgHandler, NetMsgTrait_MsgType>;
