#include "capture/CaptureReader.h"

#include <cstdio>

#include "net/NetMsg.h"
#include "plinth/Path.h"

namespace capture {

bool ReadCaptureFile(const std::string& path, std::string& bytes, std::string& error) {
    return os::ReadWholeFile(path, kMaxCaptureFileBytes, bytes, path, error);
}

namespace {

std::uint16_t Be16(const std::string& d, std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(d[at]) << 8) |
                                      static_cast<std::uint8_t>(d[at + 1]));
}
std::uint32_t Be32(const std::string& d, std::size_t at) {
    return (std::uint32_t{Be16(d, at)} << 16) | Be16(d, at + 2);
}

std::string Ipv4Text(const std::string& d, std::size_t at) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<std::uint8_t>(d[at]),
                  static_cast<std::uint8_t>(d[at + 1]), static_cast<std::uint8_t>(d[at + 2]),
                  static_cast<std::uint8_t>(d[at + 3]));
    return text;
}

std::string Ipv6Text(const std::string& d, std::size_t at) {
    std::string text;
    for (int i = 0; i < 8; ++i) {
        char group[8];
        std::snprintf(group, sizeof group, i == 0 ? "%x" : ":%x",
                      Be16(d, at + static_cast<std::size_t>(i) * 2));
        text += group;
    }
    return "[" + text + "]";
}

bool LooksLikeHeader(const std::string& payload) {
    if (payload.size() < 6) {
        return false;
    }
    const unsigned type = static_cast<std::uint8_t>(payload[0]) |
                          (static_cast<unsigned>(static_cast<std::uint8_t>(payload[1])) << 8);
    const unsigned length = static_cast<std::uint8_t>(payload[4]) |
                            (static_cast<unsigned>(static_cast<std::uint8_t>(payload[5])) << 8);
    return (type == 32 || type == 33) && length >= 6 &&
           length <= static_cast<unsigned>(net::kMaxMessageLength);
}

/// Whether a first payload is a request, sent by the client.
bool IsRequest(const std::string& payload) {
    if (payload.size() < 4) {
        return false;
    }
    const unsigned type = static_cast<std::uint8_t>(payload[0]);
    const unsigned id = static_cast<std::uint8_t>(payload[2]);
    return payload[1] == 0 && payload[3] == 0 &&
           ((type == 32 && id == 255) || (type == 33 && id == 3));
}

}  // namespace

CaptureReader::CaptureReader(std::string fileBytes, CaptureReaderOptions options)
    : file(std::move(fileBytes)), options(options) {}

std::optional<std::int64_t> CaptureReader::GetOriginNs() const {
    if (file.GetStartTimeNs()) {
        return file.GetStartTimeNs();
    }
    return firstPacketNs;
}

bool CaptureReader::Next(CapturedItem& item) {
    while (pending.empty() && !finished) {
        Packet packet;
        const FileReader::Status status = file.Next(packet);
        if (status == FileReader::Status::Packet) {
            if (!firstPacketNs) {
                firstPacketNs = packet.timeNs;
            }
            last = packet;
            OnPacket(packet);
        } else {
            finished = true;
            if (status == FileReader::Status::End) {
                Finish();
            }
        }
    }
    if (pending.empty()) {
        return false;
    }
    item = std::move(pending.front());
    pending.pop_front();
    return true;
}

