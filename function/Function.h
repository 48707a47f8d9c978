// os::Function: the one callable type of the client.
//
// Every callback that is stored, compared, copied or handed across a module boundary is an
// os::Function: signal slots, dispatcher handlers, timer callbacks and the creator given to
// os::GetGlobalObject. A function owns at most one heap-allocated invoker that holds the
// callable by value; copies clone the invoker, so no two functions ever share one. Invokers
// take their memory from small per-size caches (function/detail/BlockPool.h), so the copies
// made per dispatch and per emission do not reach the system allocator in the steady state.
//
// The layout (a virtual-table pointer and the one `invoker` pointer) and the order of the
// invoker's virtual operations are shared with the core runtime library, which keeps, calls,
// copies and destroys functions made in other modules. Do not add data members or virtual
// operations, and do not add a small-object buffer.
//
// Unlike std::function, two functions compare equal when they hold the same callable type
// with equal callables; signals rely on that to refuse duplicates and to find a slot again.
//
// Thread safety: none inside. A function object must not be used by two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "function/StandardLayouts.h"
#include "function/detail/BlockPool.h"

namespace os {

namespace function_traits {

template <class Sig>
struct function_traits_helper;

/// Compile-time traits of a signature R(Args...). Holds no data.
template <class R, class... Args>
struct function_traits_helper<R(Args...)> {
    using result_type = R;
    static constexpr std::size_t arity = sizeof...(Args);
    template <std::size_t I>
    using arg_type = std::tuple_element_t<I, std::tuple<Args...>>;
};

}  // namespace function_traits

template <class Sig>
struct FunctionTraits : function_traits::function_traits_helper<Sig> {};

namespace function {

template <class Sig>
class Invoker;

/// The abstract holder of one callable. The slot order is part of the interface with the
/// core library: Invoke, GetTypeInfo, Clone, Equals, Destroy, destructor.
template <class R, class... Args>
class Invoker<R(Args...)> {
public:
    /// Calls the held callable.
    virtual R Invoke(Args... args) = 0;
    /// The run-time type of the concrete implementation, which identifies the callable type.
    virtual const std::type_info& GetTypeInfo() const = 0;
    /// A new invoker of the same implementation holding a copy of the callable. Owned by the
    /// caller, released with Destroy().
    virtual Invoker* Clone() const = 0;
    /// True when `other` holds the same callable type with an equal callable.
    virtual bool Equals(const Invoker* other) const = 0;
    /// Deletes this invoker. The memory is released by the module that made it.
    virtual void Destroy() = 0;

protected:
    virtual ~Invoker() = default;
};

namespace detail {

template <class T>
concept EqualityComparable = requires(const T& a, const T& b) {
    { a == b } -> std::convertible_to<bool>;
};

// Stateless callables (such as the string table's creator) are equal as soon as their types
// match; callables without an equality of their own are equal only to themselves.
template <class F>
bool TargetsEqual(const F& a, const F& b) {
    if constexpr (EqualityComparable<F>) {
        return static_cast<bool>(a == b);
    } else if constexpr (std::is_empty_v<F>) {
        return true;
    } else {
        return &a == &b;
    }
}

// A callable that is copied one machine word at a time (see CopyByWords).
template <class F>
concept CopiedByWords = (std::is_trivially_copyable_v<F> &&
                         std::is_trivially_default_constructible_v<F> &&
                         sizeof(F) % sizeof(std::uintptr_t) == 0);

/// Copies the word at `offset` through a general register.
inline void CopyWord(unsigned char* out, const unsigned char* in, std::size_t offset) noexcept {
    std::uintptr_t word;
    std::memcpy(&word, in + offset, sizeof word);
    asm("" : "+r"(word));
    std::memcpy(out + offset, &word, sizeof word);
}

template <class F, std::size_t... I>
void CopyWords(F& to, const F& from, std::index_sequence<I...>) noexcept {
    auto* out = reinterpret_cast<unsigned char*>(&to);
    const auto* in = reinterpret_cast<const unsigned char*>(&from);
    (CopyWord(out, in, I * sizeof(std::uintptr_t)), ...);
}

/// Copies `from` into `to` one machine word at a time, each through a general register.
///
/// A clone is called within nanoseconds of being made: dispatch and emission copy and then
/// call. Copied as a whole, a callable of two words or more is written with vector stores, and
/// the call then reads it back one word at a time; on some processors (AMD's among them) a
/// word read from the upper half of a pending vector store is not forwarded from the store
/// buffer and waits until the store reaches the cache. Each word written by a store of its own
/// size is forwarded at once. The empty asm keeps the compiler from merging the words again.
template <CopiedByWords F>
void CopyByWords(F& to, const F& from) noexcept {
    CopyWords(to, from, std::make_index_sequence<sizeof(F) / sizeof(std::uintptr_t)>{});
}

}  // namespace detail

template <class F, class Sig>
class InvokerImpl;

/// Holds a callable of type F by value.
template <class F, class R, class... Args>
class InvokerImpl<F, R(Args...)> final : public Invoker<R(Args...)> {
public:
    using Base = Invoker<R(Args...)>;

