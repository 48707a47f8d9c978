#include "capture/Decode.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "net/NetMsg.h"
#include "protocol/MiniMapProtocol.h"

namespace capture {

namespace {

constexpr char kHex[] = "0123456789abcdef";

/// Escapes with `escape(byte)` every byte that is not printable ASCII or valid UTF-8, and with
/// `escapeC1(code point)` the control characters U+0080 to U+009F: valid UTF-8, but a terminal
/// may act on them as it does on ESC (U+009B starts a control sequence).
template <class Escape, class EscapeC1>
std::string Escaped(const std::string& text, Escape escape, EscapeC1 escapeC1) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t n = c >= 0x80 ? Utf8Length(text, i) : 0; n != 0) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (c == 0xC2 && next < 0xA0) {
                out += escapeC1(next);
            } else {
                out.append(text, i, n);
            }
            i += n;
        } else {
            out += escape(c);
            ++i;
        }
    }
    return out;
}

std::string HexByte(unsigned char c) {
    return {kHex[c >> 4], kHex[c & 15]};
}

class Fields {
public:
    explicit Fields(DecodedMessage& m) : m(m) {}
    void U(const char* name, std::uint64_t v) { Add(name, Field::Type::Unsigned).u = v; }
    void I(const char* name, std::int64_t v) { Add(name, Field::Type::Signed).i = v; }
    void F(const char* name, float v) { Add(name, Field::Type::Float).f = v; }
    void T(const char* name, std::string v, Field::Type type = Field::Type::Text) {
        Add(name, type).text = std::move(v);
    }

private:
    /// The new last field, its value still to be set.
    Field& Add(const char* name, Field::Type type) {
        Field& f = m.fields.emplace_back();
        f.name = name;
        f.type = type;
        return f;
    }

    DecodedMessage& m;
};

/// Chunk `index`'s data when it is exactly `size` bytes; otherwise null, and the message's
/// error says what the receiver would find.
const char* ChunkData(const NetMsg& msg, int index, std::size_t size, const char* what,
                      DecodedMessage& out) {
    const Chunk* chunk = msg.GetChunk(index);
    if (chunk == nullptr) {
        out.error = "chunk " + std::to_string(index) + " (" + what + ") is missing";
        return nullptr;
    }
    const std::size_t data =
        chunk->GetChunkSize() - static_cast<std::size_t>(net::kChunkHeaderSize);
    if (data != size) {
        out.error = "chunk " + std::to_string(index) + " (" + what + ") holds " +
                    std::to_string(data) + " bytes, not " + std::to_string(size);
        return nullptr;
    }
    return chunk->GetData();
}

bool ReadInt(const NetMsg& msg, int index, const char* what, DecodedMessage& out,
             std::int32_t& value) {
    const char* p = ChunkData(msg, index, 4, what, out);
    if (p != nullptr) {
        value = static_cast<std::int32_t>(
            proto::detail::LoadLE<std::uint32_t>(reinterpret_cast<const unsigned char*>(p)));
    }
    return p != nullptr;
}

void AddNpc(Fields& f, const char* p) {
    _MiniMapNpcInfo r;
    std::memcpy(&r, p, sizeof r);
    f.U("npc.id", proto::GetId(r));
    f.T("npc.name", proto::GetName(r), Field::Type::Name);
    f.F("npc.x", proto::GetX(r));
    f.F("npc.y", proto::GetY(r));
    f.I("npc.kind", proto::GetKind(r));
    f.I("npc.quest", proto::GetQuest(r));
    f.U("npc.reserved", proto::detail::LoadLE<std::uint32_t>(
                            reinterpret_cast<const unsigned char*>(p) + proto::kNpcReservedOffset));
}

void DecodeSync(const NetMsg& msg, DecodedMessage& out, Fields& f) {
    std::int32_t op = 0;
    if (!ReadInt(msg, 0, "operation", out, op)) {
        out.name = "Sync";
        return;
    }
    f.I("op", op);
    switch (static_cast<proto::MiniMapSyncOp>(op)) {
        case proto::MiniMapSyncOp::Set:
        case proto::MiniMapSyncOp::Remove: {
            const bool set = op == static_cast<std::int32_t>(proto::MiniMapSyncOp::Set);
            out.name = set ? "Set" : "Remove";
            const char* selector = ChunkData(msg, 1, 1, "selector", out);
            if (selector == nullptr) {
                return;
            }
            const bool player = *selector != 0;
            f.U("selector", static_cast<unsigned char>(*selector));
            f.T("store", player ? "player" : "npc");
            if (!set) {
                const char* id = ChunkData(msg, 2, 8, "id", out);
                if (id != nullptr) {
                    f.U("remove.id", proto::detail::LoadLE<std::uint64_t>(
                                         reinterpret_cast<const unsigned char*>(id)));
                }
            } else if (player) {
                const char* p = ChunkData(msg, 2, sizeof(_MiniMapPlayerInfo), "player record", out);
                if (p != nullptr) {
                    _MiniMapPlayerInfo r;
                    std::memcpy(&r, p, sizeof r);
                    f.U("player.id", proto::GetId(r));
                    f.F("player.x", proto::GetX(r));
                    f.F("player.y", proto::GetY(r));
                }
            } else if (const char* p =
                           ChunkData(msg, 2, sizeof(_MiniMapNpcInfo), "NPC record", out)) {
                AddNpc(f, p);
            }
            return;
        }
        case proto::MiniMapSyncOp::Clear:
            out.name = "Clear";
            return;
        case proto::MiniMapSyncOp::QueryResult:
            out.name = "QueryResult";
            if (const char* p = ChunkData(msg, 1, sizeof(_MiniMapNpcInfo), "NPC record", out)) {
                AddNpc(f, p);
            }
            return;
        case proto::MiniMapSyncOp::QueryEnd:
            out.name = "QueryEnd";
            return;
    }
    out.name = "Sync";
}

