#include "capture/Pcapng.h"

#include <algorithm>
#include <cstring>

namespace capture {

namespace {

// ---- Writing ----------------------------------------------------------------------------

/// Appends little-endian fields; pcapng readers take either byte order, and ours writes the
/// one the wire format uses.
class Writer {
public:
    void U8(std::uint8_t v) { out.push_back(static_cast<char>(v)); }
    void U16(std::uint16_t v) {
        U8(static_cast<std::uint8_t>(v));
        U8(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void U64(std::uint64_t v) {
        U32(static_cast<std::uint32_t>(v));
        U32(static_cast<std::uint32_t>(v >> 32));
    }
    void Raw(const void* data, std::size_t size) {
        out.append(static_cast<const char*>(data), size);
    }
    void Pad() {
        while (out.size() % 4 != 0) {
            U8(0);
        }
    }
    void Option(std::uint16_t code, const void* data, std::size_t size) {
        U16(code);
        U16(static_cast<std::uint16_t>(size));
        Raw(data, size);
        Pad();
    }
    void Option(std::uint16_t code, const std::string& text) {
        Option(code, text.data(), text.size());
    }
    void OptionTime(std::uint16_t code, std::int64_t timeUs) {
        U16(code);
        U16(8);
        U32(static_cast<std::uint32_t>(static_cast<std::uint64_t>(timeUs) >> 32));
        U32(static_cast<std::uint32_t>(timeUs));
    }
    void OptionU64(std::uint16_t code, std::uint64_t value) {
        U16(code);
        U16(8);
        U64(value);
    }
    void EndOptions() { U32(0); }

    /// The block: type, total length, this body, total length again.
    std::string Block(std::uint32_t type) const {
        Writer block;
        const auto total = static_cast<std::uint32_t>(out.size() + 12);
        block.U32(type);
        block.U32(total);
        block.Raw(out.data(), out.size());
        block.U32(total);
        return block.out;
    }

    std::string out;
};

constexpr std::uint16_t kOptComment = 1;

std::uint16_t Checksum(const std::string& data, std::size_t from, std::size_t size,
                       std::uint32_t sum = 0) {
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        sum += (static_cast<std::uint8_t>(data[from + i]) << 8) |
               static_cast<std::uint8_t>(data[from + i + 1]);
    }
    if (size % 2 != 0) {
        sum += static_cast<std::uint8_t>(data[from + size - 1]) << 8;
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

void Put16Be(std::string& s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<char>(v >> 8);
    s[at + 1] = static_cast<char>(v);
}

}  // namespace

std::string SectionHeaderBlock(const std::string& application) {
    Writer w;
    w.U32(kByteOrderMagic);
    w.U16(1);  // version 1.0
    w.U16(0);
    w.U64(~std::uint64_t{0});  // section length not given
    w.Option(4, application);  // shb_userappl
    w.EndOptions();
    return w.Block(kSectionHeaderBlock);
}

std::string InterfaceDescriptionBlock(const std::string& description) {
    Writer w;
    w.U16(static_cast<std::uint16_t>(kLinkTypeEthernet));
    w.U16(0);
    w.U32(0);                           // no snapshot limit
    w.Option(2, std::string("pyrmm"));  // if_name
    w.Option(3, description);           // if_description
    const std::uint8_t microseconds = 6;
    w.Option(9, &microseconds, 1);  // if_tsresol
    w.EndOptions();
    return w.Block(kInterfaceDescriptionBlock);
}

std::string EnhancedPacketBlock(std::int64_t timeUs, const std::string& frame,
                                std::uint32_t flags) {
    Writer w;
    w.U32(0);  // interface
    w.U32(static_cast<std::uint32_t>(static_cast<std::uint64_t>(timeUs) >> 32));
    w.U32(static_cast<std::uint32_t>(timeUs));
    w.U32(static_cast<std::uint32_t>(frame.size()));
    w.U32(static_cast<std::uint32_t>(frame.size()));
    w.Raw(frame.data(), frame.size());
    w.Pad();
    if (flags != 0) {
        w.U16(2);  // epb_flags
        w.U16(4);
        w.U32(flags);
        w.EndOptions();
    }
    return w.Block(kEnhancedPacketBlock);
}

std::string InterfaceStatisticsBlock(const CaptureStatistics& s) {
    Writer w;
    w.U32(0);
    w.U32(static_cast<std::uint32_t>(static_cast<std::uint64_t>(s.timeUs) >> 32));
    w.U32(static_cast<std::uint32_t>(s.timeUs));
    if (!s.comment.empty()) {
        w.Option(kOptComment, s.comment);
    }
    w.OptionTime(2, s.startUs);  // isb_starttime
    if (s.endUs) {
        w.OptionTime(3, *s.endUs);  // isb_endtime
    }
    if (s.received) {
        w.OptionU64(4, *s.received);  // isb_ifrecv
    }
    if (s.dropped) {
        w.OptionU64(7, *s.dropped);  // isb_osdrop
    }
    w.EndOptions();
    return w.Block(kInterfaceStatisticsBlock);
}

std::string EthernetFrame(const Segment& seg) {
    static const unsigned char kClientMac[6] = {0x02, 0, 0, 0, 0, 0x01};
    static const unsigned char kServerMac[6] = {0x02, 0, 0, 0, 0, 0x02};
    constexpr std::size_t kEth = 14;
    constexpr std::size_t kIp = 20;
    constexpr std::size_t kTcp = 20;
    std::string f(kEth + kIp + kTcp, '\0');
    std::memcpy(&f[0], seg.fromClient ? kServerMac : kClientMac, 6);
    std::memcpy(&f[6], seg.fromClient ? kClientMac : kServerMac, 6);
    Put16Be(f, 12, 0x0800);
    // IPv4
    const std::size_t ip = kEth;
    f[ip] = 0x45;
    Put16Be(f, ip + 2, static_cast<std::uint16_t>(kIp + kTcp + seg.size));
    Put16Be(f, ip + 4, seg.ipId);
    Put16Be(f, ip + 6, 0x4000);  // don't fragment
    f[ip + 8] = 64;
    f[ip + 9] = 6;  // TCP
    const unsigned char loopback[4] = {127, 0, 0, 1};
    std::memcpy(&f[ip + 12], loopback, 4);
    std::memcpy(&f[ip + 16], loopback, 4);
    Put16Be(f, ip + 10, Checksum(f, ip, kIp));
    // TCP
    const std::size_t tcp = kEth + kIp;
    Put16Be(f, tcp, seg.fromClient ? seg.clientPort : kServerPort);
    Put16Be(f, tcp + 2, seg.fromClient ? kServerPort : seg.clientPort);
    Put16Be(f, tcp + 4, static_cast<std::uint16_t>(seg.seq >> 16));
    Put16Be(f, tcp + 6, static_cast<std::uint16_t>(seg.seq));
    Put16Be(f, tcp + 8, static_cast<std::uint16_t>(seg.ack >> 16));
    Put16Be(f, tcp + 10, static_cast<std::uint16_t>(seg.ack));
    f[tcp + 12] = 0x50;
    f[tcp + 13] = static_cast<char>(seg.flags);
    Put16Be(f, tcp + 14, 0xFFFF);
    f.append(static_cast<const char*>(seg.payload), seg.size);
    // The pseudo-header: both addresses, protocol, TCP length.
    const std::size_t tcpLength = kTcp + seg.size;
    const std::uint32_t pseudo = 2 * (0x7F00 + 0x0001) + 6 + static_cast<std::uint32_t>(tcpLength);
    Put16Be(f, tcp + 16, Checksum(f, tcp, tcpLength, pseudo));
    return f;
}

// ---- Reading ----------------------------------------------------------------------------

namespace {

/// Nanoseconds since 1970 of a file's time stamp. A file may say anything: times are held
/// within about 142 years either side of 1970, so that the difference of any two, which the
/// tools print and the replays wait, is a number too.
std::int64_t TimeNs(std::uint64_t seconds, std::int64_t offsetSeconds, std::uint64_t ns) {
    constexpr std::int64_t kLimit = 4'500'000'000;
    const std::int64_t own =
        seconds > std::uint64_t{kLimit} ? kLimit : static_cast<std::int64_t>(seconds);
    const std::int64_t total = own + std::clamp(offsetSeconds, -kLimit, kLimit);
    return std::clamp(total, -kLimit, kLimit) * 1'000'000'000 +
           static_cast<std::int64_t>(std::min<std::uint64_t>(ns, 999'999'999));
}

}  // namespace

std::vector<std::size_t> BlockEnds(const std::string& bytes) {
    std::vector<std::size_t> ends;
    for (std::size_t at = 0; bytes.size() - at >= 8;) {
        std::uint32_t length = 0;
        std::memcpy(&length, bytes.data() + at + 4, 4);
        if (length < 12) {
            break;
        }
        at += length;
        ends.push_back(at);
        if (at > bytes.size()) {
            break;
        }
    }
    return ends;
}

FileReader::FileReader(std::string bytes) : bytes(std::move(bytes)) {}

FileReader::FileReader() : inputEnded(false) {}

void FileReader::Append(std::string_view more) {
    // What was read goes once it is the larger part: each byte is moved at most once more.
    if (offset >= (std::size_t{1} << 20) && offset >= bytes.size() - offset) {
        bytes.erase(0, offset);
        base += offset;
        offset = 0;
    }
    bytes.append(more);
}

void FileReader::EndInput() {
    inputEnded = true;
}

std::uint16_t FileReader::Read16(std::size_t at) const {
    const auto b0 = static_cast<std::uint8_t>(bytes[at]);
    const auto b1 = static_cast<std::uint8_t>(bytes[at + 1]);
    return static_cast<std::uint16_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0);
}

std::uint32_t FileReader::Read32(std::size_t at) const {
    const std::uint32_t a = Read16(at);
    const std::uint32_t b = Read16(at + 2);
    return bigEndian ? (a << 16) | b : (b << 16) | a;
}

FileReader::Status FileReader::Fail(std::size_t at, const std::string& text) {
    done = true;
    error = "offset " + std::to_string(base + at) + ": " + text;
    return Status::Error;
}

FileReader::Status FileReader::Cut(std::size_t at, std::size_t have, std::size_t need) {
    if (!inputEnded) {
        return Status::NeedMore;  // the rest of the block is still to come
    }
    done = true;
    warning = "the file ends inside the block at offset " + std::to_string(base + at) + " (" +
              std::to_string(have) + " of " + std::to_string(need) +
              " bytes); read up to the last whole block";
    return Status::End;
}

std::int64_t FileReader::ToNs(const Interface& interface, std::uint64_t units) const {
    // Whole seconds and the fraction apart, so that no resolution overflows on the way.
    std::uint64_t seconds = 0;
    std::uint64_t ns = 0;
    if (interface.power2) {
        const unsigned e = interface.exponent;
        seconds = e >= 64 ? 0 : units >> e;
        const std::uint64_t fraction = e >= 64 ? units : units & ((std::uint64_t{1} << e) - 1);
        ns = static_cast<std::uint64_t>(static_cast<long double>(fraction) * 1e9L /
                                        static_cast<long double>(std::uint64_t{1} << (e & 63)));
    } else {
        std::uint64_t perSecond = 1;
        for (int i = 0; i < interface.exponent; ++i) {
            perSecond *= 10;
        }
        seconds = units / perSecond;
        std::uint64_t fraction = units % perSecond;
        for (int i = interface.exponent; i < 9; ++i) {
            fraction *= 10;
        }
        for (int i = 9; i < interface.exponent; ++i) {
            fraction /= 10;
        }
        ns = fraction;
    }
    return TimeNs(seconds, interface.offsetSeconds, ns);
}

FileReader::Status FileReader::Next(Packet& packet) {
    if (done) {
        return error.empty() ? Status::End : Status::Error;
    }
    if (format == Format::Unknown) {
        if (bytes.size() < 24 && !inputEnded) {
            return Status::NeedMore;  // the magic, and a pcap file's header
        }
        if (bytes.size() < 4) {
            if (bytes.empty()) {
                done = true;
                warning = "the file is empty";
                return Status::End;
            }
            return Fail(
                0, "too short for a capture file (" + std::to_string(bytes.size()) + " bytes)");
        }
        std::uint32_t magic = 0;
        std::memcpy(&magic, bytes.data(), 4);
        const auto le = static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[0])) |
                        static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[1])) << 8 |
                        static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[2])) << 16 |
                        static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[3])) << 24;
        if (le == kSectionHeaderBlock) {
            format = Format::Pcapng;
        } else if (le == 0xA1B2C3D4 || le == 0xA1B23C4D || le == 0xD4C3B2A1 || le == 0x4D3CB2A1) {
            format = Format::Pcap;
            bigEndian = le == 0xD4C3B2A1 || le == 0x4D3CB2A1;
            pcapInterface.exponent = (le == 0xA1B23C4D || le == 0x4D3CB2A1) ? 9 : 6;
            if (bytes.size() < 24) {
                return Cut(0, bytes.size(), 24);
            }
            pcapInterface.linkType = Read32(20) & 0x0FFFFFFF;
            offset = 24;
        } else {
            return Fail(
                0, "not a pcapng or pcap file (first bytes " + [&] {
                    static constexpr char kHex[] = "0123456789abcdef";
                    std::string hex;
                    for (int i = 0; i < 4; ++i) {
                        const auto b =
                            static_cast<std::uint8_t>(bytes[static_cast<std::size_t>(i)]);
                        hex += kHex[b >> 4];
                        hex += kHex[b & 15];
                        hex += i < 3 ? " " : "";
                    }
                    return hex;
                }() + ")");
        }
    }
    return format == Format::Pcapng ? NextPcapng(packet) : NextPcap(packet);
}