void CaptureReader::OnPacket(const Packet& packet) {
    const std::string& d = packet.data;
    std::size_t at = 0;
    unsigned version = 0;
    switch (packet.linkType) {
        case kLinkTypeEthernet: {
            if (d.size() < 14) {
                return;
            }
            std::uint16_t type = Be16(d, 12);
            at = 14;
            while ((type == 0x8100 || type == 0x88A8) && d.size() >= at + 4) {
                type = Be16(d, at + 2);
                at += 4;
            }
            version = type == 0x0800 ? 4 : type == 0x86DD ? 6 : 0;
            break;
        }
        case kLinkTypeLinuxSll:
        case kLinkTypeLinuxSll2: {
            const bool two = packet.linkType == kLinkTypeLinuxSll2;
            at = two ? 20 : 16;
            if (d.size() < at) {
                return;
            }
            const std::uint16_t type = Be16(d, two ? 0 : 14);
            version = type == 0x0800 ? 4 : type == 0x86DD ? 6 : 0;
            break;
        }
        case kLinkTypeNull: {
            if (d.size() < 4) {
                return;
            }
            const std::uint32_t family = Be32(d, 0);
            const std::uint32_t swapped = __builtin_bswap32(family);
            const auto is6 = [](std::uint32_t f) { return f == 24 || f == 28 || f == 30; };
            version = family == 2 || swapped == 2 ? 4 : is6(family) || is6(swapped) ? 6 : 0;
            at = 4;
            break;
        }
        case kLinkTypeRaw:
        case 228:
        case 229:
            version = d.empty() ? 0 : static_cast<std::uint8_t>(d[0]) >> 4;
            break;
        default:
            return;
    }
    std::string src;
    std::string dst;
    std::size_t end = d.size();
    if (version == 4) {
        if (d.size() < at + 20) {
            return;
        }
        const std::size_t ihl = (static_cast<std::uint8_t>(d[at]) & 0x0Fu) * 4u;
        const std::size_t total = Be16(d, at + 2);
        const std::uint16_t fragment = Be16(d, at + 6);
        if (ihl < 20 || static_cast<std::uint8_t>(d[at + 9]) != 6 || (fragment & 0x3FFF) != 0 ||
            total < ihl || d.size() < at + ihl) {
            return;
        }
        end = std::min(d.size(), at + total);  // Ethernet pads short frames
        src = Ipv4Text(d, at + 12);
        dst = Ipv4Text(d, at + 16);
        at += ihl;
    } else if (version == 6) {
        if (d.size() < at + 40 || static_cast<std::uint8_t>(d[at + 6]) != 6) {
            return;
        }
        end = std::min(d.size(), at + 40 + Be16(d, at + 4));
        src = Ipv6Text(d, at + 8);
        dst = Ipv6Text(d, at + 24);
        at += 40;
    } else {
        return;
    }
    if (end < at + 20) {
        return;
    }
    const std::size_t header = (static_cast<std::uint8_t>(d[at + 12]) >> 4) * 4u;
    if (header < 20 || end < at + header) {
        return;
    }
    OnSegment(packet, src, Be16(d, at), dst, Be16(d, at + 2), Be32(d, at + 4),
              static_cast<std::uint8_t>(d[at + 13]), d.substr(at + header, end - at - header));
}

void CaptureReader::OnSegment(const Packet& packet, const std::string& src, std::uint16_t srcPort,
                              const std::string& dst, std::uint16_t dstPort, std::uint32_t seq,
                              std::uint8_t flags, std::string payload) {
    const bool forward = std::tie(src, srcPort) < std::tie(dst, dstPort);
    const Key key = forward ? Key{src, srcPort, dst, dstPort} : Key{dst, dstPort, src, srcPort};
    const bool syn = (flags & kTcpSyn) != 0;
    const bool synOnly = syn && (flags & kTcpAck) == 0;
    auto it = streams.find(key);
    if (it != streams.end() && it->second.closed && synOnly) {
        streams.erase(it);  // the same ports again: a new connection
        it = streams.end();
    }
    if (it == streams.end()) {
        if (payload.empty() && !syn) {
            return;  // a bare ACK or FIN of a conversation we never saw begin
        }
        it = streams.emplace(key, Stream{}).first;
    }
    Stream& stream = it->second;
    if (!stream.decided) {
        const std::uint16_t wanted = options.serverPort.value_or(kServerPort);
        const bool serverIsSource = srcPort == wanted   ? true
                                    : dstPort == wanted ? false
                                    : synOnly           ? false
                                    : syn               ? true
                                                        : !IsRequest(payload);
        stream.decided = true;
        stream.serverAddress = serverIsSource ? src : dst;
        stream.serverPort = serverIsSource ? srcPort : dstPort;
        if (stream.serverPort == wanted) {
            stream.verdict = Verdict::Ours;
        } else if (options.serverPort) {
            stream.verdict = Verdict::NotOurs;
        }
    }
    if (stream.verdict == Verdict::NotOurs) {
        return;
    }
    if (stream.verdict == Verdict::Ours && stream.connection == 0) {
        stream.connection = ++connections;
        Emit(CapturedItem::Kind::Open, stream, true, packet, {}, {});
    }
    const bool fromClient = !(src == stream.serverAddress && srcPort == stream.serverPort);
    Take(stream, fromClient, packet, seq, flags, std::move(payload));
}

