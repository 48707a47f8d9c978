// Named process-wide objects.
#pragma once

#include <string>

#include "function/Function.h"
#include "plinth/Export.h"

namespace os {

/// The process-wide object registered under `name`. The first call for a name calls `creator`
/// (exactly once, also when several threads ask at the same time; the others wait for it) and
/// keeps what it returns; later calls return the same pointer without calling their creator.
/// Objects are never destroyed. Never returns null: a creator that returns null (or an empty
/// creator) is a programming error; it is logged with a call stack and the process aborts.
/// A creator must not ask for its own name.
PLINTH_API void* GetGlobalObject(const std::string& name, Function<void*()> creator);

}  // namespace os