FileReader::Status FileReader::NextPcap(Packet& packet) {
    if (offset == bytes.size()) {
        if (!inputEnded) {
            return Status::NeedMore;
        }
        done = true;
        return Status::End;
    }
    if (bytes.size() - offset < 16) {
        return Cut(offset, bytes.size() - offset, 16);
    }
    const std::uint32_t seconds = Read32(offset);
    const std::uint32_t fraction = Read32(offset + 4);
    const std::uint32_t captured = Read32(offset + 8);
    if (captured > kMaxBlockBytes) {
        return Fail(offset, "record length " + std::to_string(captured) + " is not plausible");
    }
    if (bytes.size() - offset - 16 < captured) {
        return Cut(offset, bytes.size() - offset, 16 + std::size_t{captured});
    }
    packet.frame = ++frames;
    packet.offset = base + offset;
    packet.linkType = pcapInterface.linkType;
    packet.timeNs =
        TimeNs(seconds, 0, std::uint64_t{fraction} * (pcapInterface.exponent == 9 ? 1 : 1000));
    packet.data.assign(bytes, offset + 16, captured);
    offset += 16 + std::size_t{captured};
    return Status::Packet;
}

bool FileReader::ReadOptions(std::size_t at, std::size_t end, std::size_t blockOffset,
                             std::uint32_t blockType, Interface* interface) {
    while (end - at >= 4) {
        const std::uint16_t code = Read16(at);
        const std::uint16_t length = Read16(at + 2);
        at += 4;
        if (code == 0) {
            return true;
        }
        const std::size_t padded = (std::size_t{length} + 3) & ~std::size_t{3};
        if (end - at < padded) {
            Fail(blockOffset, "option " + std::to_string(code) + " of length " +
                                  std::to_string(length) + " runs past the end of its block");
            return false;
        }
        const std::string value = bytes.substr(at, length);
        if (code == 1) {
            comments.push_back(value);
        } else if (blockType == kSectionHeaderBlock && code == 4) {
            application = value;
        } else if (interface != nullptr && code == 9 && length >= 1) {
            const auto r = static_cast<std::uint8_t>(value[0]);
            interface->power2 = (r & 0x80) != 0;
            interface->exponent = static_cast<std::uint8_t>(r & 0x7F);
            if (interface->exponent > (interface->power2 ? 63 : 19)) {
                Fail(blockOffset, "timestamp resolution " + std::to_string(r) + " not supported");
                return false;
            }
        } else if (interface != nullptr && code == 14 && length == 8) {
            interface->offsetSeconds = static_cast<std::int64_t>(
                bigEndian ? (std::uint64_t{Read32(at)} << 32) | Read32(at + 4)
                          : (std::uint64_t{Read32(at + 4)} << 32) | Read32(at));
        } else if (blockType == kInterfaceStatisticsBlock && length == 8) {
            const std::uint64_t value64 = bigEndian
                                              ? (std::uint64_t{Read32(at)} << 32) | Read32(at + 4)
                                              : (std::uint64_t{Read32(at + 4)} << 32) | Read32(at);
            if (code == 2 && !startNs) {
                // Timestamps are high and low halves, as in packets, in the interface's units.
                const std::uint64_t units = (std::uint64_t{Read32(at)} << 32) | Read32(at + 4);
                startNs = statisticsInterface ? ToNs(*statisticsInterface, units) : 0;
            } else if (code == 5 || code == 7) {
                dropped = dropped.value_or(0) + value64;
            }
        }
        at += padded;
    }
    return true;
}

