// os::Signal: a list of callbacks (slots) that are all called when the signal is emitted.
//
// Containers expose signals in their interfaces so that other containers can subscribe
// without knowing each other: the minimap tells the user interface that its markers changed,
// the role system tells the minimap that the role was reset. A slot is an os::Function, so a
// slot is found again by equality: a fresh os::bind(&T::m, p) disconnects the slot connected
// earlier with the same object and member function, and connecting it twice is refused.
//
// Only signals without arguments and without a result are used (os::Signal<void(),
// os::LastValue<void>>); the template is written for that shape alone.
//
// Lifetime: the signal owns its slot functions, never the objects they bind. A subscriber
// disconnects before its object goes away, or the signal is destroyed first.
//
// Thread safety: none inside. Callers serialise every use of one signal (the minimap emits
// under the client core lock, so its subscribers run under that lock).
//
// The layout (virtual-table pointer, then `slots`) and the order of the virtual operations are
// an interface between modules: a signal lives in one plug-in and is called from others.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <type_traits>

#include "function/Function.h"

namespace os {

/// Combiner of a signal's slot results: the last slot's result wins. For a void result there
/// is nothing to combine and nothing is kept.
template <class T>
struct LastValue {
    using result_type = T;
};

template <>
struct LastValue<void> {
    using result_type = void;
};

template <class Sig, class Combiner>
class Signal;

/// A signal whose slots take no arguments and return nothing.
template <class Combiner>
class Signal<void(), Combiner> {
    static_assert(std::is_void_v<typename Combiner::result_type>,
                  "only signals without a result are supported");

public:
    using SlotType = Function<void()>;
    using SlotList = std::list<SlotType>;

    Signal() = default;

    /// Destroys every connected slot function (not the objects they bind).
    virtual ~Signal() = default;

    /// Calls every connected slot once, front to back in connection order.
    ///
    /// Effect: the slot list is copied first and the copy is called, so the emission sees the
    /// slots as they were when it began: a slot connected while it runs is first called at the
    /// next emission; a slot disconnected while it runs is still called in this one if it
    /// comes later. Empty slots are skipped.
    ///
    /// Safety: a slot may connect, disconnect (itself included), emit this signal again
    /// (each nested emission works on its own copy), or destroy the signal: the copy is no
    /// part of the signal. If a slot throws, the exception reaches the caller, the slots after
    /// it are not called in this emission, and the copy is released. Not thread-safe: the
    /// caller's lock, if any, is held while every slot runs.
    ///
    /// Cost: one copy of every slot (an invoker from the block pool). Up to 16 slots the copies
    /// are held in the emitting call's own stack frame, so an emission allocates nothing else
    /// and a nested emission naturally has its own; beyond that in one array.
    virtual void Emit() {
        Snapshot snapshot(slots.size());
        snapshot.CopyFrom(slots);
        snapshot.CallAll();
    }

    /// Disconnects every slot. Safe from inside a slot: the running emission still calls the
    /// rest of its copy.
    virtual void DisconnectAll() { slots.clear(); }

    /// Connects a copy of `slot` at the back, unless an equal function is already connected
    /// (same callable type with an equal callable, or both empty).
    /// Returns false for a duplicate; the list is then unchanged. Safe from inside a slot;
    /// the new slot is first called at the next emission.
    virtual bool Connect(SlotType slot) {
        for (const SlotType& connected : slots) {
            if (connected == slot) {
                return false;
            }
        }
        slots.push_back(std::move(slot));
        return true;
    }

    /// Removes the first connected function equal to `slot`; does nothing when none is.
    /// Safe from inside a slot, the slot itself included; see Emit for what the running
    /// emission still calls.
    virtual void Disconnect(SlotType slot) {
        for (auto it = slots.begin(); it != slots.end(); ++it) {
            if (*it == slot) {
                slots.erase(it);
                return;
            }
        }
    }

    /// Connect without a result. Goes through the virtual Connect, so an override of Connect
    /// governs Add as well.
    virtual void Add(SlotType slot) {
        SlotType copy(slot);
        Connect(std::move(copy));
    }

    /// Disconnect without a result, through the virtual Disconnect.
    virtual void Remove(SlotType slot) {
        SlotType copy(slot);
        Disconnect(std::move(copy));
    }

    /// The number of connected slots, empty ones included.
    virtual std::size_t GetSlotCount() const { return slots.size(); }

    // A copy would subscribe every slot a second time behind the subscribers' backs.
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

protected:
    /// Slot counts up to this are snapshotted in the emitting frame (a pointer per slot).
    static constexpr std::size_t kInlineSnapshot = 16;

    /// The slots of one emission, copied whole before the first one runs: a copy of a slot is
    /// a clone of its invoker, which is all a function is, so the snapshot keeps the clones
    /// themselves; empty slots have nothing to copy or call. Up to kInlineSnapshot clones are
    /// held in the emitting call's frame, more in one array. Destroys the clones made so far
    /// also when a clone or a slot throws.
    class Snapshot {
    public:
        /// Room for the copies of `slotCount` slots.
        explicit Snapshot(std::size_t slotCount) {
            if (slotCount > kInlineSnapshot) {
                overflow.reset(new Invoker*[slotCount]);
                first = overflow.get();
                last = first;
            }
        }
        ~Snapshot() {
            // Walked with locals: the compiler then keeps the bounds in registers across the
            // calls, instead of reloading them from the object after each one.
            for (Invoker **it = first, **end = last; it != end; ++it) {
                (*it)->Destroy();
            }
        }

        Snapshot(const Snapshot&) = delete;
        Snapshot& operator=(const Snapshot&) = delete;

        /// Copies every non-empty slot of `list` (at most the count given at construction), in
        /// order. `last` moves past each clone as it is made, so that a clone that throws
        /// leaves exactly the clones made before it to the destructor.
        void CopyFrom(const SlotList& list) {
            for (const SlotType& slot : list) {
                if (const Invoker* invoker = slot.GetInvoker()) {
                    *last = invoker->Clone();
                    ++last;
                }
            }
        }

        /// Calls the copies front to back.
        void CallAll() {
            for (Invoker **it = first, **end = last; it != end; ++it) {
                (*it)->Invoke();
            }
        }

    private:
        using Invoker = typename SlotType::InvokerType;

        Invoker* inlineCopies[kInlineSnapshot];
        std::unique_ptr<Invoker*[]> overflow;
        /// The copies made so far: [first, last).
        Invoker** first = inlineCopies;
        Invoker** last = inlineCopies;
    };

    SlotList slots;
};

}  // namespace os
