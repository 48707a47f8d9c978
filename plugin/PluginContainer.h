// IEntityObject and IPluginContainer: the base of every object the client core manages as a
// plug-in.
//
// Containers form a tree. Each has at most one parent and a registry of children, at most one
// child per type identifier, kept in ascending GetContainerOrder(). The root (the client core's
// host container) is started and stopped with StartContainer and ShutdownContainer; each runs
// two walks over the whole tree, and concrete containers take part through four hooks.
//
// The order of the virtual operations below is a contract between modules: the host calls a
// module's containers by slot, and a module calls the host's. Never insert, remove or reorder
// a virtual operation here; concrete classes add theirs after slot 29.
//
// Ownership: every link between containers is a non-owning pointer. The creator of a container
// unregisters it from its parent and deletes it. The registry never deletes a child.
//
// Locks: each container has one re-entrant lock guarding its registry. StartContainer and
// ShutdownContainer hold the lock of the container they are called on (the root) for the whole
// walk, so every hook in the tree runs under it; a hook may call locking operations of any
// container on the same thread. Lock order between threads: an ancestor's lock before a
// descendant's. See docs/architecture.md.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "function/StandardLayouts.h"
#include "plinth/Lock.h"
#include "plinth/Object.h"
#include "plinth/String.h"
#include "plugin/Export.h"
#include "plugin/Guid.h"

/// An object the client core manages. Slots 0 to 5.
struct PYR_INTERFACE IEntityObject : public os::Object {
    /// Slot 0. Containers are deleted through it.
    ~IEntityObject() override;
    /// Slot 1. The type information of the concrete class, as a fixed object (typeid of the
    /// class itself, not of the dynamic type), so that it names the class that implements it.
    virtual const std::type_info& GetTypeInfo() const = 0;
    /// Slot 2. No caller in this module.
    virtual void EntityAction() = 0;
    /// Slot 3. 0 unless a concrete class says otherwise.
    virtual std::int32_t GetEntityValue() const;
    /// Slot 4. 0 unless a concrete class says otherwise.
    virtual std::int64_t GetEntityWideValue() const;
    /// Slot 5. The core library's shared empty string unless a concrete class says otherwise.
    virtual const os::String& GetEntityText() const;
};

class IPluginContainer;

/// One registered child. The registry does not own the child.
struct ChildContainerEntry {
    GUID typeId;  ///< the child's GetContainerTypeId() when it was registered
    IPluginContainer* container;
};

/// The readable (demangled) name of a type, as log and error texts cite classes:
/// "Pyr_MiniMap", "pyr::IRoleSystem". The raw run-time name when it cannot be demangled.
std::string ReadableTypeName(const std::type_info& type);

class PYR_INTERFACE IPluginContainer : public IEntityObject {
public:
    IPluginContainer();
    /// Leaves the parent's registry if still registered (without telling the siblings: this
    /// object is no longer whole) and clears the parent of every child still registered. No
    /// hook runs and no child is deleted. Owners should still unregister a container from its
    /// parent before deleting it, so that its siblings hear of it.
    ~IPluginContainer() override;

    IPluginContainer(const IPluginContainer&) = delete;
    IPluginContainer& operator=(const IPluginContainer&) = delete;

    /// Slot 6. A copy of the name set by SetContainerName; empty by default. No lock.
    virtual std::string GetContainerName() const;
    /// Slot 7. ReadableTypeName(GetTypeInfo()).
    virtual std::string GetContainerClassName() const;

    /// Slot 8. Hook: `sibling` was just registered with this container's parent. Called on the
    /// siblings present before it, front to back, under the parent's lock. What it throws is
    /// logged with this container's class and goes on to the caller of the registration.
    virtual void OnSiblingContainerRegistered(IPluginContainer* sibling);
    /// Slot 9. Hook: `sibling` is about to leave this container's parent; it is still
    /// registered and findable. Called on the other siblings, front to back, under the
    /// parent's lock.
    virtual void OnSiblingContainerUnregistered(IPluginContainer* sibling);

    /// Slot 10. Hook of the prepare-start phase; false stops the start. Default true.
    virtual bool OnPrepareParentStart();
    /// Slot 11. Hook of the start phase; false stops the start. Default true.
    virtual bool OnParentStart();
    /// Slot 12. Hook of the prepare-shutdown phase.
    virtual void OnPrepareParentShutdown();
    /// Slot 13. Hook of the final shutdown phase.
    virtual void OnParentShutdown();

    /// Slot 14. Prepare-start walk: own hook, then each child's walk in registry order; false
    /// at the first hook that returns false, with the rest of the walk skipped.
    virtual bool DoPrepareParentStart();
    /// Slot 15. Start walk, as DoPrepareParentStart with OnParentStart.
    virtual bool DoParentStart();
    /// Slot 16. Prepare-shutdown walk: own hook, then each child's walk in reverse registry
    /// order. Visits everything, also past a hook that throws: the first exception is thrown
    /// on once the walk is done.
    virtual void DoPrepareParentShutdown();
    /// Slot 17. Final shutdown walk, as DoPrepareParentShutdown with OnParentShutdown.
    virtual void DoParentShutdown();

    /// Slot 18. The container this one is registered with; null when unregistered.
    virtual IPluginContainer* GetParentContainer() const;
    /// Slot 19. The type identifier of the concrete class: a reference to one static object.
    virtual const GUID& GetContainerTypeId() const = 0;
    /// Slot 20. Lower values come earlier among siblings. Default 65535. Must not change while
    /// the container is registered.
    virtual std::uint16_t GetContainerOrder() const;
    /// Slot 21. Sets the name. No lock: name a container before others can see it.
    virtual void SetContainerName(const std::string& newName);

