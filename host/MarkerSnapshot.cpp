#include "host/MarkerSnapshot.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "protocol/MiniMapProtocol.h"

namespace host {

namespace {

NpcRow RowOf(const _MiniMapNpcInfo& record) {
    return NpcRow{proto::GetId(record), proto::GetName(record), proto::GetX(record),
                  proto::GetY(record),  proto::GetKind(record), proto::GetQuest(record)};
}

std::vector<NpcRow> RowsOf(const MiniMapNpcInfoMap& store) {
    std::vector<NpcRow> rows;
    rows.reserve(store.size());
    for (const auto& [id, record] : store) {
        rows.push_back(RowOf(record));
    }
    std::sort(rows.begin(), rows.end(),
              [](const NpcRow& a, const NpcRow& b) { return a.id < b.id; });
    return rows;
}

/// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t min = 0;
    std::uint32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1Fu;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0Fu;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07u;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) {
            return 0;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

void AppendFields(std::string& out, const _MiniMapPlayerInfo& p) {
    out += ",\"x\":";
    out += FormatJsonFloat(proto::GetX(p));
    out += ",\"y\":";
    out += FormatJsonFloat(proto::GetY(p));
}

void AppendFields(std::string& out, const _MiniMapNpcInfo& n) {
    out += ",\"name\":";
    out += FormatJsonString(proto::GetName(n));
    out += ",\"x\":";
    out += FormatJsonFloat(proto::GetX(n));
    out += ",\"y\":";
    out += FormatJsonFloat(proto::GetY(n));
    out += ",\"kind\":";
    out += std::to_string(proto::GetKind(n));
    out += ",\"quest\":";
    out += std::to_string(proto::GetQuest(n));
}

}  // namespace

MarkerSnapshot SnapshotOf(const MiniMapPlayerInfoMap& players, const MiniMapNpcInfoMap& npcs,
                          const MiniMapNpcInfoMap& query) {
    MarkerSnapshot snapshot;
    snapshot.players.reserve(players.size());
    for (const auto& [id, record] : players) {
        snapshot.players.push_back(
            PlayerRow{proto::GetId(record), proto::GetX(record), proto::GetY(record)});
    }
    std::sort(snapshot.players.begin(), snapshot.players.end(),
              [](const PlayerRow& a, const PlayerRow& b) { return a.id < b.id; });
    snapshot.npcs = RowsOf(npcs);
    snapshot.query = RowsOf(query);
    return snapshot;
}

MarkerSnapshot ReadStores(pyr::IPyr_MiniMap& minimap) {
    return SnapshotOf(minimap.GetPlayerInfoMap(), minimap.GetNpcInfoMap(),
                      minimap.GetQueryNpcInfoMap());
}

std::string FormatJsonFloat(float value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

std::string FormatJsonString(const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t n = Utf8Length(text, i); n != 0) {
            out.append(text, i, n);
            i += n;
        } else {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
            ++i;
        }
    }
    out += '"';
    return out;
}

void AppendEventJson(std::string& out, const char* event, std::uint64_t serial,
                     const std::vector<MarkerChange>& changes) {
    out += "{\"version\":";
    out += std::to_string(kEventStreamVersion);
    out += ",\"serial\":";
    out += std::to_string(serial);
    out += ",\"event\":";
    out += FormatJsonString(event);
    out += ",\"changes\":[";
    bool first = true;
    for (const MarkerChange& change : changes) {
        out += first ? "{\"store\":\"" : ",{\"store\":\"";
        first = false;
        out += ToString(change.store);
        switch (change.op) {
            case MarkerChange::Op::Clear:
                out += "\",\"op\":\"clear\"}";
                continue;
            case MarkerChange::Op::Remove:
                out += "\",\"op\":\"remove\",\"id\":";
                out += std::to_string(change.id);
                break;
            case MarkerChange::Op::Set:
                out += "\",\"op\":\"set\",\"id\":";
                out += std::to_string(change.id);
                if (change.player != nullptr) {
                    AppendFields(out, *change.player);
                } else if (change.npc != nullptr) {
                    AppendFields(out, *change.npc);
                }
                break;
        }
        out += '}';
    }
    out += "]}\n";
}

}  // namespace host
