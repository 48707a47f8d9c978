// Visibility of what a module shares with other modules.
//
// Modules are built with hidden visibility (inline functions too), so nothing leaks out of a
// shared library by accident. Two things must cross the boundary on purpose:
// - PYR_INTERFACE, on a class: its type information and virtual table are visible, so that a
//   dynamic_cast or a catch in one module recognises an object made in another. Put it on
//   every interface class that is handed from module to module.
// - PYR_EXPORT, on a function: an entry point that a host finds by name (extern "C").
#pragma once

#if defined(_WIN32)
#define PYR_INTERFACE
#define PYR_EXPORT __declspec(dllexport)
#else
#define PYR_INTERFACE __attribute__((visibility("default")))
#define PYR_EXPORT __attribute__((visibility("default")))
#endif
