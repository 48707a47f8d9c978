#include "plugin/PluginContainer.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>

#include "net/LogFormat.h"
#include "plinth/Log.h"
#include "plugin/CaughtText.h"

// Other modules see these fields as a plain pointer and two one-byte flags.
static_assert(sizeof(std::atomic<IPluginContainer*>) == sizeof(IPluginContainer*) &&
              alignof(std::atomic<IPluginContainer*>) == alignof(IPluginContainer*));
static_assert(sizeof(std::atomic<bool>) == 1 && alignof(std::atomic<bool>) == 1);
static_assert(std::atomic<IPluginContainer*>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);

namespace {

constexpr int kLifecycleLevel = 2;

std::string ClassNameOf(const IPluginContainer* container) {
    return ReadableTypeName(container->GetTypeInfo());
}

/// A lifecycle progress line with the container's name and, when the format has a second
/// marker, its class name. Names are gathered only when the level is enabled, and nothing
/// that goes wrong while writing the line stops the lifecycle.
void WriteLifecycleLine(const IPluginContainer& container, const char* fmt, bool withClass) {
    if (!os::Log::GetInstance().IsLevelEnable(kLifecycleLevel)) {
        return;
    }
    try {
        if (withClass) {
            LogFormatted(kLifecycleLevel, fmt, container.GetContainerName(),
                         container.GetContainerClassName());
        } else {
            LogFormatted(kLifecycleLevel, fmt, container.GetContainerName());
        }
    } catch (const std::exception& e) {
        os::DebugLog(e.what());
    }
}

void ReportAlreadyRegistered(const IPluginContainer* child, const IPluginContainer* present) {
    LogFormatted(3,
                 "IPluginContainer::RegisterChildContainer() error : cpc(%s) already registed to "
                 "type=%s",
                 ClassNameOf(child).c_str(), ClassNameOf(present).c_str());
    os::ShowCallStack();
}

/// Calls a sibling hook of `sibling` about `subject`. What it throws goes on to the caller, who
/// registers or unregisters `subject` and so would blame it (a plug-in's InitPluginContainer
/// fails): the line names the container whose hook threw, and what it threw, first.
void CallSiblingHook(IPluginContainer* sibling, void (IPluginContainer::*hook)(IPluginContainer*),
                     IPluginContainer* subject, const char* operation, const char* hookName) {
    try {
        (sibling->*hook)(subject);
    } catch (...) {
        LogFormatted(3, "IPluginContainer::%s() : %s::%s(%s) threw: %s", operation,
                     ClassNameOf(sibling), hookName, ClassNameOf(subject), pyr::CaughtText());
        throw;
    }
}

/// Runs steps that must all run however many of them throw, and keeps the first exception
/// for the caller once they have.
class FirstException {
public:
    template <class Step>
    void Run(Step&& step) noexcept {
        try {
            step();
        } catch (...) {
            if (!first) {
                first = std::current_exception();
            }
        }
    }
    void RethrowIfAny() const {
        if (first) {
            std::rethrow_exception(first);
        }
    }

private:
    std::exception_ptr first;
};

}  // namespace

std::string ReadableTypeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    if (status == 0 && demangled != nullptr) {
        return demangled.get();
    }
    return type.name();
}

// ---------------------------------------------------------------------------------------------
// IEntityObject

IEntityObject::~IEntityObject() = default;

std::int32_t IEntityObject::GetEntityValue() const {
    return 0;
}

std::int64_t IEntityObject::GetEntityWideValue() const {
    return 0;
}

const os::String& IEntityObject::GetEntityText() const {
    return os::GetEmptyString();
}

// ---------------------------------------------------------------------------------------------
// Construction, names, flags

IPluginContainer::IPluginContainer() : parent(nullptr), started(false), active(false) {}

IPluginContainer::~IPluginContainer() {
    // Its type identifier can no longer be asked (that slot is pure from here on), so the
    // parent finds this container by address.
    if (IPluginContainer* owner = parent.load()) {
        owner->RemoveDestroyedChild(this);
    }
    os::ThreadLockHandle hold(lock);
    parent.store(nullptr);
    // Children outlive their parent; they must not keep pointing at it.
    for (const ChildContainerEntry& entry : children) {
        IPluginContainer* expected = this;
        entry.container->parent.compare_exchange_strong(expected, nullptr);
    }
    children.clear();
}

std::string IPluginContainer::GetContainerName() const {
    return name;
}

std::string IPluginContainer::GetContainerClassName() const {
    return ClassNameOf(this);
}

void IPluginContainer::SetContainerName(const std::string& newName) {
    name = newName;
}

IPluginContainer* IPluginContainer::GetParentContainer() const {
    return parent.load();
}

std::uint16_t IPluginContainer::GetContainerOrder() const {
    return 0xFFFF;
}

bool IPluginContainer::IsContainerStarted() const {
    if (IPluginContainer* owner = parent.load()) {
        return owner->IsContainerStarted();
    }
    return started.load();
}

bool IPluginContainer::IsContainerActive() const {
    if (IPluginContainer* owner = parent.load()) {
        return owner->IsContainerActive();
    }
    return active.load();
}

