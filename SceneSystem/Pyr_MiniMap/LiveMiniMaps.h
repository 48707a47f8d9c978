// The register of the minimaps this module created and has not released yet.
//
// Two things use it. The entry points release only a minimap they created (another module may
// register a container under the same identifier). And callbacks that can still be on their
// way when a minimap is released (a message already dispatched, a role reset already emitted)
// check it before they touch the object: the release removes the minimap from the register
// under the client core lock before deleting it, and those callbacks take the lock first, so
// they either finish before the release or find the minimap gone.
//
// Every function here requires the caller to hold the client core lock.
#pragma once

class IPluginContainer;
class Pyr_MiniMap;

namespace minimap {

/// Adds a newly created minimap.
void AddLive(Pyr_MiniMap* minimap);
/// Removes a minimap that is about to be deleted.
void RemoveLive(const Pyr_MiniMap* minimap);
/// Whether `address` is a live minimap. Compares addresses only, so it may be given the
/// address of an object that is already gone.
bool IsLive(const void* address);
/// The live minimap that is `container`, or null when `container` is none of ours.
Pyr_MiniMap* FindLive(const IPluginContainer* container);

}  // namespace minimap
