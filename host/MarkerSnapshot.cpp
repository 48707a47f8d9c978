#include "host/MarkerSnapshot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

#include "capture/Decode.h"
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

// Names are escaped by the capture decoder's rule for UTF-8, so both print a name alike.
using capture::Utf8Length;

template <class Integer>
void AppendInteger(std::string& out, Integer value) {
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, ec == std::errc() ? end : buffer);
}

void AppendFields(std::string& out, const _MiniMapPlayerInfo& p) {
    out += ",\"x\":";
    AppendJsonFloat(out, proto::GetX(p));
    out += ",\"y\":";
    AppendJsonFloat(out, proto::GetY(p));
}

void AppendFields(std::string& out, const _MiniMapNpcInfo& n) {
    out += ",\"name\":";
    AppendJsonString(out, proto::GetNameView(n));
    out += ",\"x\":";
    AppendJsonFloat(out, proto::GetX(n));
    out += ",\"y\":";
    AppendJsonFloat(out, proto::GetY(n));
    out += ",\"kind\":";
    AppendInteger(out, proto::GetKind(n));
    out += ",\"quest\":";
    AppendInteger(out, proto::GetQuest(n));
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

void AppendJsonFloat(std::string& out, float value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    const std::string_view text(buffer, ec == std::errc() ? end - buffer : 0);
    out += text;
    if (text.find_first_of(".e") == std::string_view::npos) {
        out += ".0";
    }
}

std::string FormatJsonFloat(float value) {
    std::string out;
    AppendJsonFloat(out, value);
    return out;
}

void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    struct LineBreak {
        std::string_view utf8;
        std::string_view escaped;
    };
    static constexpr LineBreak kLineBreaks[] = {{"\xE2\x80\xA8", "\\u2028"},
                                                {"\xE2\x80\xA9", "\\u2029"}};
    // As the code point of the byte's value: a control character, or a byte of no UTF-8.
    const auto escape = [&out](unsigned char c) {
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    };
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        // Plain characters in runs, appended at once.
        std::size_t run = i;
        while (run < text.size()) {
            const auto c = static_cast<unsigned char>(text[run]);
            if (c < 0x20 || c == '"' || c == '\\' || c >= 0x7F) {
                break;
            }
            ++run;
        }
        out.append(text, i, run - i);
        i = run;
        if (i == text.size()) {
            break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x80) {
            // Control characters and 0x7F.
            escape(c);
            ++i;
        } else if (const std::size_t n = Utf8Length(text, i);
                   c == 0xC2 && n == 2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // U+0080 to U+009F: control characters, which a terminal showing the stream may
            // act on (U+009B starts a control sequence); U+0085 is also a line break to
            // Python's splitlines().
            escape(static_cast<unsigned char>(text[i + 1]));
            i += n;
        } else if (n != 0) {
            // U+2028 and U+2029 are valid in a JSON string, but line breaks to JavaScript
            // before ES2019 and to Python's splitlines(): escaped, a line stays one.
            const std::string_view code = text.substr(i, n);
            const auto breaks = std::find_if(std::begin(kLineBreaks), std::end(kLineBreaks),
                                             [&](const auto& b) { return b.utf8 == code; });
            if (breaks != std::end(kLineBreaks)) {
                out += breaks->escaped;
            } else {
                out.append(code);
            }
            i += n;
        } else {
            escape(c);
            ++i;
        }
    }
    out += '"';
}

std::string FormatJsonString(const std::string& text) {
    std::string out;
    AppendJsonString(out, text);
    return out;
}

void AppendEventJson(std::string& out, const char* event, std::uint64_t serial,
                     const std::vector<MarkerChange>& changes) {
    out += "{\"version\":";
    AppendInteger(out, kEventStreamVersion);
    out += ",\"serial\":";
    AppendInteger(out, serial);
    out += ",\"event\":";
    AppendJsonString(out, event);
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
                AppendInteger(out, change.id);
                break;
            case MarkerChange::Op::Set:
                out += "\",\"op\":\"set\",\"id\":";
                AppendInteger(out, change.id);
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
