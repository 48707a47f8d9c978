// pyr::IPyr_MiniMap: the minimap plug-in, as the user interface sees it.
//
// The minimap keeps the client's minimap markers in step with the game server: three stores of
// marker records (players, NPCs, and the NPC records answering the last query), two signals
// that tell when they changed, a poll switch and the NPC query. It is registered as a child of
// the host container under MiniMapContainerTypeId.
//
// Reading the stores: the accessors return the stores themselves. Messages change them under
// the client core lock (GetClientCoreLock) on the game-server client's thread, so a reader
// holds that lock while it reads. Slots of MarkersChanged and QueryFinished already run under
// it.
#pragma once

#include <cstdint>

#include "SceneSystem/Pyr_MiniMap/MiniMapRecords.h"
#include "function/Signal.h"
#include "plugin/Export.h"
#include "plugin/PluginContainer.h"

namespace pyr {

/// Message type of every minimap message, both directions.
inline constexpr unsigned short MiniMapMsgType = 32;
/// Message identifier of the server's synchronisation messages.
inline constexpr unsigned short MiniMapSyncMsgId = 254;
/// Message identifier of the minimap's requests to the server.
inline constexpr unsigned short MiniMapRequestMsgId = 255;
/// Interval of the poll timer, in the timer service's unit (milliseconds).
inline constexpr int MiniMapPollInterval = 5000;

/// Operation codes of a synchronisation message (its chunk 0, a 32-bit integer).
enum class MiniMapSyncOp : std::int32_t {
    Set = 0,          ///< selector, then a player (true) or NPC (false) record: store it
    Remove = 1,       ///< selector, then a 64-bit identifier: remove that record
    Clear = 2,        ///< empty the NPC and player stores
    QueryResult = 3,  ///< an NPC record answering the query: add it unless present
    QueryEnd = 4,     ///< the answer to the query is complete
};

/// Operation codes of a request (its chunk 0, a 32-bit integer).
enum class MiniMapRequestOp : std::int32_t {
    Query = 3,  ///< chunk 1: the query argument, a 32-bit integer
    Poll = 5,   ///< no further chunk
};

class PYR_INTERFACE IPyr_MiniMap : public IPluginContainer {
public:
    /// Emitted after the server set, removed or cleared markers in the player or NPC store.
    /// Slots run on the thread that delivered the message, with the client core lock held.
    os::Signal<void(), os::LastValue<void>> MarkersChanged;
    /// Emitted when the server ended its answer to a query; the query store then holds it.
    /// Slots run like those of MarkersChanged.
    os::Signal<void(), os::LastValue<void>> QueryFinished;

    /// The player store itself (no copy). Hold the client core lock while reading it.
    virtual MiniMapPlayerInfoMap& GetPlayerInfoMap() = 0;
    /// The NPC store itself. Hold the client core lock while reading it.
    virtual MiniMapNpcInfoMap& GetNpcInfoMap() = 0;
    /// The query store itself: the NPC records answering the last query. Hold the client core
    /// lock while reading it.
    virtual MiniMapNpcInfoMap& GetQueryNpcInfoMap() = 0;
    /// Empties the query store and sends an NPC query with `queryArg` to the server. Returns
    /// whether the request was sent; false, with nothing sent, while the game-server client is
    /// not known (before the tree started). The answer arrives as messages and ends with
    /// QueryFinished.
    virtual bool RequestNpcQuery(int queryArg) = 0;
    /// Switches the poll request of the poll timer on or off (off at creation). Any thread.
    virtual void SetPollEnabled(const bool& enabled) = 0;
};

}  // namespace pyr
