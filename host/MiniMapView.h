// MiniMapView: the user-interface plug-in of the reference host.
//
// At start it finds the minimap and the role system among its siblings and subscribes to
// MarkersChanged, QueryFinished and RoleResetSignal; at shutdown it unsubscribes. Each signal
// it receives becomes one report to its listener: the event, its serial number, the stores'
// sizes and, when the view tracks changes, what changed in the three stores since the last
// report (see host/StoreMirror.h; the host feeds it every delivered message through Touch).
// A report costs the same whatever the stores hold; a listener that wants whole stores reads
// them itself (Snapshot), as rarely as it draws. The minimap emits while holding the client
// core lock, and so does the role system; the listener therefore runs under that lock, on the
// thread that emitted, and sees the stores consistent. Subscribing and unsubscribing happen in the
// start and shutdown hooks, which the host runs holding the core lock too, so the signals are never
// changed while they emit.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <typeinfo>
#include <vector>

#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "host/MarkerSnapshot.h"
#include "host/StoreMirror.h"
#include "plugin/PluginContainer.h"

namespace host {

/// {4F7A2C1E-8B3D-4E59-9A6F-2D1C7B8E5A30}: the reference host's user interface.
inline constexpr GUID MiniMapViewTypeId =
    MakeGuid(0x4F7A2C1E, 0x8B3D, 0x4E59, 0x9A6F, 0x2D1C7B8E5A30);

enum class ViewEvent : std::uint8_t { MarkersChanged, QueryFinished, RoleReset };

/// "MarkersChanged", "QueryFinished", "RoleReset".
const char* ToString(ViewEvent event) noexcept;

struct ViewReport {
    ViewEvent event = ViewEvent::MarkersChanged;
    /// 1 for the first signal the view received, then one more for each.
    std::uint64_t serial = 0;
    std::size_t players = 0;
    std::size_t npcs = 0;
    std::size_t query = 0;
    /// What changed since the previous report; null when the view does not track changes.
    const std::vector<MarkerChange>* changes = nullptr;
};

class MiniMapView final : public pyr::Container<MiniMapView, MiniMapViewTypeId> {
public:
    /// Called for every signal received, under the client core lock, on the emitting thread.
    using Listener = std::function<void(const ViewReport&)>;

    /// `trackChanges`: keep a copy of the stores and report what changed (for the event
    /// stream); otherwise reports carry the sizes only. `touchedLimit`: see StoreMirror.
    MiniMapView(Listener listener, bool trackChanges,
                std::size_t touchedLimit = StoreMirror::kTouchedLimit);
    ~MiniMapView() override;

    std::uint16_t GetContainerOrder() const override { return 30; }

    /// Finds the minimap and the role system and subscribes; false when either is missing.
    bool OnParentStart() override;
    /// Unsubscribes.
    void OnPrepareParentShutdown() override;

    /// The minimap found at start; null before.
    pyr::IPyr_MiniMap* GetMiniMap() const noexcept { return minimap; }
    /// The stores now, read under the client core lock; empty before start. As long as the
    /// stores: for drawing, not for every event.
    MarkerSnapshot Snapshot() const;
    /// The stores as of the last report, as the change tracking keeps them (empty when it does
    /// not); read under the client core lock.
    const StoreMirror& GetTracked() const noexcept { return mirror; }
    /// The query store's rows now; call from the listener (the core lock held).
    std::vector<NpcRow> QueryRows() const;

    /// The game-server client's delivery thread, before the message reaches the module: lets
    /// the change tracking know which keys it touches.
    void Touch(const NetMsg& msg) {
        if (tracking) {
            mirror.Touch(msg);
        }
    }

private:
    void OnMarkersChanged();
    void OnQueryFinished();
    void OnRoleReset();
    void Report(ViewEvent event);
    void Unsubscribe();

    Listener listener;
    const bool tracking;
    StoreMirror mirror;        ///< under the core lock (its touched keys: the delivery thread's)
    std::uint64_t serial = 0;  ///< under the core lock
    pyr::IPyr_MiniMap* minimap = nullptr;
    pyr::IRoleSystem* roles = nullptr;
};

}  // namespace host