void CaptureReader::Take(Stream& stream, bool fromClient, const Packet& packet, std::uint32_t seq,
                         std::uint8_t flags, std::string payload) {
    Side& side = fromClient ? stream.fromClient : stream.fromServer;
    if (side.ended) {
        return;
    }
    if ((flags & kTcpSyn) != 0) {
        side.started = true;
        side.next = seq + 1;
        seq += 1;
    }
    if (!side.started && !payload.empty()) {
        side.started = true;
        side.next = seq;
    }
    if (!payload.empty()) {
        const auto delta = static_cast<std::int32_t>(seq - side.next);
        if (delta > 0) {
            side.ahead.emplace(seq, std::move(payload));
        } else if (static_cast<std::size_t>(-static_cast<std::int64_t>(delta)) < payload.size()) {
            side.buffer.append(payload,
                               static_cast<std::size_t>(-static_cast<std::int64_t>(delta)));
            side.next +=
                static_cast<std::uint32_t>(payload.size()) - static_cast<std::uint32_t>(-delta);
        }
        // Segments that were ahead and now join on.
        for (auto a = side.ahead.begin(); a != side.ahead.end();) {
            const auto d = static_cast<std::int32_t>(a->first - side.next);
            if (d > 0) {
                ++a;
                continue;
            }
            const auto skip = static_cast<std::size_t>(-static_cast<std::int64_t>(d));
            if (skip < a->second.size()) {
                side.buffer.append(a->second, skip);
                side.next += static_cast<std::uint32_t>(a->second.size() - skip);
            }
            side.ahead.erase(a);
            a = side.ahead.begin();
        }
        Frame(stream, fromClient, packet);
    }
    if ((flags & (kTcpFin | kTcpRst)) != 0) {
        // Where this side's bytes end: what is missing before it was not captured.
        EndSide(stream, fromClient, packet, seq + static_cast<std::uint32_t>(payload.size()));
        if ((flags & kTcpRst) != 0) {
            EndSide(stream, !fromClient, packet, std::nullopt);
        }
    }
}

void CaptureReader::Frame(Stream& stream, bool fromClient, const Packet& packet) {
    Side& side = fromClient ? stream.fromClient : stream.fromServer;
    if (stream.verdict == Verdict::Unknown) {
        // On another port, the conversation is ours when its first bytes read as a header.
        if (side.buffer.size() < static_cast<std::size_t>(net::kHeaderSize)) {
            return;
        }
        if (!LooksLikeHeader(side.buffer)) {
            stream.verdict = Verdict::NotOurs;
            stream.fromClient = Side{};
            stream.fromServer = Side{};
            return;
        }
        stream.verdict = Verdict::Ours;
        stream.connection = ++connections;
        Emit(CapturedItem::Kind::Open, stream, true, packet, {}, {});
    }
    std::size_t used = 0;
    while (!side.broken &&
           side.buffer.size() - used >= static_cast<std::size_t>(net::kHeaderSize)) {
        const char* p = side.buffer.data() + used;
        const NetMsgFrame frame = FrameNetMsg(p, side.buffer.size() - used);
        if (frame.state == NetMsgFrameState::Invalid) {
            ReceivedNetMsg parsed;
            const std::string header(p, static_cast<std::size_t>(net::kHeaderSize));
            Emit(CapturedItem::Kind::Message, stream, fromClient, packet, header,
                 ParseNetMsg(header.data(), header.size(), parsed).text);
            used += header.size();
            side.broken = true;
            break;
        }
        if (frame.state == NetMsgFrameState::NeedMore || side.buffer.size() - used < frame.size) {
            break;
        }
        ReceivedNetMsg parsed;
        const NetMsgParseResult result = ParseNetMsg(p, frame.size, parsed);
        Emit(CapturedItem::Kind::Message, stream, fromClient, packet, std::string(p, frame.size),
             result ? std::string() : result.text);
        used += frame.size;
    }
    side.buffer.erase(0, used);
    if (side.broken && !side.buffer.empty()) {
        Emit(CapturedItem::Kind::Problem, stream, fromClient, packet, {},
             std::to_string(side.buffer.size()) +
                 " bytes after a message with an invalid length field, not read as messages");
        side.buffer.clear();
    }
}

