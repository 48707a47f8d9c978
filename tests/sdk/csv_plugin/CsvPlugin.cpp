// csv_plugin: the small plug-in module the SDK test builds out of tree, twice (with the CMake
// package and with pkg-config alone), and loads into minimap-client --plugin.
//
// At start it finds the minimap among its siblings and subscribes to both signals. On every
// MarkersChanged it rewrites $CSV_PLUGIN_DIR/npcs-<id>.csv with the NPC store, and the first
// time NPCs are there it asks for the NPCs of kind 2; on QueryFinished it writes the answer to
// query-<id>.csv. CSV_PLUGIN_ID (a compile definition) tells the two builds apart: it is part
// of the container type and of the file names, so both can plug into one host.
//
// The entry points come from PYR_PLUGIN_ENTRY_POINTS, which checks them against the SDK's
// prototypes. The slots run under the client core lock, as the SDK promises.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "PyrMiniMapVersion.h"
#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "function/Bind.h"
#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"
#include "plugin/PluginEntry.h"
#include "protocol/MiniMapProtocol.h"

#ifndef CSV_PLUGIN_ID
#error "CSV_PLUGIN_ID names this build"
#endif

static_assert(PYR_MINIMAP_VERSION >= 100, "built against the 0.1 SDK or later");

namespace {

constexpr GUID kCsvPluginTypeId =
    MakeGuid(0x3D5A7C21, 0x8E4F, 0x4B6A, 0x9C1D, 0x2F7E5A3B0000 + CSV_PLUGIN_ID);
constexpr int kAskedKind = 2;

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + "\"";
}

void WriteCsv(const char* stem, const MiniMapNpcInfoMap& store) {
    const char* dir = std::getenv("CSV_PLUGIN_DIR");
    if (dir == nullptr) {
        return;
    }
    std::vector<_MiniMapNpcInfo> rows;
    for (const auto& entry : store) {
        rows.push_back(entry.second);
    }
    std::sort(rows.begin(), rows.end(),
              [](const auto& a, const auto& b) { return proto::GetId(a) < proto::GetId(b); });
    const std::string path =
        std::string(dir) + "/" + stem + "-" + std::to_string(CSV_PLUGIN_ID) + ".csv";
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file, "id,name,x,y,kind,quest\n");
    for (const _MiniMapNpcInfo& npc : rows) {
        std::fprintf(file, "%llu,%s,%.1f,%.1f,%d,%d\n",
                     static_cast<unsigned long long>(proto::GetId(npc)),
                     Quoted(proto::GetName(npc)).c_str(), static_cast<double>(proto::GetX(npc)),
                     static_cast<double>(proto::GetY(npc)), static_cast<int>(proto::GetKind(npc)),
                     static_cast<int>(proto::GetQuest(npc)));
    }
    std::fclose(file);
}

class CsvPlugin final : public pyr::Container<CsvPlugin, kCsvPluginTypeId> {
public:
    bool OnParentStart() override {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        if (!QuerySiblingContainer(minimap, MiniMapContainerTypeId, false)) {
            return false;
        }
        minimap->MarkersChanged.Add(os::bind(&CsvPlugin::OnMarkersChanged, this));
        minimap->QueryFinished.Add(os::bind(&CsvPlugin::OnQueryFinished, this));
        return true;
    }
    void OnPrepareParentShutdown() override { Unsubscribe(); }
    void OnSiblingContainerUnregistered(IPluginContainer* sibling) override {
        if (sibling != nullptr && sibling == static_cast<IPluginContainer*>(minimap)) {
            Unsubscribe();
        }
    }
    void Unsubscribe() {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        if (minimap != nullptr) {
            minimap->MarkersChanged.Remove(os::bind(&CsvPlugin::OnMarkersChanged, this));
            minimap->QueryFinished.Remove(os::bind(&CsvPlugin::OnQueryFinished, this));
            minimap = nullptr;
        }
    }

private:
    void OnMarkersChanged() {
        WriteCsv("npcs", minimap->GetNpcInfoMap());
        if (!asked && !minimap->GetNpcInfoMap().empty()) {
            asked = minimap->RequestNpcQuery(kAskedKind);
        }
    }
    void OnQueryFinished() { WriteCsv("query", minimap->GetQueryNpcInfoMap()); }

    pyr::IPyr_MiniMap* minimap = nullptr;
    bool asked = false;
};

CsvPlugin* created = nullptr;

struct Entry {
    static bool Init() { return true; }
    static bool Release() { return true; }
    static bool InitContainer(IPluginContainer* host) {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        if (!IsClientCoreHost(host) || created != nullptr) {
            return false;
        }
        auto* plugin = new CsvPlugin;
        if (!host->RegisterChildContainer(plugin)) {
            delete plugin;
            return false;
        }
        created = plugin;
        return true;
    }
    static void ReleaseContainer(IPluginContainer* host) {
        os::ThreadLockHandle coreLock(GetClientCoreLock());
        if (host == nullptr || created == nullptr) {
            return;
        }
        created->Unsubscribe();
        host->UnregisterChildContainer(created);
        delete created;
        created = nullptr;
    }
};

}  // namespace

PYR_PLUGIN_ENTRY_POINTS(Entry);
