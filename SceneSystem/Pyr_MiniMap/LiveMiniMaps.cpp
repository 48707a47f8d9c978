#include "SceneSystem/Pyr_MiniMap/LiveMiniMaps.h"

#include <atomic>
#include <vector>

#include "SceneSystem/Pyr_MiniMap/Pyr_MiniMap.h"

namespace minimap {
namespace {

struct Entry {
    Pyr_MiniMap* minimap;
    std::uint64_t serial;
};

// Addresses as the entry points handed them out, with their serial numbers. A host has one
// minimap, so the list is short. Constant-initialised: every message checks it, and a
// function-local static would add a guard check to each.
constinit std::vector<Entry> live;

// Minimaps may be made on any thread (the tests make them without the core lock).
constinit std::atomic<std::uint64_t> lastSerial{0};

}  // namespace

std::uint64_t NextSerial() noexcept {
    return lastSerial.fetch_add(1, std::memory_order_relaxed) + 1;
}

void AddLive(Pyr_MiniMap* minimap) {
    live.push_back(Entry{minimap, minimap->GetSerial()});
}

void RemoveLive(const Pyr_MiniMap* minimap) {
    std::erase_if(live, [minimap](const Entry& entry) { return entry.minimap == minimap; });
}

Pyr_MiniMap* FindLive(std::uint64_t serial) {
    // A plain walk: every message asks, the list holds one entry, and std::find_if's unrolled
    // loop spends more on its trip count than on the comparison.
    for (const Entry& entry : live) {
        if (entry.serial == serial) {
            return entry.minimap;
        }
    }
    return nullptr;
}

Pyr_MiniMap* FindLive(const IPluginContainer* container) {
    for (const Entry& entry : live) {
        if (static_cast<const IPluginContainer*>(entry.minimap) == container) {
            return entry.minimap;
        }
    }
    return nullptr;
}

}  // namespace minimap
