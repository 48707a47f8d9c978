// What the module takes from its host besides the container tree.
#pragma once

#include "plinth/Lock.h"

/// The client core lock, the process-wide lock named "IGameClientCoreLock". Whoever reads or
/// changes state that the client core shares with message handlers holds it; it is
/// re-entrant. Fetched from the core library on the first call, the same object afterwards.
os::ThreadLock& GetClientCoreLock();