    /// Slot 22. Registers `child`, which must have no parent and whose type identifier must not
    /// be registered here yet. Refusals are logged at level 3 with a call stack and return
    /// false, changing nothing. On success the siblings already present are told (slot 8);
    /// the child itself is told nothing and is not started, even in a running tree.
    virtual bool RegisterChildContainer(IPluginContainer* child);
    /// Slot 23. Removes `child` if it is registered here; false otherwise, silently. The other
    /// children are told first (slot 9). False as well when a hook removed the child first.
    /// The child is neither shut down nor deleted.
    virtual bool UnregisterChildContainer(IPluginContainer* child);
    /// Slot 24. The registered child with that identifier, or null.
    virtual IPluginContainer* FindChildContainer(const GUID& typeId) const;

    /// Slot 25. Starts the tree below this container (normally the root): both start walks,
    /// holding this container's lock. False when the root is already active or started, or
    /// when a hook refused; a refused start is not rolled back, ShutdownContainer undoes it.
    virtual bool StartContainer();
    /// Slot 26. Runs both shutdown walks over the whole tree, holding this container's lock;
    /// accepted whenever the root is active, also after a failed start. False otherwise. When a
    /// hook throws, both walks still visit the whole tree and the root ends neither active nor
    /// started; then the first exception is thrown on.
    virtual bool ShutdownContainer();

    /// Slot 27. Whether the root of this container's tree has finished preparing to start.
    virtual bool IsContainerStarted() const;
    /// Slot 28. Whether the root of this container's tree is between a start and a shutdown.
    virtual bool IsContainerActive() const;
    /// Slot 29. IsContainerStarted().
    virtual bool IsContainerRunning() const;

    /// The child registered here under `typeId`, as a T (no run-time check: pass T's own
    /// identifier). On a miss: returns false and leaves `result` alone, or, when `mustExist`,
    /// throws an os::String naming this class and T. Never throws across a module boundary
    /// by itself: the caller is the one who catches.
    template <class T>
    bool QueryChildContainer(T*& result, const GUID& typeId, bool mustExist);

    /// As QueryChildContainer, asked of this container's parent; a container without a
    /// parent finds nothing. A container finds itself under its own identifier.
    template <class T>
    bool QuerySiblingContainer(T*& result, const GUID& typeId, bool mustExist);

private:
    /// Withdraws what a module left registered before the module is unloaded.
    friend class PluginModule;

    /// A copy of the registry, taken under the lock.
    std::vector<ChildContainerEntry> CopyChildren() const;
    /// Whether `child` is registered here right now.
    bool HasChild(const IPluginContainer* child) const;
    /// The body of the start walks: logs `begin`, runs `hook` of this container, then `walk` of
    /// each child in registration order, and logs `end`. False at the first refusal, which ends
    /// the walk.
    bool StartWalk(bool (IPluginContainer::*hook)(), bool (IPluginContainer::*walk)(),
                   const char* begin, const char* end);
    /// The body of the shutdown walks: as StartWalk, nobody refuses, children in reverse order.
    void ShutdownWalk(void (IPluginContainer::*hook)(), void (IPluginContainer::*walk)(),
                      const char* begin, const char* end);
    /// Removes a child that is being destroyed, found by address.
    void RemoveDestroyedChild(IPluginContainer* child);

    [[noreturn]] void ThrowChildQueryFailure(const std::type_info& wanted) const;
    [[noreturn]] void ThrowSiblingQueryFailure(const IPluginContainer* owner,
                                               const std::type_info& wanted) const;

    // Fields, in the order of the layout shared with other modules. `parent`, `started` and
    // `active` are read without a lock from any thread, so they are atomics of the same size
    // and alignment as the plain types.
    std::atomic<IPluginContainer*> parent;
    std::vector<ChildContainerEntry> children;
    mutable os::ThreadLock lock;
    std::atomic<bool> started;
    std::atomic<bool> active;
    os::String name;
};

template <class T>
bool IPluginContainer::QueryChildContainer(T*& result, const GUID& typeId, bool mustExist) {
    static_assert(std::is_base_of_v<IPluginContainer, T>, "T must be a container class");
    if (IPluginContainer* found = FindChildContainer(typeId)) {
        result = static_cast<T*>(found);
        return true;
    }
    if (mustExist) {
        ThrowChildQueryFailure(typeid(T));
    }
    return false;
}

template <class T>
bool IPluginContainer::QuerySiblingContainer(T*& result, const GUID& typeId, bool mustExist) {
    static_assert(std::is_base_of_v<IPluginContainer, T>, "T must be a container class");
    IPluginContainer* const owner = parent.load();
    if (IPluginContainer* found = owner != nullptr ? owner->FindChildContainer(typeId) : nullptr) {
        result = static_cast<T*>(found);
        return true;
    }
    if (mustExist) {
        ThrowSiblingQueryFailure(owner, typeid(T));
    }
    return false;
}

namespace pyr {

/// The identity overrides every concrete container writes alike: GetTypeInfo (typeid of
/// `Self`), an EntityAction with nothing to do and GetContainerTypeId (`TypeId`). Derive from
/// it in place of `Base` (IPluginContainer, or an interface derived from it), naming the class
/// itself:
///     class MyPlugin final : public pyr::Container<MyPlugin, MyPluginTypeId> { ... };
/// It adds no field and no virtual operation: the layout and the slots are Base's.
template <class Self, const GUID& TypeId, class Base = IPluginContainer>
class Container : public Base {
public:
    using Base::Base;

    const std::type_info& GetTypeInfo() const override { return typeid(Self); }
    void EntityAction() override {}
    const GUID& GetContainerTypeId() const override { return TypeId; }
};

}  // namespace pyr
