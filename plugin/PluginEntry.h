// The four entry points of a plug-in module: the functions a host looks up by name after it
// loads the module (PluginModule), with the exact signatures it calls them with.
//
// Include this header in the file that defines them: the prototypes below make the compiler
// refuse a definition whose parameters or result differ ("conflicting declaration of C
// function"), and give the definitions C linkage and default visibility even where they are
// written without `extern "C"`. Or let PYR_PLUGIN_ENTRY_POINTS define all four:
//
//     struct MyPlugin {
//         static bool Init();                               // InitPlugin
//         static bool Release();                            // ReleasePlugin
//         static bool InitContainer(IPluginContainer* host);   // InitPluginContainer
//         static void ReleaseContainer(IPluginContainer* host); // ReleasePluginContainer
//     };
//     PYR_PLUGIN_ENTRY_POINTS(MyPlugin);
//
// The macro checks each function's type at compile time (noexcept is allowed) and catches every
// exception at the module boundary: an init then answers false, a release returns, and either
// writes its text to the process log first ("PYR_PLUGIN_ENTRY_POINTS(MyPlugin) : InitPlugin()
// threw: TEXT"), since the host only sees the false.
//
// The order a host calls them in: InitPlugin, InitPluginContainer(host), then the host starts
// its tree, runs, stops it, and calls ReleasePluginContainer(host) and ReleasePlugin, all while
// holding the client core lock except InitPlugin and ReleasePlugin.
#pragma once

#include <type_traits>

#include "net/LogFormat.h"
#include "plugin/CaughtText.h"
#include "plugin/Export.h"

class IPluginContainer;

namespace pyr {

using InitPluginFn = bool (*)();
using ReleasePluginFn = bool (*)();
using InitPluginContainerFn = bool (*)(IPluginContainer* host);
using ReleasePluginContainerFn = void (*)(IPluginContainer* host);

namespace detail {

/// Calls `Entry(args...)` for PYR_PLUGIN_ENTRY_POINTS and stops every exception here, at the
/// module boundary: it then logs the exception's text, naming `type` and the entry point
/// `name`, and answers false, or nothing for ReleaseContainer. The host's catch never sees
/// what was thrown, so this line is the only place its text reaches. Hidden, so that a module
/// still exports only its four entry points.
template <auto Entry, class... Args>
PYR_HIDDEN auto CallCaught(const char* type, const char* name, Args... args) noexcept {
    using Result = decltype(Entry(args...));
    try {
        return Entry(args...);
    } catch (...) {
        try {
            LogFormatted(3, "PYR_PLUGIN_ENTRY_POINTS(%s) : %s() threw: %s", type, name,
                         CaughtText());
        } catch (...) {
            // No memory for the line: the answer still goes back.
        }
        return Result();
    }
}

}  // namespace detail
}  // namespace pyr

extern "C" {
/// Once after the module is loaded, before any container is made. False: the host does not use
/// the module.
PYR_EXPORT bool InitPlugin();
/// Once before the module is unloaded, after ReleasePluginContainer.
PYR_EXPORT bool ReleasePlugin();
/// Creates the module's containers and registers them under `host` (a container whose type
/// identifier is HostContainerTypeId).
PYR_EXPORT bool InitPluginContainer(IPluginContainer* host);
/// Unregisters and deletes the containers the module created under `host`.
PYR_EXPORT void ReleasePluginContainer(IPluginContainer* host);
}

// The checks are repeated by the macro's definitions; these make the error name the function.
#define PYR_PLUGIN_ENTRY_POINTS(Type)                                                              \
    static_assert(std::is_convertible_v<decltype(&Type::Init), ::pyr::InitPluginFn>,               \
                  #Type "::Init must be static bool Init()");                                      \
    static_assert(std::is_convertible_v<decltype(&Type::Release), ::pyr::ReleasePluginFn>,         \
                  #Type "::Release must be static bool Release()");                                \
    static_assert(                                                                                 \
        std::is_convertible_v<decltype(&Type::InitContainer), ::pyr::InitPluginContainerFn>,       \
        #Type "::InitContainer must be static bool InitContainer(IPluginContainer*)");             \
    static_assert(                                                                                 \
        std::is_convertible_v<decltype(&Type::ReleaseContainer), ::pyr::ReleasePluginContainerFn>, \
        #Type "::ReleaseContainer must be static void ReleaseContainer(IPluginContainer*)");       \
    extern "C" PYR_EXPORT bool InitPlugin() {                                                      \
        return ::pyr::detail::CallCaught<&Type::Init>(#Type, "InitPlugin");                        \
    }                                                                                              \
    extern "C" PYR_EXPORT bool ReleasePlugin() {                                                   \
        return ::pyr::detail::CallCaught<&Type::Release>(#Type, "ReleasePlugin");                  \
    }                                                                                              \
    extern "C" PYR_EXPORT bool InitPluginContainer(IPluginContainer* host) {                       \
        return ::pyr::detail::CallCaught<&Type::InitContainer>(#Type, "InitPluginContainer",       \
                                                               host);                              \
    }                                                                                              \
    extern "C" PYR_EXPORT void ReleasePluginContainer(IPluginContainer* host) {                    \
        ::pyr::detail::CallCaught<&Type::ReleaseContainer>(#Type, "ReleasePluginContainer", host); \
    }                                                                                              \
    static_assert(true, "a semicolon may follow")