    explicit InvokerImpl(const F& f) requires(!detail::CopiedByWords<F>) : target(f) {}
    explicit InvokerImpl(F&& f) requires(!detail::CopiedByWords<F>) : target(std::move(f)) {}
    // Clone's copy: see CopyByWords. `target` is trivial, so leaving it default-initialised
    // and writing its bytes makes it a copy of `f`.
    explicit InvokerImpl(const F& f) requires detail::CopiedByWords<F> {
        detail::CopyByWords(target, f);
    }

    R Invoke(Args... args) override { return target(args...); }

    const std::type_info& GetTypeInfo() const override { return typeid(InvokerImpl); }

    Base* Clone() const override { return new InvokerImpl(target); }

    bool Equals(const Base* other) const override {
        if (other == this) {
            return true;
        }
        if (other == nullptr) {
            return false;
        }
        if (other->GetTypeInfo() != GetTypeInfo()) {
            return false;
        }
        // Same run-time type: `other` is an InvokerImpl<F, Sig>, possibly made by another
        // module from the same definition.
        return detail::TargetsEqual(target, static_cast<const InvokerImpl*>(other)->target);
    }

    void Destroy() override { delete this; }

    const F& Target() const noexcept { return target; }

    // Invokers live in the block pool of their size (function/detail/BlockPool.h): the copies
    // that dispatch and emission make then cost no trip to the system allocator in the steady
    // state. Clone's `new` and Destroy's `delete this` go through these.
    static void* operator new(std::size_t) { return detail::AllocateFor<InvokerImpl>(); }
    static void operator delete(void* block) noexcept { detail::DeallocateFor<InvokerImpl>(block); }

private:
    ~InvokerImpl() override = default;

    F target;
};

}  // namespace function

template <class Sig>
class Function;

namespace function {

/// The data part of os::Function: the owned invoker, null when the function is empty.
template <class Sig>
class FunctionHelper {
public:
    virtual ~FunctionHelper() = default;

protected:
    Invoker<Sig>* invoker = nullptr;

    FunctionHelper() = default;
    FunctionHelper(const FunctionHelper&) = default;
    FunctionHelper& operator=(const FunctionHelper&) = default;
};

template <class T, class Sig>
inline constexpr bool IsFunction = std::is_base_of_v<FunctionHelper<Sig>, std::remove_cvref_t<T>>;

}  // namespace function

/// The general callable. See the top of this file.
template <class R, class... Args>
class Function<R(Args...)> : public function::FunctionHelper<R(Args...)>,
                             public FunctionTraits<R(Args...)> {
    using Helper = function::FunctionHelper<R(Args...)>;
    using Helper::invoker;

public:
    using InvokerType = function::Invoker<R(Args...)>;
    using result_type = R;

    /// An empty function: calling it does nothing.
    Function() noexcept = default;

    /// Wraps a copy of `f` in a new invoker. Functions themselves are excluded, so that a
    /// non-const Function lvalue is copied rather than wrapped in a second function.
    template <class F>
    requires(!function::IsFunction<F, R(Args...)> && std::is_invocable_r_v<R, F&, Args...>)
        Function(F&& f)  // NOLINT(google-explicit-constructor): callables convert implicitly
    {
        invoker = new function::InvokerImpl<std::decay_t<F>, R(Args...)>(std::forward<F>(f));
    }

    Function(const Function& other) : Helper() {
        if (other.invoker != nullptr) {
            invoker = other.invoker->Clone();
        }
    }

    Function(Function&& other) noexcept : Helper() { std::swap(invoker, other.invoker); }

    /// Clones the source before releasing the old invoker, so that assigning a function to
    /// itself, or to a function its own callable holds, keeps the source alive.
    Function& operator=(const Function& other) {
        if (this != &other) {
            InvokerType* copy = other.invoker != nullptr ? other.invoker->Clone() : nullptr;
            Reset();
            invoker = copy;
        }
        return *this;
    }

    Function& operator=(Function&& other) noexcept {
        if (this != &other) {
            Reset();
            std::swap(invoker, other.invoker);
        }
        return *this;
    }

    template <class F>
    requires(!function::IsFunction<F, R(Args...)> &&
             std::is_invocable_r_v<R, F&, Args...>) Function&
    operator=(F&& f) {
        Reset();
        invoker = new function::InvokerImpl<std::decay_t<F>, R(Args...)>(std::forward<F>(f));
        return *this;
    }

    ~Function() override { Reset(); }

    /// Releases the invoker (through its own Destroy) and leaves the function empty.
    void Reset() noexcept {
        if (invoker != nullptr) {
            InvokerType* old = invoker;
            invoker = nullptr;
            old->Destroy();
        }
    }

    bool IsEmpty() const noexcept { return invoker == nullptr; }
    explicit operator bool() const noexcept { return invoker != nullptr; }

    /// Calls the held callable. An empty function does nothing and returns a
    /// value-initialised result.
    R operator()(Args... args) const {
        if (invoker == nullptr) {
            if constexpr (std::is_void_v<R>) {
                return;
            } else {
                return R{};
            }
        }
        return invoker->Invoke(args...);
    }

    /// Equal when both are empty, or both hold the same callable type with equal callables.
    friend bool operator==(const Function& a, const Function& b) {
        if (a.invoker == nullptr) {
            return b.invoker == nullptr;
        }
        if (b.invoker == nullptr) {
            return false;
        }
        return a.invoker->Equals(b.invoker);
    }

    /// The invoker, for code that inspects what a function holds (null when empty).
    const InvokerType* GetInvoker() const noexcept { return invoker; }
};

}  // namespace os