void DecodeRequest(const NetMsg& msg, DecodedMessage& out, Fields& f) {
    std::int32_t op = 0;
    out.name = "Request";
    if (!ReadInt(msg, 0, "request", out, op)) {
        return;
    }
    f.I("op", op);
    if (op == static_cast<std::int32_t>(proto::MiniMapRequestOp::Poll)) {
        out.name = "Poll";
    } else if (op == static_cast<std::int32_t>(proto::MiniMapRequestOp::Query)) {
        out.name = "Query";
        std::int32_t arg = 0;
        if (ReadInt(msg, 1, "query argument", out, arg)) {
            f.I("query.arg", arg);
        }
    }
}

void DecodeSimulator(const NetMsg& msg, DecodedMessage& out, Fields& f) {
    // Each simulator message carries at most one int chunk: what the chunk holds (for a
    // malformed-message note) and its field, or null for none.
    struct Kind {
        proto::SimulatorMsgId id;
        const char* name;
        const char* what;
        const char* field;
    };
    static constexpr Kind kKinds[] = {
        {proto::SimulatorMsgId::Hello, "Hello", "extension version", "hello.version"},
        {proto::SimulatorMsgId::RoleReset, "RoleReset", nullptr, nullptr},
        {proto::SimulatorMsgId::Tick, "Tick", "serial", "tick.serial"},
    };
    const auto id = static_cast<proto::SimulatorMsgId>(msg.GetMsgID());
    for (const Kind& kind : kKinds) {
        if (kind.id != id) {
            continue;
        }
        out.name = kind.name;
        std::int32_t value = 0;
        if (kind.what != nullptr && ReadInt(msg, 0, kind.what, out, value)) {
            f.I(kind.field, value);
        }
        return;
    }
    out.name = "Other";
}

std::string FieldText(const Field& f, bool json) {
    switch (f.type) {
        case Field::Type::Unsigned:
            return std::to_string(f.u);
        case Field::Type::Signed:
            return std::to_string(f.i);
        case Field::Type::Float:
            return JsonFloat(f.f);
        case Field::Type::Text:
            return json ? JsonString(f.text) : f.text;
        case Field::Type::Name:
            return json ? JsonString(f.text) : "\"" + EscapeText(f.text) + "\"";
    }
    return {};
}

/// Seconds since the origin with microseconds: "12.345678".
std::string Seconds(std::int64_t ns) {
    const bool negative = ns < 0;
    const std::uint64_t us = static_cast<std::uint64_t>(negative ? -ns : ns) / 1000;
    char text[40];
    std::snprintf(text, sizeof text, "%s%llu.%06llu", negative ? "-" : "",
                  static_cast<unsigned long long>(us / 1000000),
                  static_cast<unsigned long long>(us % 1000000));
    return text;
}

const char* KindName(CapturedItem::Kind kind) {
    switch (kind) {
        case CapturedItem::Kind::Open:
            return "open";
        case CapturedItem::Kind::Message:
            return "message";
        case CapturedItem::Kind::Close:
            return "close";
        case CapturedItem::Kind::Problem:
            return "problem";
    }
    return "?";
}

}  // namespace

std::size_t Utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1Fu, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0Fu, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07u, min = 0x10000;
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
    return cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ? 0 : length;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out += i == 0 ? "" : " ";
        out += HexByte(static_cast<unsigned char>(bytes[i]));
    }
    return out;
}

std::string EscapeText(const std::string& bytes) {
    return Escaped(
        bytes, [](unsigned char c) { return "\\x" + HexByte(c); },
        [](unsigned char c1) { return "\\xc2\\x" + HexByte(c1); });
}

std::string JsonString(const std::string& bytes) {
    const auto codePoint = [](unsigned char c) { return "\\u00" + HexByte(c); };
    return "\"" + Escaped(bytes, codePoint, codePoint) + "\"";
}