FileReader::Status FileReader::NextPcapng(Packet& packet) {
    while (true) {
        if (offset == bytes.size()) {
            if (!inputEnded) {
                return Status::NeedMore;
            }
            done = true;
            return Status::End;
        }
        const std::size_t at = offset;
        const std::size_t left = bytes.size() - at;
        if (left < 12) {
            return Cut(at, left, 12);
        }
        std::uint32_t type = Read32(at);
        if (type == kSectionHeaderBlock) {
            const std::uint32_t magic = Read32(at + 8);
            if (magic != kByteOrderMagic) {
                bigEndian = !bigEndian;
                if (Read32(at + 8) != kByteOrderMagic) {
                    return Fail(at, "section header without the byte-order magic");
                }
            }
            interfaces.clear();
        } else if (frames == 0 && base + at == 0) {
            return Fail(at, "a pcapng file must start with a section header");
        }
        const std::uint32_t total = Read32(at + 4);
        if (total < 12 || total % 4 != 0) {
            return Fail(at, "block length " + std::to_string(total) +
                                (total < 12 ? " is below 12" : " is not a multiple of 4"));
        }
        if (total > kMaxBlockBytes) {
            // No capture tool writes such a block; read as it comes, it would be held whole.
            return Fail(at, "block length " + std::to_string(total) + " is larger than " +
                                std::to_string(kMaxBlockBytes) + " bytes");
        }
        if (left < total) {
            return Cut(at, left, total);
        }
        if (Read32(at + total - 4) != total) {
            return Fail(at, "block length " + std::to_string(total) +
                                " differs from the one at its end (" +
                                std::to_string(Read32(at + total - 4)) + ")");
        }
        offset = at + total;
        const std::size_t body = at + 8;
        const std::size_t end = at + total - 4;
        const auto need = [&](std::size_t n, const char* what) {
            if (end - body < n) {
                Fail(at, std::string(what) + " block of " + std::to_string(total) +
                             " bytes is too short");
                return false;
            }
            return true;
        };
        const auto interfaceAt = [&](std::uint32_t id) -> const Interface* {
            if (id >= interfaces.size()) {
                Fail(at, "packet on interface " + std::to_string(id) + ", which is not described");
                return nullptr;
            }
            return &interfaces[id];
        };
        switch (type) {
            case kSectionHeaderBlock:
                if (!need(16, "section header") ||
                    !ReadOptions(body + 16, end, at, type, nullptr)) {
                    return Status::Error;
                }
                break;
            case kInterfaceDescriptionBlock: {
                if (!need(8, "interface description")) {
                    return Status::Error;
                }
                Interface interface;
                interface.linkType = Read16(body);
                if (!ReadOptions(body + 8, end, at, type, &interface)) {
                    return Status::Error;
                }
                interfaces.push_back(interface);
                break;
            }
            case kInterfaceStatisticsBlock: {
                if (!need(12, "interface statistics")) {
                    return Status::Error;
                }
                const std::uint32_t id = Read32(body);
                statisticsInterface = id < interfaces.size()
                                          ? std::optional<Interface>(interfaces[id])
                                          : std::nullopt;
                if (!ReadOptions(body + 12, end, at, type, nullptr)) {
                    return Status::Error;
                }
                break;
            }
            case kEnhancedPacketBlock:
            case kObsoletePacketBlock: {
                if (!need(20, "packet")) {
                    return Status::Error;
                }
                const std::uint32_t id = type == kEnhancedPacketBlock ? Read32(body) : Read16(body);
                const Interface* interface = interfaceAt(id);
                if (interface == nullptr) {
                    return Status::Error;
                }
                const std::uint32_t captured = Read32(body + 12);
                if (end - body - 20 < captured) {
                    return Fail(at, "captured length " + std::to_string(captured) +
                                        " runs past the end of its block");
                }
                const std::uint64_t units =
                    (std::uint64_t{Read32(body + 4)} << 32) | Read32(body + 8);
                packet.frame = ++frames;
                packet.offset = base + at;
                packet.linkType = interface->linkType;
                packet.timeNs = ToNs(*interface, units);
                packet.data.assign(bytes, body + 20, captured);
                return Status::Packet;
            }
            case kSimplePacketBlock: {
                if (!need(4, "simple packet")) {
                    return Status::Error;
                }
                const Interface* interface = interfaceAt(0);
                if (interface == nullptr) {
                    return Status::Error;
                }
                const std::size_t captured = std::min<std::size_t>(Read32(body), end - body - 4);
                packet.frame = ++frames;
                packet.offset = base + at;
                packet.linkType = interface->linkType;
                packet.timeNs = 0;
                packet.data.assign(bytes, body + 4, captured);
                return Status::Packet;
            }
            default:
                break;  // name resolution, decryption secrets, custom blocks: not ours
        }
    }
}

}  // namespace capture
