#include "host/MiniMapView.h"
#include "SceneSystem/Interfaces/IRoleSystem.h"
#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"

#include <exception>
#include <string>

#include "function/Bind.h"
#include "function/EnumName.h"
#include "net/LogFormat.h"
#include "plugin/HostServices.h"

namespace host {

const char* ToString(ViewEvent event) noexcept {
    static constexpr const char* kNames[] = {"MarkersChanged", "QueryFinished", "RoleReset"};
    return os::EnumName<ViewEvent::RoleReset>(event, kNames, "?");
}

MiniMapView::MiniMapView(Listener listener, bool trackChanges, std::size_t touchedLimit)
    : listener(std::move(listener)), tracking(trackChanges), mirror(touchedLimit) {}

// Nothing to undo here: the shutdown hook unsubscribed, and the minimap may be gone by now.
MiniMapView::~MiniMapView() = default;

bool MiniMapView::OnParentStart() {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    pyr::IPyr_MiniMap* foundMap = nullptr;
    pyr::IRoleSystem* foundRoles = nullptr;
    if (!QuerySiblingContainer(foundMap, MiniMapContainerTypeId, false) ||
        !QuerySiblingContainer(foundRoles, RoleSystemTypeId, false)) {
        LogText(3,
                "MiniMapView::OnParentStart() error : the minimap or the role system is missing");
        return false;
    }
    minimap = foundMap;
    roles = foundRoles;
    minimap->MarkersChanged.Add(os::bind(&MiniMapView::OnMarkersChanged, this));
    minimap->QueryFinished.Add(os::bind(&MiniMapView::OnQueryFinished, this));
    roles->RoleResetSignal.Add(os::bind(&MiniMapView::OnRoleReset, this));
    return true;
}

void MiniMapView::OnPrepareParentShutdown() {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    Unsubscribe();
}

void MiniMapView::Unsubscribe() {
    if (minimap != nullptr) {
        minimap->MarkersChanged.Remove(os::bind(&MiniMapView::OnMarkersChanged, this));
        minimap->QueryFinished.Remove(os::bind(&MiniMapView::OnQueryFinished, this));
    }
    if (roles != nullptr) {
        roles->RoleResetSignal.Remove(os::bind(&MiniMapView::OnRoleReset, this));
    }
    minimap = nullptr;
    roles = nullptr;
}

MarkerSnapshot MiniMapView::Snapshot() const {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    return minimap != nullptr ? ReadStores(*minimap) : MarkerSnapshot{};
}

std::vector<NpcRow> MiniMapView::QueryRows() const {
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    return minimap != nullptr ? SnapshotOf({}, {}, minimap->GetQueryNpcInfoMap()).query
                              : std::vector<NpcRow>{};
}

void MiniMapView::OnMarkersChanged() {
    Report(ViewEvent::MarkersChanged);
}

void MiniMapView::OnQueryFinished() {
    Report(ViewEvent::QueryFinished);
}

void MiniMapView::OnRoleReset() {
    Report(ViewEvent::RoleReset);
}

void MiniMapView::Report(ViewEvent event) {
    // The emitter holds the core lock already; taking it again costs nothing and keeps the
    // read safe should a signal ever be emitted without it.
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    if (minimap == nullptr || !listener) {
        return;
    }
    ViewReport report;
    report.event = event;
    report.serial = ++serial;
    report.players = minimap->GetPlayerInfoMap().size();
    report.npcs = minimap->GetNpcInfoMap().size();
    report.query = minimap->GetQueryNpcInfoMap().size();
    if (tracking) {
        // The role reset may come from any thread: it compares whole stores, which it has
        // just emptied, and leaves the delivery thread's touched keys alone.
        report.changes =
            event == ViewEvent::RoleReset ? &mirror.Resync(*minimap) : &mirror.Update(*minimap);
    }
    try {
        listener(report);
    } catch (const std::exception& e) {
        LogText(3, (std::string("MiniMapView listener error : ") + e.what()).c_str());
    }
}

}  // namespace host