std::string JsonFloat(float value) {
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

DecodedMessage DecodeMessage(const std::string& bytes) {
    DecodedMessage out;
    const auto at = [&](std::size_t i) {
        return i + 1 < bytes.size()
                   ? static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[i]) |
                                                (static_cast<unsigned char>(bytes[i + 1]) << 8))
                   : std::uint16_t{0};
    };
    out.type = at(0);
    out.id = at(2);
    out.length = at(4);
    ReceivedNetMsg parsed;
    const NetMsgParseResult result = ParseNetMsg(bytes.data(), bytes.size(), parsed);
    if (!result) {
        out.malformed = true;
        out.name = "Malformed";
        out.error = result.text;
        return out;
    }
    const NetMsg& msg = *parsed.Get();
    for (int i = 0; i < msg.GetChunkCount(); ++i) {
        out.chunks.push_back({msg.GetChunk(i)->GetChunkID(), msg.GetChunk(i)->GetChunkSize()});
    }
    Fields f(out);
    if (out.type == proto::MiniMapMsgType && out.id == proto::MiniMapSyncMsgId) {
        DecodeSync(msg, out, f);
    } else if (out.type == proto::MiniMapMsgType && out.id == proto::MiniMapRequestMsgId) {
        DecodeRequest(msg, out, f);
    } else if (out.type == proto::kSimulatorMsgType) {
        DecodeSimulator(msg, out, f);
    } else {
        out.name = "Other";
    }
    return out;
}

std::string FormatText(const CapturedItem& item, std::int64_t originNs) {
    std::string line = Seconds(item.timeNs - originNs) + " #" + std::to_string(item.frame) +
                       " conn " + std::to_string(item.connection) + " ";
    switch (item.kind) {
        case CapturedItem::Kind::Open:
            return line + "opened\n";
        case CapturedItem::Kind::Close:
            return line + "closed\n";
        case CapturedItem::Kind::Problem:
            return line + ToString(item.direction) + " problem: " + item.error +
                   (item.bytes.empty() ? "" : "\n    " + Hex(item.bytes)) + "\n";
        case CapturedItem::Kind::Message:
            break;
    }
    const DecodedMessage m = DecodeMessage(item.bytes);
    line += std::string(ToString(item.direction)) + " " + m.name + " type " +
            std::to_string(m.type) + " id " + std::to_string(m.id) + " length " +
            std::to_string(m.length);
    for (const Field& f : m.fields) {
        line += " " + f.name + "=" + FieldText(f, false);
    }
    if (!m.chunks.empty()) {
        line += " chunks";
        for (const ChunkInfo& c : m.chunks) {
            line += " " + std::to_string(c.id) + ":" + std::to_string(c.size);
        }
    }
    if (m.malformed) {
        line +=
            ": " + item.error + (item.error.empty() ? m.error : "") + "\n    " + Hex(item.bytes);
    } else if (!m.error.empty()) {
        line += " (unreadable: " + m.error + ")";
    }
    return line + "\n";
}

std::string FormatJson(const CapturedItem& item, std::int64_t originNs) {
    std::string out = "{\"frame\":" + std::to_string(item.frame) +
                      ",\"time\":" + Seconds(item.timeNs - originNs) +
                      ",\"conn\":" + std::to_string(item.connection) + ",\"event\":\"" +
                      KindName(item.kind) + "\"";
    if (item.kind == CapturedItem::Kind::Open || item.kind == CapturedItem::Kind::Close) {
        return out + "}";
    }
    out += ",\"dir\":\"" + std::string(ToString(item.direction)) + "\"";
    if (item.kind == CapturedItem::Kind::Problem) {
        return out + ",\"error\":" + JsonString(item.error) + ",\"hex\":\"" + Hex(item.bytes) +
               "\"}";
    }
    const DecodedMessage m = DecodeMessage(item.bytes);
    out += ",\"type\":" + std::to_string(m.type) + ",\"id\":" + std::to_string(m.id) +
           ",\"length\":" + std::to_string(m.length) + ",\"msg\":\"" + m.name + "\"";
    // Dotted names become nested objects: "npc.name" is {"npc":{"name":...}}.
    std::string group;
    for (const Field& f : m.fields) {
        const std::size_t dot = f.name.find('.');
        const std::string head = dot == std::string::npos ? std::string() : f.name.substr(0, dot);
        if (head != group) {
            if (!group.empty()) {
                out += "}";
            }
            if (!head.empty()) {
                out += ",\"" + head + "\":{";
            }
            group = head;
        } else if (!head.empty()) {
            out += ",";
        }
        out += (head.empty() ? ",\"" + f.name : "\"" + f.name.substr(dot + 1)) +
               "\":" + FieldText(f, true);
    }
    if (!group.empty()) {
        out += "}";
    }
    out += ",\"chunks\":[";
    for (std::size_t i = 0; i < m.chunks.size(); ++i) {
        out += (i == 0 ? "{\"id\":" : ",{\"id\":") + std::to_string(m.chunks[i].id) +
               ",\"size\":" + std::to_string(m.chunks[i].size) + "}";
    }
    out += "]";
    const std::string error = m.malformed && !item.error.empty() ? item.error : m.error;
    out += ",\"malformed\":" + std::string(m.malformed ? "true" : "false");
    if (!error.empty()) {
        out += ",\"error\":" + JsonString(error);
    }
    if (m.malformed) {
        out += ",\"hex\":\"" + Hex(item.bytes) + "\"";
    }
    return out + "}";
}

}  // namespace capture
