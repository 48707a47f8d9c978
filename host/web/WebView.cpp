#include "host/web/WebView.h"

#include <type_traits>

#include "plinth/Lock.h"
#include "plugin/HostServices.h"

namespace host::web {

namespace {

template <class Map>
void AppendWholeStore(std::vector<MarkerChange>& changes, MarkerStore which, const Map& store) {
    changes.push_back({MarkerChange::Op::Clear, which, 0});
    for (const std::uint64_t id : SortedIds(store)) {
        MarkerChange change{MarkerChange::Op::Set, which, id};
        if constexpr (std::is_same_v<Map, MiniMapPlayerInfoMap>) {
            change.player = &store.at(id);
        } else {
            change.npc = &store.at(id);
        }
        changes.push_back(change);
    }
}

}  // namespace

std::vector<MarkerChange> WholeStores(const StoreMirror& mirror) {
    std::vector<MarkerChange> changes;
    AppendWholeStore(changes, MarkerStore::Players, mirror.Players());
    AppendWholeStore(changes, MarkerStore::Npcs, mirror.Npcs());
    AppendWholeStore(changes, MarkerStore::Query, mirror.Query());
    return changes;
}

WebView::WebView(WebServerOptions options, LiveControls& controls,
                 std::vector<std::string> kindNames, const MiniMapView& view)
    : controls(controls),
      kindNames(std::move(kindNames)),
      view(view),
      server(std::move(options),
             WebServer::Hooks{[this](const auto& admit) { Join(admit); },
                              [this](const WebControl& control) { Control(control); }}) {}

void WebView::Show(const ViewReport& report) {
    serial = report.serial;
    line.clear();
    AppendEventJson(line, ToString(report.event), report.serial, *report.changes);
    line.pop_back();  // the newline: a WebSocket message is one line already
    server.Publish(line);
    if (report.event == ViewEvent::RoleReset) {
        StatusChanged();
    }
}

std::string WebView::StatusLine() {
    const LiveStatus s = controls.GetStatus();
    return R"({"status":{"server":)" + FormatJsonString(s.server) + R"(,"connected":)" +
           (s.connected ? "true" : "false") + R"(,"polling":)" + (s.polling ? "true" : "false") +
           R"(,"pollSeconds":)" + FormatJsonFloat(static_cast<float>(s.pollSeconds)) +
           R"(,"battle":)" + (s.battle ? "true" : "false") + R"(,"role":)" +
           std::to_string(s.role) + R"(,"queryKind":)" + std::to_string(s.queryArg) + "}}";
}

void WebView::StatusChanged() {
    std::lock_guard<std::mutex> guard(statusMutex);
    std::string status = StatusLine();
    if (status != lastStatus) {
        lastStatus = status;
        server.Publish(std::move(status));
    }
}

void WebView::Join(const std::function<void(std::vector<std::string>)>& admit) {
    std::string kinds = R"({"kinds":[)";
    for (const std::string& name : kindNames) {
        kinds += FormatJsonString(name) + ",";
    }
    if (kinds.back() == ',') {
        kinds.pop_back();
    }
    kinds += "]}";
    // The map and the status as of one moment: every line published after it reaches this
    // browser too, and none before.
    os::ThreadLockHandle coreLock(GetClientCoreLock());
    std::lock_guard<std::mutex> guard(statusMutex);
    lastStatus = StatusLine();
    std::string snapshot;
    AppendEventJson(snapshot, "Snapshot", serial, WholeStores(view.GetTracked()));
    snapshot.pop_back();
    admit({std::move(kinds), lastStatus, std::move(snapshot)});
}

void WebView::Control(const WebControl& control) {
    const LiveStatus status = controls.GetStatus();
    switch (control.kind) {
        case WebControl::Kind::Poll:
            if (status.polling != control.on) {
                controls.TogglePolling();
            }
            break;
        case WebControl::Kind::Battle:
            if (status.battle != control.on) {
                controls.ToggleBattle();
            }
            break;
        case WebControl::Kind::Query:
            controls.ChangeQueryArg(control.queryKind - status.queryArg);
            controls.SendQuery();
            break;
        case WebControl::Kind::ResetRole:
            controls.ResetRole();
            break;
    }
    StatusChanged();
}

}  // namespace host::web