bool IPluginContainer::IsContainerRunning() const {
    return IsContainerStarted();
}

// ---------------------------------------------------------------------------------------------
// Hooks: the defaults take part without doing anything.

void IPluginContainer::OnSiblingContainerRegistered(IPluginContainer*) {}

void IPluginContainer::OnSiblingContainerUnregistered(IPluginContainer*) {}

bool IPluginContainer::OnPrepareParentStart() {
    return true;
}

bool IPluginContainer::OnParentStart() {
    return true;
}

void IPluginContainer::OnPrepareParentShutdown() {}

void IPluginContainer::OnParentShutdown() {}

// ---------------------------------------------------------------------------------------------
// Registry

std::vector<ChildContainerEntry> IPluginContainer::CopyChildren() const {
    os::ThreadLockHandle hold(lock);
    return children;
}

bool IPluginContainer::HasChild(const IPluginContainer* child) const {
    os::ThreadLockHandle hold(lock);
    return std::any_of(children.begin(), children.end(),
                       [child](const ChildContainerEntry& e) { return e.container == child; });
}

void IPluginContainer::RemoveDestroyedChild(IPluginContainer* child) {
    os::ThreadLockHandle hold(lock);
    const auto it = std::find_if(children.begin(), children.end(),
                                 [child](const auto& e) { return e.container == child; });
    if (it != children.end()) {
        children.erase(it);
        IPluginContainer* expected = this;
        child->parent.compare_exchange_strong(expected, nullptr);
    }
}

IPluginContainer* IPluginContainer::FindChildContainer(const GUID& typeId) const {
    os::ThreadLockHandle hold(lock);
    for (const ChildContainerEntry& entry : children) {
        if (entry.typeId == typeId) {
            return entry.container;
        }
    }
    return nullptr;
}

bool IPluginContainer::RegisterChildContainer(IPluginContainer* child) {
    if (child == nullptr) {
        LogText(3, "IPluginContainer::RegisterChildContainer() error : cpc==NULL");
        os::ShowCallStack();
        return false;
    }
    if (IPluginContainer* present = child->GetParentContainer()) {
        ReportAlreadyRegistered(child, present);
        return false;
    }

    os::ThreadLockHandle hold(lock);
    const GUID typeId = child->GetContainerTypeId();
    if (IPluginContainer* same = FindChildContainer(typeId)) {
        LogFormatted(3,
                     "IPluginContainer::RegisterChildContainer() error : same plugin(%s) as "
                     "cpc(%s) already registed to type=%s",
                     ClassNameOf(child).c_str(), ClassNameOf(same).c_str(),
                     ClassNameOf(this).c_str());
        os::ShowCallStack();
        return false;
    }

    const std::vector<ChildContainerEntry> siblings = children;
    const std::uint16_t order = child->GetContainerOrder();
    const auto position = std::find_if(children.begin(), children.end(), [order](const auto& e) {
        return e.container->GetContainerOrder() > order;
    });
    const auto inserted = children.insert(position, ChildContainerEntry{typeId, child});

    // The check above ran without this lock, and another parent's lock does not exclude this
    // one: the child is claimed atomically, and only now that its entry is in.
    IPluginContainer* expected = nullptr;
    if (!child->parent.compare_exchange_strong(expected, this)) {
        children.erase(inserted);
        ReportAlreadyRegistered(child, expected);
        return false;
    }

    // Hooks may change the registry (this lock is re-entrant): tell only siblings that are
    // still registered, and stop once the news is no longer true.
    for (const ChildContainerEntry& entry : siblings) {
        if (!HasChild(child)) {
            break;
        }
        if (entry.container != child && HasChild(entry.container)) {
            CallSiblingHook(entry.container, &IPluginContainer::OnSiblingContainerRegistered, child,
                            "RegisterChildContainer", "OnSiblingContainerRegistered");
        }
    }
    return true;
}

bool IPluginContainer::UnregisterChildContainer(IPluginContainer* child) {
    if (child == nullptr || child->GetParentContainer() != this) {
        return false;
    }
    const GUID typeId = child->GetContainerTypeId();

    os::ThreadLockHandle hold(lock);
    const auto found = std::find_if(children.begin(), children.end(),
                                    [&typeId](const auto& e) { return e.typeId == typeId; });
    if (found == children.end() || found->container != child) {
        return false;
    }

    const std::vector<ChildContainerEntry> siblings = children;
    for (const ChildContainerEntry& entry : siblings) {
        if (!HasChild(child)) {
            break;  // a hook removed it already, and that call told the siblings
        }
        if (entry.container != child && HasChild(entry.container)) {
            CallSiblingHook(entry.container, &IPluginContainer::OnSiblingContainerUnregistered,
                            child, "UnregisterChildContainer", "OnSiblingContainerUnregistered");
        }
    }

    // The hooks may have moved or removed the entry: erase it only if it is still there.
    const auto still = std::find_if(children.begin(), children.end(),
                                    [child](const auto& e) { return e.container == child; });
    if (still == children.end()) {
        return false;
    }
    children.erase(still);
    child->parent.store(nullptr);
    return true;
}

