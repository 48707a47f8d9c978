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

/// Whether the bytes of `segment` from `from` on can be the start of a message: a header, or
/// as much of one as the segment holds.
bool StartsMessage(const std::string& segment, std::size_t from) {
    const std::size_t size = segment.size() - from;
    if (size >= 6) {
        return LooksLikeHeader(segment.substr(from, 6));
    }
    const auto type = static_cast<std::uint8_t>(segment[from]);
    return (type == 32 || type == 33) && (size < 2 || segment[from + 1] == 0);
}

/// The size of the message that `partial` begins (its header's, when even that is cut).
std::size_t WantedBytes(const std::string& partial) {
    const auto header = static_cast<std::size_t>(net::kHeaderSize);
    return partial.size() < header ? header : FrameNetMsg(partial.data(), partial.size()).size;
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

CaptureReader::CaptureReader(CaptureReaderOptions options) : options(options) {}

std::optional<std::int64_t> CaptureReader::GetOriginNs() const {
    if (file.GetStartTimeNs()) {
        return file.GetStartTimeNs();
    }
    return firstPacketNs;
}

bool CaptureReader::Next(CapturedItem& item) {
    // Items are handed out in frame order: one later than a held segment waits, since a gap
    // may yet make that segment's messages items of its own, earlier frame.
    needsInput = false;
    while (!finished && (pending.empty() ||
                         (!heldFrames.empty() && pending.begin()->first > *heldFrames.begin()))) {
        Packet packet;
        const FileReader::Status status = file.Next(packet);
        if (status == FileReader::Status::NeedMore) {
            needsInput = true;
            return false;
        }
        if (status == FileReader::Status::Packet) {
            if (!firstPacketNs) {
                firstPacketNs = packet.timeNs;
            }
            last = Stamp{packet.frame, packet.timeNs};
            ExpireSyns(packet.timeNs);
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
    item = std::move(pending.begin()->second);
    pending.erase(pending.begin());
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
    std::size_t packetEnd = 0;  // where the IP packet ends, whether captured or not
    if (version == 4) {
        if (d.size() < at + 20) {
            return;
        }
        const std::size_t ihl = (static_cast<std::uint8_t>(d[at]) & 0x0Fu) * 4u;
        // A host that hands segmentation to its network card captures its large segments
        // before the card cuts them, with no length of their own.
        const std::size_t total = Be16(d, at + 2) != 0 ? Be16(d, at + 2) : d.size() - at;
        const std::uint16_t fragment = Be16(d, at + 6);
        if (ihl < 20 || static_cast<std::uint8_t>(d[at + 9]) != 6 || (fragment & 0x3FFF) != 0 ||
            total < ihl || d.size() < at + ihl) {
            return;
        }
        packetEnd = at + total;
        src = Ipv4Text(d, at + 12);
        dst = Ipv4Text(d, at + 16);
        at += ihl;
    } else if (version == 6) {
        if (d.size() < at + 40 || static_cast<std::uint8_t>(d[at + 6]) != 6) {
            return;
        }
        const std::size_t payload = Be16(d, at + 4) != 0 ? Be16(d, at + 4) : d.size() - at - 40;
        packetEnd = at + 40 + payload;
        src = Ipv6Text(d, at + 8);
        dst = Ipv6Text(d, at + 24);
        at += 40;
    } else {
        return;
    }
    // Ethernet pads short frames; a snapshot length cuts long ones.
    const std::size_t end = std::min(d.size(), packetEnd);
    if (end < at + 20) {
        return;
    }
    const std::size_t header = (static_cast<std::uint8_t>(d[at + 12]) >> 4) * 4u;
    if (header < 20 || packetEnd < at + header) {
        return;
    }
    const std::size_t payloadAt = at + header;
    const std::size_t captured = end > payloadAt ? end - payloadAt : 0;
    Segment segment;
    segment.seq = Be32(d, at + 4);
    segment.ack = Be32(d, at + 8);
    segment.flags = static_cast<std::uint8_t>(d[at + 13]);
    segment.payload = d.substr(std::min(payloadAt, end), captured);
    segment.lost = static_cast<std::uint32_t>(packetEnd - payloadAt - captured);
    OnSegment(packet, src, Be16(d, at), dst, Be16(d, at + 2), std::move(segment));
}

void CaptureReader::OnSegment(const Packet& packet, const std::string& src, std::uint16_t srcPort,
                              const std::string& dst, std::uint16_t dstPort, Segment segment) {
    const bool forward = std::tie(src, srcPort) < std::tie(dst, dstPort);
    const Key key = forward ? Key{src, srcPort, dst, dstPort} : Key{dst, dstPort, src, srcPort};
    const bool syn = (segment.flags & kTcpSyn) != 0;
    const bool synOnly = syn && (segment.flags & kTcpAck) == 0;
    auto it = streams.find(key);
    if (it != streams.end() && it->second.closed && synOnly) {
        streams.erase(it);  // the same ports again: a new connection
        it = streams.end();
    }
    if (it == streams.end()) {
        if (segment.payload.empty() && !syn) {
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
                                                        : !IsRequest(segment.payload);
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
    const Stamp at{packet.frame, packet.timeNs};
    if (stream.connection == 0 && !stream.closed) {
        // A client retrying against a server that is down sends SYNs answered by RSTs: only a
        // conversation the server accepted, or that carries bytes, is a connection.
        if (syn && (synOnly || !stream.syn)) {
            HoldSyn(stream, at);
        }
        if (stream.verdict == Verdict::Ours &&
            ((syn && !synOnly) || !segment.payload.empty() || segment.lost != 0)) {
            Open(stream, at);
        }
    }
    const bool fromClient = !(src == stream.serverAddress && srcPort == stream.serverPort);
    if ((segment.flags & kTcpAck) != 0) {
        // The peer had every byte it acknowledges: what of them the capture lacks, no
        // retransmission will bring.
        GiveUpBefore(stream, !fromClient, at, segment.ack);
    }
    Take(stream, fromClient, at, std::move(segment));
}

void CaptureReader::Take(Stream& stream, bool fromClient, Stamp at, Segment segment) {
    Side& side = fromClient ? stream.fromClient : stream.fromServer;
    std::uint32_t seq = segment.seq;
    if ((segment.flags & kTcpSyn) != 0 && !side.ended) {
        side.started = true;
        side.next = seq + 1;
        seq += 1;
    }
    const auto length = static_cast<std::uint32_t>(segment.payload.size()) + segment.lost;
    if (!side.started && length != 0) {
        // What came before the capture began is not in it: like after a gap, reading starts
        // at the first segment that starts with a header.
        side.started = true;
        side.next = seq;
        side.resync = true;
        side.joinedLate = true;
    }
    if (length != 0 && !side.ended) {
        if (static_cast<std::int32_t>(seq - side.next) > 0) {
            if (side.ahead.emplace(seq, Held{std::move(segment.payload), segment.lost, at})
                    .second) {
                heldFrames.insert(at.frame);
            }
        } else {
            Join(stream, fromClient, at, seq, segment.payload, segment.lost);
        }
        JoinHeld(stream, fromClient, &at);
    }
    if ((segment.flags & (kTcpFin | kTcpRst)) != 0) {
        // Where this side's bytes end: what is missing before it was not captured. A RST
        // ends the connection whatever either side sent before, a FIN of its own included.
        EndSide(stream, fromClient, at, seq + length);
        if ((segment.flags & kTcpRst) != 0) {
            EndSide(stream, !fromClient, at, std::nullopt);
        }
    }
}

void CaptureReader::Join(Stream& stream, bool fromClient, Stamp at, std::uint32_t seq,
                         const std::string& bytes, std::uint32_t lost) {
    Side& side = fromClient ? stream.fromClient : stream.fromServer;
    const std::uint32_t have = side.next - seq;  // the segment's bytes joined before
    if (have < bytes.size()) {
        const auto fresh = static_cast<std::uint32_t>(bytes.size() - have);
        if (side.resync && !StartsMessage(bytes, have)) {
            if (stream.verdict == Verdict::Unknown) {
                Drop(stream);  // on another port, its first bytes must read as a header
                return;
            }
            if (stream.verdict == Verdict::Ours) {
                Emit(CapturedItem::Kind::Problem, stream, fromClient, at, bytes.substr(have),
                     std::to_string(fresh) +
                         (side.joinedLate ? " bytes of a conversation the capture joined midway"
                                          : " bytes after a gap") +
                         " that do not start a message, not read as messages");
            }
            side.next += fresh;
        } else {
            side.resync = false;
            side.joinedLate = false;
            side.buffer.append(bytes, have);
            side.next += fresh;
            Frame(stream, fromClient, at);
            if (stream.verdict == Verdict::NotOurs) {
                return;  // the conversation is dropped
            }
        }
    }
    const std::uint32_t end = seq + static_cast<std::uint32_t>(bytes.size()) + lost;
    if (lost != 0 && static_cast<std::int32_t>(end - side.next) > 0) {
        Gap(stream, fromClient, at, end - side.next);
    }
}

void CaptureReader::JoinHeld(Stream& stream, bool fromClient, const Stamp* at) {
    Side& side = fromClient ? stream.fromClient : stream.fromServer;
    for (auto a = side.ahead.begin(); a != side.ahead.end();) {
        if (static_cast<std::int32_t>(a->first - side.next) > 0) {
            ++a;
            continue;
        }
        const std::uint32_t seq = a->first;
        const Held held = std::move(a->second);
        side.ahead.erase(a);
        heldFrames.erase(heldFrames.find(held.stamp.frame));
        Join(stream, fromClient, at != nullptr ? *at : held.stamp, seq, held.bytes, held.lost);
        a = side.ahead.begin();
    }
}

void CaptureReader::GiveUpBefore(Stream& stream, bool fromClient, Stamp at, std::uint32_t end) {
    Side& side = fromClient ? stream.fromClient : stream.fromServer;
    if (!side.started || side.ended) {
        return;
    }
    // Every held segment starts after the next position (JoinHeld joined the others).
    while (stream.verdict != Verdict::NotOurs && static_cast<std::int32_t>(end - side.next) > 0) {
        std::uint32_t holeEnd = end;
        Stamp told = at;  // a hole followed by a held segment shows where that segment came
        for (const auto& [seq, held] : side.ahead) {
            if (static_cast<std::int32_t>(seq - holeEnd) < 0) {
                holeEnd = seq;
                told = held.stamp;
            }
        }
        Gap(stream, fromClient, told, holeEnd - side.next);
        JoinHeld(stream, fromClient, nullptr);
    }
}

void CaptureReader::Gap(Stream& stream, bool fromClient, Stamp at, std::uint32_t count) {
    Side& side = fromClient ? stream.fromClient : stream.fromServer;
    if (stream.verdict == Verdict::Ours) {
        std::string error = std::to_string(count) + " bytes missing from the capture";
        if (!side.buffer.empty()) {
            error += "; the message before them is cut (" + std::to_string(side.buffer.size()) +
                     " of " + std::to_string(WantedBytes(side.buffer)) + " bytes)";
        }
        Emit(CapturedItem::Kind::Problem, stream, fromClient, at, side.buffer, std::move(error));
    }
    side.buffer.clear();
    side.next += count;
    side.resync = true;
}

void CaptureReader::Frame(Stream& stream, bool fromClient, Stamp at) {
    Side& side = fromClient ? stream.fromClient : stream.fromServer;
    if (stream.verdict == Verdict::Unknown) {
        // On another port, the conversation is ours when its first bytes read as a header.
        if (side.buffer.size() < static_cast<std::size_t>(net::kHeaderSize)) {
            return;
        }
        if (!LooksLikeHeader(side.buffer)) {
            Drop(stream);
            return;
        }
        stream.verdict = Verdict::Ours;
        Open(stream, at);
    }
    std::size_t used = 0;
    while (!side.broken &&
           side.buffer.size() - used >= static_cast<std::size_t>(net::kHeaderSize)) {
        const char* p = side.buffer.data() + used;
        const NetMsgFrame frame = FrameNetMsg(p, side.buffer.size() - used);
        if (frame.state == NetMsgFrameState::Invalid) {
            ReceivedNetMsg parsed;
            const std::string header(p, static_cast<std::size_t>(net::kHeaderSize));
            Emit(CapturedItem::Kind::Message, stream, fromClient, at, header,
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
        Emit(CapturedItem::Kind::Message, stream, fromClient, at, std::string(p, frame.size),
             result ? std::string() : result.text);
        used += frame.size;
    }
    side.buffer.erase(0, used);
    if (side.broken && !side.buffer.empty()) {
        const std::string error =
            std::to_string(side.buffer.size()) +
            " bytes after a message with an invalid length field, not read as messages";
        Emit(CapturedItem::Kind::Problem, stream, fromClient, at, std::move(side.buffer), error);
        side.buffer.clear();
    }
}

void CaptureReader::Open(Stream& stream, Stamp at) {
    stream.connection = ++connections;
    Emit(CapturedItem::Kind::Open, stream, true, stream.syn.value_or(at), {}, {});
    ReleaseSyn(stream);
}

void CaptureReader::HoldSyn(Stream& stream, Stamp at) {
    ReleaseSyn(stream);
    stream.syn = at;
    heldFrames.insert(at.frame);
    heldSyns.emplace(std::pair(at.timeNs, at.frame), &stream);
}

void CaptureReader::ReleaseSyn(Stream& stream) {
    if (stream.syn) {
        heldFrames.erase(heldFrames.find(stream.syn->frame));
        heldSyns.erase(std::pair(stream.syn->timeNs, stream.syn->frame));
        stream.syn.reset();
    }
}

void CaptureReader::ExpireSyns(std::int64_t nowNs) {
    // Well past the first retransmission of an unanswered SYN (1 s), which holds anew.
    constexpr std::int64_t kHandshakeNs = 3'000'000'000;
    // Oldest first, so a flood of unanswered SYNs costs each packet only the ones it expires.
    while (!heldSyns.empty() && nowNs - heldSyns.begin()->first.first > kHandshakeNs) {
        ReleaseSyn(*heldSyns.begin()->second);
    }
}

void CaptureReader::Drop(Stream& stream) {
    stream.verdict = Verdict::NotOurs;
    ReleaseSyn(stream);
    ForgetHeld(stream.fromClient);
    ForgetHeld(stream.fromServer);
    stream.fromClient = Side{};
    stream.fromServer = Side{};
}

void CaptureReader::ForgetHeld(Side& side) {
    for (const auto& [seq, held] : side.ahead) {
        heldFrames.erase(heldFrames.find(held.stamp.frame));
    }
    side.ahead.clear();
}

std::uint32_t CaptureReader::HeldEnd(const Side& side) {
    std::uint32_t end = side.next;
    for (const auto& [seq, held] : side.ahead) {
        const std::uint32_t after = seq + static_cast<std::uint32_t>(held.bytes.size()) + held.lost;
        if (static_cast<std::int32_t>(after - end) > 0) {
            end = after;
        }
    }
    return end;
}

void CaptureReader::EndSide(Stream& stream, bool fromClient, Stamp at,
                            std::optional<std::uint32_t> endSeq) {
    Side& side = fromClient ? stream.fromClient : stream.fromServer;
    if (side.ended) {
        return;
    }
    // The side sent all it will: held segments after a hole are read past it.
    GiveUpBefore(stream, fromClient, at, endSeq.value_or(HeldEnd(side)));
    side.ended = true;
    ForgetHeld(side);
    const bool opened = stream.verdict == Verdict::Ours && stream.connection != 0;
    if (opened && !side.buffer.empty() && !side.broken) {
        Emit(CapturedItem::Kind::Message, stream, fromClient, at, side.buffer,
             "connection cut in the middle of a message (" + std::to_string(side.buffer.size()) +
                 " of " + std::to_string(WantedBytes(side.buffer)) + " bytes)");
        side.buffer.clear();
    }
    if (stream.fromClient.ended && stream.fromServer.ended && !stream.closed) {
        // A refused attempt closes too (a retry from the same port is a new conversation),
        // but it was never a connection to tell of.
        stream.closed = true;
        ReleaseSyn(stream);
        if (opened) {
            Emit(CapturedItem::Kind::Close, stream, fromClient, at, {}, {});
        }
    }
}

void CaptureReader::Finish() {
    // The file ended with conversations still open: held segments are read past their holes,
    // what is left that is not a whole message is shown, but no close is made up.
    for (auto& [key, stream] : streams) {
        ReleaseSyn(stream);
        if (stream.verdict != Verdict::Ours || stream.closed || stream.connection == 0) {
            continue;
        }
        for (const bool fromClient : {true, false}) {
            Side& side = fromClient ? stream.fromClient : stream.fromServer;
            GiveUpBefore(stream, fromClient, last, HeldEnd(side));
            if (!side.buffer.empty()) {
                Emit(CapturedItem::Kind::Problem, stream, fromClient, last, side.buffer,
                     "the capture ends inside a message (" + std::to_string(side.buffer.size()) +
                         " bytes)");
                side.buffer.clear();
            }
        }
    }
}

void CaptureReader::Emit(CapturedItem::Kind kind, const Stream& stream, bool fromClient, Stamp at,
                         std::string bytes, std::string error) {
    CapturedItem item;
    item.kind = kind;
    item.frame = at.frame;
    item.timeNs = at.timeNs;
    item.connection = stream.connection;
    item.direction = fromClient ? Direction::ClientToServer : Direction::ServerToClient;
    item.bytes = std::move(bytes);
    item.error = std::move(error);
    // After the items of earlier frames and of its own (a held segment's come late).
    pending.emplace_hint(pending.end(), at.frame, std::move(item));
}

}  // namespace capture
