// A copy of the minimap's three stores in ascending id order, with the record fields read
// through the shared protocol layout, and the lines of `--events jsonl`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "SceneSystem/Pyr_MiniMap/IPyr_MiniMap.h"
#include "host/StoreMirror.h"

namespace host {

struct PlayerRow {
    std::uint64_t id = 0;
    float x = 0;
    float y = 0;
};

struct NpcRow {
    std::uint64_t id = 0;
    /// The record's name up to its first NUL.
    std::string name;
    float x = 0;
    float y = 0;
    std::int32_t kind = 0;
    std::int32_t quest = -1;
};

struct MarkerSnapshot {
    std::vector<PlayerRow> players;
    std::vector<NpcRow> npcs;
    std::vector<NpcRow> query;
};

/// Reads the three stores. The caller holds the client core lock.
MarkerSnapshot ReadStores(pyr::IPyr_MiniMap& minimap);

/// Builds the snapshot from stores directly (what ReadStores does after the accessors).
MarkerSnapshot SnapshotOf(const MiniMapPlayerInfoMap& players, const MiniMapNpcInfoMap& npcs,
                          const MiniMapNpcInfoMap& query);

/// The version of the event stream's lines (docs/events.md); a consumer refuses others.
inline constexpr int kEventStreamVersion = 1;

/// Appends one line of `--events jsonl`, with its newline (docs/events.md):
///     {"version":1,"serial":3,"event":"MarkersChanged","changes":[
///      {"store":"npcs","op":"set","id":7,"name":"Smith","x":1.0,"y":2.0,"kind":3,"quest":-1},
///      {"store":"players","op":"remove","id":2},{"store":"query","op":"clear"}]}
/// Ids are plain integers with all 64 bits; numbers are the shortest text that reads back as
/// the same float, with ".0" added to whole numbers; a float that is not finite (a server may
/// send any bits) is null. Names are JSON strings: quotes, backslashes and control characters
/// escaped, valid UTF-8 kept, and any other byte written as the code point of the same value
/// (\u00XX), so every line is valid JSON whatever bytes a server sent.
void AppendEventJson(std::string& out, const char* event, std::uint64_t serial,
                     const std::vector<MarkerChange>& changes);

/// The float as AppendEventJson writes it.
void AppendJsonFloat(std::string& out, float value);
std::string FormatJsonFloat(float value);
/// The text as a JSON string, quotes included.
void AppendJsonString(std::string& out, std::string_view text);
std::string FormatJsonString(const std::string& text);

}  // namespace host
