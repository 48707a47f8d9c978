// What the module takes from its host besides the container tree.
#pragma once

#include "plinth/Lock.h"
#include "plugin/Guid.h"

class IPluginContainer;

/// The type identifier of the client core's host container, under which plug-in modules
/// create their containers.
inline constexpr GUID HostContainerTypeId =
    MakeGuid(0x95C395B2, 0x99B3, 0x4ABB, 0xBDFE, 0x5523BE8CDDB6);

/// Whether `container` is the client core's host container (its type identifier is
/// HostContainerTypeId): the one a module creates its containers under. False for null.
bool IsClientCoreHost(const IPluginContainer* container);

/// The client core lock, the process-wide lock named "IGameClientCoreLock". Whoever reads or
/// changes state that the client core shares with message handlers holds it; it is
/// re-entrant. Fetched from the core library on the first call, the same object afterwards.
os::ThreadLock& GetClientCoreLock();
