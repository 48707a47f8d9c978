// Refuses a build whose standard library types would not have the layout the client's do, and
// one of a language standard older than the headers'.
//
// Modules hand each other objects whose members are standard containers and strings: the
// signals' slot lists, the dispatchers' tables, message buffers, the marker stores, a
// container's children and names. Inline code of one module then works on objects another
// module made. libstdc++'s debug mode (_GLIBCXX_DEBUG) gives the containers other members, and
// its old string ABI (_GLIBCXX_USE_CXX11_ABI=0) another std::string; a plug-in or host built
// with either would read the client's objects with the wrong layout and crash far from the
// cause, or fail to link with names that do not say why. Debug assertions alone
// (_GLIBCXX_ASSERTIONS) keep the layouts and are fine.
//
// Included by the headers of the callables, messages and containers; the marker stores reach a
// module through the minimap's interface, whose signals bring this in.
#pragma once

#include <cstddef>  // the standard library's configuration: which string ABI is in use

// The headers use C++20 throughout (constinit, concepts, std::span); an older standard would
// fail with dozens of errors that do not say so.
#if __cplusplus < 202002L
#error "PyrMiniMap: the SDK's headers need C++20; compile with -std=c++20 (or -std=gnu++20)"
#endif
#if defined(_GLIBCXX_DEBUG)
#error \
    "PyrMiniMap: _GLIBCXX_DEBUG changes the layout of the standard containers that modules share (signals, dispatchers, messages, marker stores); build without it (_GLIBCXX_ASSERTIONS checks without changing layouts)"
#endif
#if defined(_GLIBCXX_USE_CXX11_ABI) && !_GLIBCXX_USE_CXX11_ABI
#error \
    "PyrMiniMap: _GLIBCXX_USE_CXX11_ABI=0 selects another std::string than the one modules share (container names, texts); build with the default string ABI"
#endif
