// The register of the minimaps this module created and has not released yet.
//
// Two things use it. The entry points release only a minimap they created (another module may
// register a container under the same identifier). And callbacks that can still be on their
// way when a minimap is released (a message already dispatched, a role reset already emitted)
// check it before they touch the object: the release removes the minimap from the register
// under the client core lock before deleting it, and those callbacks take the lock first, so
// they either finish before the release or find the minimap gone. A callback names its minimap
// by serial number, never by address: the next minimap often lies at the released one's
// address, and must not take a message meant for the released one.
//
// Every function here but NextSerial requires the caller to hold the client core lock.
#pragma once

#include <cstdint>

class IPluginContainer;
class Pyr_MiniMap;

namespace minimap {

/// A number no other minimap of this process has had: one more than the last one given.
std::uint64_t NextSerial() noexcept;
/// Adds a newly created minimap, with its serial number.
void AddLive(Pyr_MiniMap* minimap);
/// Removes a minimap that is about to be deleted.
void RemoveLive(const Pyr_MiniMap* minimap);
/// The live minimap with serial number `serial`, or null when it is gone.
Pyr_MiniMap* FindLive(std::uint64_t serial);
/// The live minimap that is `container`, or null when `container` is none of ours.
Pyr_MiniMap* FindLive(const IPluginContainer* container);

}  // namespace minimap