void IPluginContainer::ThrowChildQueryFailure(const std::type_info& wanted) const {
    // The last four bytes are the word for "failed" in the GBK code page.
    throw os::String(FormatText("[%s]QueryChildContainer()[%s]\xCA\xA7\xB0\xDC",
                                ClassNameOf(this).c_str(), ReadableTypeName(wanted).c_str()));
}

void IPluginContainer::ThrowSiblingQueryFailure(const IPluginContainer* owner,
                                                const std::type_info& wanted) const {
    const std::string ownerName = owner != nullptr ? ClassNameOf(owner) : std::string("NULL");
    throw os::String(FormatText("[%s]:[%s]QuerySiblingContainer()[%s]\xCA\xA7\xB0\xDC",
                                ClassNameOf(this).c_str(), ownerName.c_str(),
                                ReadableTypeName(wanted).c_str()));
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

bool IPluginContainer::StartContainer() {
    WriteLifecycleLine(*this, "start call %s::StartContainer()", false);
    os::ThreadLockHandle hold(lock);
    if (IsContainerStarted() || IsContainerActive()) {
        return false;
    }
    active.store(true);
    if (!DoPrepareParentStart()) {
        return false;
    }
    started.store(true);
    if (!DoParentStart()) {
        return false;
    }
    WriteLifecycleLine(*this, "call %s::StartContainer() ok", false);
    return true;
}

bool IPluginContainer::ShutdownContainer() {
    os::ThreadLockHandle hold(lock);
    if (!IsContainerActive()) {
        return false;
    }
    WriteLifecycleLine(*this, "start call %s::ShutdownContainer()", false);
    // A walk that throws has still visited the whole tree (ShutdownWalk): the second walk and
    // the flags follow all the same, so that nobody is left running, and only then does the
    // first exception reach the caller.
    FirstException thrown;
    active.store(false);
    thrown.Run([this] { DoPrepareParentShutdown(); });
    started.store(false);
    thrown.Run([this] { DoParentShutdown(); });
    thrown.RethrowIfAny();
    WriteLifecycleLine(*this, "call %s::ShutdownContainer() ok", false);
    return true;
}

// The walks copy the registry after the own hook (so children the hook added or removed are
// already counted) and visit the copy without holding this container's lock. A hook may remove
// or delete a container the walk has still to visit: each child is looked up in the live
// registry right before its visit and skipped when it is gone.

bool IPluginContainer::StartWalk(bool (IPluginContainer::*hook)(), bool (IPluginContainer::*walk)(),
                                 const char* begin, const char* end) {
    WriteLifecycleLine(*this, begin, true);
    if (!(this->*hook)()) {
        return false;
    }
    for (const ChildContainerEntry& entry : CopyChildren()) {
        if (HasChild(entry.container) && !(entry.container->*walk)()) {
            return false;
        }
    }
    WriteLifecycleLine(*this, end, true);
    return true;
}

void IPluginContainer::ShutdownWalk(void (IPluginContainer::*hook)(),
                                    void (IPluginContainer::*walk)(), const char* begin,
                                    const char* end) {
    WriteLifecycleLine(*this, begin, true);
    // Every container is told, whoever throws before it: one that is not would keep running
    // (its timers, its subscriptions) into its release. The first exception goes on once the
    // walk is done; a child's walk that threw has finished its own subtree already.
    FirstException thrown;
    thrown.Run([this, hook] { (this->*hook)(); });
    const std::vector<ChildContainerEntry> copy = CopyChildren();
    for (auto it = copy.rbegin(); it != copy.rend(); ++it) {
        thrown.Run([this, it, walk] {
            if (HasChild(it->container)) {
                (it->container->*walk)();
            }
        });
    }
    thrown.RethrowIfAny();
    WriteLifecycleLine(*this, end, true);
}

bool IPluginContainer::DoPrepareParentStart() {
    return StartWalk(&IPluginContainer::OnPrepareParentStart,
                     &IPluginContainer::DoPrepareParentStart,
                     "start %s %s :: DoPrepareParentStart()", "%s %s :: DoPrepareParentStart() ok");
}

bool IPluginContainer::DoParentStart() {
    return StartWalk(&IPluginContainer::OnParentStart, &IPluginContainer::DoParentStart,
                     "start %s %s :: DoParentStart()", "%s %s :: DoParentStart() ok");
}

void IPluginContainer::DoPrepareParentShutdown() {
    ShutdownWalk(
        &IPluginContainer::OnPrepareParentShutdown, &IPluginContainer::DoPrepareParentShutdown,
        "start %s %s :: DoPrepareParentShutdown()", "%s %s :: DoPrepareParentShutdown() ok");
}

void IPluginContainer::DoParentShutdown() {
    ShutdownWalk(&IPluginContainer::OnParentShutdown, &IPluginContainer::DoParentShutdown,
                 "start %s %s :: DoParentShutdown()", "%s %s :: DoParentShutdown() ok");
}
