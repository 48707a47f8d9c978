// Visibility of what a module shares with other modules.
//
// Modules are built with hidden visibility (inline functions too), so nothing leaks out of a
// shared library by accident. Two things must cross the boundary on purpose:
// - PYR_INTERFACE, on a class: its type information and virtual table keep default visibility.
//   Put it on every interface class that is handed from module to module. The GNU run-time
//   library matches type information across modules by name, so dynamic_cast and catch work
//   even in a module whose version script keeps its copies local; the mark is what makes them
//   one object where the loader can merge them, and on toolchains that compare by address.
// - PYR_EXPORT, on a function: an entry point that a host finds by name (extern "C").
// PYR_HIDDEN keeps a helper that SDK headers define for a module's own use inside it, even in a
// module built without hidden visibility.
#pragma once

#if defined(_WIN32)
#define PYR_INTERFACE
#define PYR_EXPORT __declspec(dllexport)
#define PYR_HIDDEN
#else
#define PYR_INTERFACE __attribute__((visibility("default")))
#define PYR_EXPORT __attribute__((visibility("default")))
#define PYR_HIDDEN __attribute__((visibility("hidden")))
#endif
