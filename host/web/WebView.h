// WebView: the live map in a browser, beside the terminal map and the event stream
// (`minimap-client --web`). It publishes the user interface's reports as the event stream's
// change lines (docs/events.md, the same encoder) to every browser through its WebServer; a
// browser that connects gets first the element names and the status, then the whole map as
// one line of changes (event "Snapshot", from the view's tracked copy of the stores, so
// exactly as of the last line), then every line after it. The page's controls come
// back as WebControl messages and do what the map's keys do.
//
// Threads: Show runs under the client core lock on the thread that emitted (as the view's
// listener does); StatusChanged on any thread; the controls run on the web server's thread.
// Lock order: the core lock, then the status lock, then the server's own.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/CursesView.h"
#include "host/MarkerSnapshot.h"
#include "host/MiniMapView.h"
#include "host/web/WebServer.h"

namespace host::web {

class WebView {
public:
    /// `view` tracks changes and outlives the web view's Stop.
    WebView(WebServerOptions options, LiveControls& controls, std::vector<std::string> kindNames,
            const MiniMapView& view);

    /// Starts serving; false with `error` set when the address is refused or taken.
    bool Start(std::string& error) { return server.Start(error); }
    void Stop() { server.Stop(); }
    std::string GetUrl() const { return server.GetUrl(); }

    /// Under the client core lock: one report of the user interface, with its changes.
    void Show(const ViewReport& report);
    /// Any thread: the connection or a control changed; the status goes out if it differs.
    void StatusChanged();

private:
    void Join(const std::function<void(std::vector<std::string>)>& admit);
    void Control(const WebControl& control);
    std::string StatusLine();

    LiveControls& controls;
    const std::vector<std::string> kindNames;
    const MiniMapView& view;
    std::uint64_t serial = 0;  ///< under the core lock: the last report's
    std::string line;          ///< under the core lock: the line being written
    std::mutex statusMutex;
    std::string lastStatus;  ///< under statusMutex
    WebServer server;
};

/// The changes that replace all three stores by `mirror`'s: a clear of each, then a set of
/// every record in ascending id (pointing into `mirror`).
std::vector<MarkerChange> WholeStores(const StoreMirror& mirror);

}  // namespace host::web
