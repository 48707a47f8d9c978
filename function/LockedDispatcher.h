// LockedDispatcher: a dispatcher whose table sits behind a leaf lock of its own.
//
// A host's type dispatcher is used from several threads: plug-ins register and withdraw from
// theirs while the network thread dispatches. Every table operation here holds the lock;
// the dispatch itself (DispatcherBase::operator()) reaches the table only through the virtual
// GetHandler, so it holds the lock just for the lookup and copy and calls the handler without
// it: a handler may take the client core lock.
//
// Handlers leaving the table are destroyed after the lock is released: their destruction runs
// the code of the module that made them, which must not run under a leaf lock.
#pragma once

#include <cstddef>
#include <mutex>
#include <utility>

#include "function/Dispatcher.h"

/// `Dispatcher` (a DispatcherBase) with its table behind a mutex.
template <class Dispatcher>
class LockedDispatcher final : public Dispatcher {
public:
    using typename Dispatcher::HandlerTable;
    using typename Dispatcher::HandlerType;
    using typename Dispatcher::KeyType;

    bool Register(KeyType key, HandlerType handler) override {
        std::lock_guard<std::mutex> guard(mutex);
        return Dispatcher::Register(key, std::move(handler));
    }

    bool Unregister(KeyType key) override {
        HandlerType removed;
        std::lock_guard<std::mutex> guard(mutex);
        const auto it = this->handlers.find(key);
        if (it == this->handlers.end()) {
            return false;
        }
        removed = std::move(it->second);
        this->handlers.erase(it);
        return true;
    }

    HandlerType GetHandler(KeyType key) const override {
        std::lock_guard<std::mutex> guard(mutex);
        return Dispatcher::GetHandler(key);
    }

    void ClearHandlers() override {
        HandlerTable removed;
        std::lock_guard<std::mutex> guard(mutex);
        removed.swap(this->handlers);
    }

    /// The number of registered handlers.
    std::size_t CountHandlers() const {
        std::lock_guard<std::mutex> guard(mutex);
        return this->GetHandlerCount();
    }

private:
    mutable std::mutex mutex;
};
