#include "SceneSystem/Pyr_MiniMap/LiveMiniMaps.h"

#include <algorithm>
#include <vector>

#include "SceneSystem/Pyr_MiniMap/Pyr_MiniMap.h"

namespace minimap {
namespace {

// Addresses as the entry points handed them out. A host has one minimap, so the list is short.
// Constant-initialised: every message checks it, and a function-local static would add a guard
// check to each.
constinit std::vector<Pyr_MiniMap*> live;

}  // namespace

void AddLive(Pyr_MiniMap* minimap) {
    live.push_back(minimap);
}

void RemoveLive(const Pyr_MiniMap* minimap) {
    live.erase(std::remove(live.begin(), live.end(), minimap), live.end());
}

bool IsLive(const void* address) {
    // A plain walk: every message asks, the list holds one entry, and std::any_of's unrolled
    // loop spends more on its trip count than on the comparison.
    for (const Pyr_MiniMap* m : live) {
        if (m == address) {
            return true;
        }
    }
    return false;
}

Pyr_MiniMap* FindLive(const IPluginContainer* container) {
    for (Pyr_MiniMap* m : live) {
        if (static_cast<const IPluginContainer*>(m) == container) {
            return m;
        }
    }
    return nullptr;
}

}  // namespace minimap
