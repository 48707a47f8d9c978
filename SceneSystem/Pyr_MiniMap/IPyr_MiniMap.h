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

#include "function/Signal.h"
#include "plugin/Export.h"
#include "plugin/PluginContainer.h"
#include "protocol/MiniMapProtocol.h"

/// The minimap container's type identifier (Pyr_MiniMap), a child of the host.
inline constexpr GUID MiniMapContainerTypeId =
    MakeGuid(0x1B2B9CDF, 0xD2FC, 0x4DBE, 0xB35F, 0xB1368733E731);

namespace pyr {

// The wire protocol is defined in protocol/MiniMapProtocol.h; the module's interface names
// its constants here, in this namespace.
using proto::MiniMapMsgType;
using proto::MiniMapRequestMsgId;
using proto::MiniMapRequestOp;
using proto::MiniMapSyncMsgId;
using proto::MiniMapSyncOp;

/// Interval of the poll timer, in the timer service's unit (milliseconds).
inline constexpr int MiniMapPollInterval = 5000;

class PYR_INTERFACE IPyr_MiniMap : public IPluginContainer {
public:
    /// Emitted after the server set, removed or cleared markers in the player or NPC store.
    /// Slots run on the thread that delivered the message, with the client core lock held, in
    /// connection order. An exception from a slot ends that emission, as os::Signal::Emit
    /// does: it is logged ("Pyr_MiniMap::OnMiniMapMsg() error : <what>") and the slots
    /// connected after it do not hear that change. A slot must not throw.
    os::Signal<void(), os::LastValue<void>> MarkersChanged;
    /// Emitted when the server ended its answer to a query; the query store then holds it.
    /// Queries carry no identifier: the store holds every record that arrived since the last
    /// RequestNpcQuery, so the answers of queries sent one after another, without waiting
    /// for their QueryFinished, mingle there. Slots run like those of MarkersChanged.
    os::Signal<void(), os::LastValue<void>> QueryFinished;

    /// The player store itself (no copy). Hold the client core lock while reading it.
    virtual MiniMapPlayerInfoMap& GetPlayerInfoMap() = 0;
    /// The NPC store itself. Hold the client core lock while reading it.
    virtual MiniMapNpcInfoMap& GetNpcInfoMap() = 0;
    /// The query store itself: the NPC records answering the last query. Hold the client core
    /// lock while reading it.
    virtual MiniMapNpcInfoMap& GetQueryNpcInfoMap() = 0;
    /// Empties the query store and sends an NPC query with `queryArg` to the server. Returns
    /// whether the request was sent: the game-server client's SendNetMsg result (false from
    /// the reference client while it has no connection, as in the start hooks, before it
    /// connected), and false, with nothing sent, while the game-server client is not known
    /// (before the tree started). The answer arrives as messages and ends with QueryFinished.
    virtual bool RequestNpcQuery(int queryArg) = 0;
    /// Switches the poll request of the poll timer on or off (off at creation). Any thread.
    virtual void SetPollEnabled(const bool& enabled) = 0;
};

}  // namespace pyr