void CaptureReader::EndSide(Stream& stream, bool fromClient, const Packet& packet,
                            std::optional<std::uint32_t> endSeq) {
    Side& side = fromClient ? stream.fromClient : stream.fromServer;
    if (side.ended) {
        return;
    }
    side.ended = true;
    if (stream.verdict != Verdict::Ours) {
        return;
    }
    std::size_t missing = 0;
    std::size_t held = 0;
    if (!side.ahead.empty()) {
        missing = side.ahead.begin()->first - side.next;
        for (const auto& [seq, bytes] : side.ahead) {
            held += bytes.size();
        }
        side.ahead.clear();
    } else if (endSeq && static_cast<std::int32_t>(*endSeq - side.next) > 0) {
        missing = *endSeq - side.next;
    }
    if (missing != 0) {
        Emit(CapturedItem::Kind::Problem, stream, fromClient, packet, {},
             std::to_string(missing) + " bytes missing from the capture" +
                 (held != 0 ? "; the " + std::to_string(held) +
                                  " bytes after them are not read as messages"
                            : std::string()));
    }
    if (!side.buffer.empty() && !side.broken) {
        std::size_t wanted = static_cast<std::size_t>(net::kHeaderSize);
        if (side.buffer.size() >= wanted) {
            wanted = FrameNetMsg(side.buffer.data(), side.buffer.size()).size;
        }
        Emit(CapturedItem::Kind::Message, stream, fromClient, packet, side.buffer,
             "connection cut in the middle of a message (" + std::to_string(side.buffer.size()) +
                 " of " + std::to_string(wanted) + " bytes)");
        side.buffer.clear();
    }
    if (stream.fromClient.ended && stream.fromServer.ended && !stream.closed) {
        stream.closed = true;
        Emit(CapturedItem::Kind::Close, stream, fromClient, packet, {}, {});
    }
}

void CaptureReader::Finish() {
    // The file ended with conversations still open: what they hold that is not a whole
    // message is shown, but no close is made up.
    for (auto& [key, stream] : streams) {
        for (const bool fromClient : {true, false}) {
            Side& side = fromClient ? stream.fromClient : stream.fromServer;
            if (stream.verdict == Verdict::Ours && !stream.closed &&
                (!side.buffer.empty() || !side.ahead.empty())) {
                const std::size_t bytes = side.buffer.size();
                Emit(CapturedItem::Kind::Problem, stream, fromClient, last, side.buffer,
                     "the capture ends " +
                         (bytes != 0 ? "inside a message (" + std::to_string(bytes) + " bytes)"
                                     : std::string("with bytes missing")));
                side.buffer.clear();
                side.ahead.clear();
            }
        }
    }
}

void CaptureReader::Emit(CapturedItem::Kind kind, const Stream& stream, bool fromClient,
                         const Packet& packet, std::string bytes, std::string error) {
    CapturedItem item;
    item.kind = kind;
    item.frame = packet.frame;
    item.timeNs = packet.timeNs;
    item.connection = stream.connection;
    item.direction = fromClient ? Direction::ClientToServer : Direction::ServerToClient;
    item.bytes = std::move(bytes);
    item.error = std::move(error);
    pending.push_back(std::move(item));
}

}  // namespace capture
