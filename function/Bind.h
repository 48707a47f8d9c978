// os::bind: binds a member function to an object, for use as an os::Function.
//
// A binding holds the object pointer and the member-function pointer, nothing else. It does
// not keep the object alive: the object must outlive every function that binds it. Two
// bindings are equal when they name the same object and the same member function, so a fresh
// os::bind(&T::m, p) finds and removes a slot connected earlier with the same binding.
#pragma once

namespace os {
namespace bind_n {

template <class PMF>
struct bind_n_t;

template <class R, class T, class... Args>
struct bind_n_t<R (T::*)(Args...)> {
    using method_type = R (T::*)(Args...);

    T* object;
    method_type method;

    R operator()(Args... args) const { return (object->*method)(args...); }

    friend bool operator==(const bind_n_t& a, const bind_n_t& b) {
        return a.object == b.object && a.method == b.method;
    }
};

template <class R, class T, class... Args>
struct bind_n_t<R (T::*)(Args...) const> {
    using method_type = R (T::*)(Args...) const;

    const T* object;
    method_type method;

    R operator()(Args... args) const { return (object->*method)(args...); }

    friend bool operator==(const bind_n_t& a, const bind_n_t& b) {
        return a.object == b.object && a.method == b.method;
    }
};

}  // namespace bind_n

/// Binds `method` to `object`: the member-function pointer first, the object second, as in
/// os::bind(&Pyr_MiniMap::MyTimeFunc, this).
template <class PMF, class T>
bind_n::bind_n_t<PMF> bind(PMF method, T* object) {
    return bind_n::bind_n_t<PMF>{object, method};
}

}  // namespace os
