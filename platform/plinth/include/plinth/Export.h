// Visibility of the core runtime library's interface. Everything else in libPlinth is hidden.
#pragma once

#if defined(_WIN32)
#if defined(PLINTH_BUILDING)
#define PLINTH_API __declspec(dllexport)
#else
#define PLINTH_API __declspec(dllimport)
#endif
#else
#define PLINTH_API __attribute__((visibility("default")))
#endif
