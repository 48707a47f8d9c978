// marker_printer: a user-interface plug-in module that prints the minimap's markers.
//
// The module exports the four entry points of every plug-in module. InitPluginContainer puts
// one MarkerPrinter under the host; when the host starts its tree, the printer finds the
// minimap among its siblings, subscribes to MarkersChanged and QueryFinished and switches
// polling on. Each MarkersChanged prints the player and NPC stores; the first one that brings
// markers also asks the server for every NPC (RequestNpcQuery(-1)); QueryFinished prints the
// answer. At shutdown, or when the minimap leaves first, the printer unsubscribes.
//
// Threads and locks: the minimap emits its signals on the game-server client's thread while
// it holds the client core lock, so the slots below run under that lock and read the stores
// in place. Subscribing and unsubscribing take the same lock, so a signal never changes while
// it emits. The entry points take it too, before any container lock, as the module's do.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "function/Bind.h"
#include "net/LogFormat.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"
#include "plugin/PluginEntry.h"
#include "protocol/MiniMapProtocol.h"

namespace {

/// {6E2B8A41-3C7D-4F15-A2E9-5B8C1D7F3A64}: the printer's own container type.
constexpr GUID MarkerPrinterTypeId = MakeGuid(0x6E2B8A41, 0x3C7D, 0x4F15, 0xA2E9, 0x5B8C1D7F3A64);

/// The query argument that the reference simulator reads as "every NPC kind".
constexpr int kEveryNpc = -1;

template <class Map>
std::vector<typename Map::mapped_type> SortedById(const Map& store) {
    std::vector<typename Map::mapped_type> records;
    records.reserve(store.size());
    for (const auto& entry : store) {
        records.push_back(entry.second);
    }
    std::sort(records.begin(), records.end(),
              [](const auto& a, const auto& b) { return proto::GetId(a) < proto::GetId(b); });
    return records;
}

void PrintNpc(const _MiniMapNpcInfo& npc) {
    std::printf("  npc %llu \"%s\" at (%.1f, %.1f) kind %d",
                static_cast<unsigned long long>(proto::GetId(npc)), proto::GetName(npc).c_str(),
                static_cast<double>(proto::GetX(npc)), static_cast<double>(proto::GetY(npc)),
                static_cast<int>(proto::GetKind(npc)));
    if (proto::GetQuest(npc) != proto::kNoQuest) {
        std::printf(" quest %d", static_cast<int>(proto::GetQuest(npc)));
    }
    std::printf("\n");
}

class MarkerPrinter final : public pyr::Container<MarkerPrinter, MarkerPrinterTypeId> {
public:
    /// Deleted under the client core lock: unsubscribing then cannot race an emission.
    ~MarkerPrinter() override { Unsubscribe(); }

    /// Start phase: every sibling is prepared by now. Without a minimap there is nothing to
    /// show, and the start fails.
    bool OnParentStart() override {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        pyr::IPyr_MiniMap* found = nullptr;
        if (!QuerySiblingContainer(found, MiniMapContainerTypeId, false)) {
            std::printf("marker_printer: no minimap among the host's plug-ins\n");
            std::fflush(stdout);
            return false;
        }
        minimap = found;
        minimap->MarkersChanged.Add(os::bind(&MarkerPrinter::OnMarkersChanged, this));
        minimap->QueryFinished.Add(os::bind(&MarkerPrinter::OnQueryFinished, this));
        const bool on = true;
        minimap->SetPollEnabled(on);
        std::printf("marker_printer: subscribed to the minimap; polling on\n");
        std::fflush(stdout);
        return true;
    }

    void OnPrepareParentShutdown() override {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        Unsubscribe();
    }

    /// The minimap is leaving before the printer (its module is released first). Its release
    /// holds the client core lock around the unregistration, so the signals are not emitting.
    void OnSiblingContainerUnregistered(IPluginContainer* sibling) override {
        if (sibling != nullptr && sibling == static_cast<IPluginContainer*>(minimap)) {
            Unsubscribe();
        }
    }

    void Unsubscribe() {
        if (minimap != nullptr) {
            minimap->MarkersChanged.Remove(os::bind(&MarkerPrinter::OnMarkersChanged, this));
            minimap->QueryFinished.Remove(os::bind(&MarkerPrinter::OnQueryFinished, this));
            minimap = nullptr;
        }
    }

private:
    // Slots: on the game-server client's thread, under the client core lock.
    void OnMarkersChanged() {
        const MiniMapPlayerInfoMap& players = minimap->GetPlayerInfoMap();
        const MiniMapNpcInfoMap& npcs = minimap->GetNpcInfoMap();
        std::printf("MarkersChanged: %zu players, %zu NPCs\n", players.size(), npcs.size());
        for (const _MiniMapPlayerInfo& player : SortedById(players)) {
            std::printf("  player %llu at (%.1f, %.1f)\n",
                        static_cast<unsigned long long>(proto::GetId(player)),
                        static_cast<double>(proto::GetX(player)),
                        static_cast<double>(proto::GetY(player)));
        }
        for (const _MiniMapNpcInfo& npc : SortedById(npcs)) {
            PrintNpc(npc);
        }
        if (!queried && (!players.empty() || !npcs.empty())) {
            // The query store is emptied by the request: we hold the core lock, as a reader of
            // the stores must.
            queried = minimap->RequestNpcQuery(kEveryNpc);
            std::printf("marker_printer: asked for every NPC: %s\n", queried ? "sent" : "not sent");
        }
        std::fflush(stdout);
    }

    void OnQueryFinished() {
        const MiniMapNpcInfoMap& answer = minimap->GetQueryNpcInfoMap();
        std::printf("QueryFinished: %zu NPCs\n", answer.size());
        for (const _MiniMapNpcInfo& npc : SortedById(answer)) {
            PrintNpc(npc);
        }
        std::fflush(stdout);
    }

    /// Found at start; null before, and after the printer unsubscribed. Not owned.
    pyr::IPyr_MiniMap* minimap = nullptr;
    bool queried = false;
};

/// The printer this module created, so that release never deletes a container of another
/// module registered under the same identifier. Guarded by the client core lock.
MarkerPrinter* created = nullptr;

/// The module's four entry points, through PYR_PLUGIN_ENTRY_POINTS. Nothing is thrown out of
/// them: the container framework reports refusals as false and a log line.
struct Entry {
    static bool Init() { return true; }
    static bool Release() { return true; }

    static bool InitContainer(IPluginContainer* host) {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        if (!IsClientCoreHost(host) || created != nullptr) {
            return true;
        }
        CatchAll(
            [host] {
                auto printer = std::make_unique<MarkerPrinter>();
                if (host->RegisterChildContainer(printer.get())) {
                    created = printer.release();
                }
            },
            [](const char* what) {
                std::printf("marker_printer: cannot create the printer: %s\n",
                            what != nullptr ? what : "unknown exception");
            });
        return true;
    }

    static void ReleaseContainer(IPluginContainer* host) {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        if (host == nullptr || created == nullptr ||
            host->FindChildContainer(MarkerPrinterTypeId) != created) {
            return;
        }
        host->UnregisterChildContainer(created);
        delete created;  // unsubscribes from the minimap if still subscribed
        created = nullptr;
    }
};

}  // namespace

PYR_PLUGIN_ENTRY_POINTS(Entry);
