// The capture file format: pcapng (the format tcpdump, Wireshark and tshark read and write),
// written here block by block, and read back with the classic pcap format too.
//
// What a capture of ours holds (docs/capture.md has the reasons): one section, one interface
// of link type Ethernet with microsecond timestamps, and one Enhanced Packet Block per TCP
// segment of a synthesised conversation between the client and the server: Ethernet, IPv4
// and TCP headers made up around every message's bytes, with SYN/FIN segments where a
// connection opened or closed. The server side always has port 7450, where the dissector
// registers; each connection of the capture has a client port of its own.
//
// Reading: FileReader walks the blocks of a pcapng file (either byte order, any timestamp
// resolution, several sections and interfaces) or the records of a classic pcap file, and
// hands out packets. It never reads outside the bytes it was given; a block that cannot be
// a block is an error naming its offset; a file that ends inside a block (a writer killed
// mid-write, a copy cut short) gives every whole block before that point and then a warning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace capture {

inline constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
inline constexpr std::uint32_t kInterfaceDescriptionBlock = 1;
inline constexpr std::uint32_t kObsoletePacketBlock = 2;
inline constexpr std::uint32_t kSimplePacketBlock = 3;
inline constexpr std::uint32_t kInterfaceStatisticsBlock = 5;
inline constexpr std::uint32_t kEnhancedPacketBlock = 6;
inline constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;

inline constexpr std::uint32_t kLinkTypeNull = 0;
inline constexpr std::uint32_t kLinkTypeEthernet = 1;
inline constexpr std::uint32_t kLinkTypeRaw = 101;
inline constexpr std::uint32_t kLinkTypeLinuxSll = 113;
inline constexpr std::uint32_t kLinkTypeLinuxSll2 = 276;

/// The server's TCP port in the synthesised headers, and the dissector's.
inline constexpr std::uint16_t kServerPort = 7450;

/// TCP flags.
inline constexpr std::uint8_t kTcpFin = 0x01;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::uint8_t kTcpRst = 0x04;
inline constexpr std::uint8_t kTcpPsh = 0x08;
inline constexpr std::uint8_t kTcpAck = 0x10;

// ---- Writing ----------------------------------------------------------------------------

/// The Section Header Block, naming the program that wrote the file (shb_userappl).
std::string SectionHeaderBlock(const std::string& application);
/// The one Interface Description Block: Ethernet, if_tsresol 6 (microseconds), with a
/// description (the real endpoint, which the synthesised addresses do not show).
std::string InterfaceDescriptionBlock(const std::string& description);
/// An Enhanced Packet Block for interface 0. `flags` is epb_flags (1 inbound, 2 outbound,
/// relative to the capturing program), 0 for none.
std::string EnhancedPacketBlock(std::int64_t timeUs, const std::string& frame, std::uint32_t flags);
/// An Interface Statistics Block: capture start (and end when set), packets written, records
/// dropped (isb_osdrop) and a comment.
struct CaptureStatistics {
    std::int64_t timeUs = 0;
    std::int64_t startUs = 0;
    std::optional<std::int64_t> endUs;
    std::optional<std::uint64_t> received;
    std::optional<std::uint64_t> dropped;
    std::string comment;
};
std::string InterfaceStatisticsBlock(const CaptureStatistics& statistics);

/// One TCP segment of the synthesised conversation.
struct Segment {
    bool fromClient = true;
    std::uint16_t clientPort = 0;
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::uint8_t flags = 0;
    const void* payload = nullptr;
    std::size_t size = 0;
    std::uint16_t ipId = 0;
};
/// Ethernet + IPv4 (127.0.0.1 on both sides) + TCP + payload, checksums filled in.
std::string EthernetFrame(const Segment& segment);

// ---- Reading ----------------------------------------------------------------------------

/// Where each pcapng block of `bytes` ends, as far as the blocks' length fields say (the last
/// may lie past the end of a cut file). For tools and tests that cut files at boundaries.
std::vector<std::size_t> BlockEnds(const std::string& bytes);

struct Packet {
    /// Counted from 1 over every packet of the file, as Wireshark numbers frames.
    std::uint64_t frame = 0;
    /// Nanoseconds since 1970 (UTC).
    std::int64_t timeNs = 0;
    std::uint32_t linkType = 0;
    std::string data;
    /// Byte offset of the packet's block (or record) in the file.
    std::size_t offset = 0;
};

/// The largest block (pcapng) or record (pcap) a reader takes: a packet of 64 MiB, far beyond
/// any snapshot length.
inline constexpr std::uint32_t kMaxBlockBytes = 0x4000000;

class FileReader {
public:
    /// Takes the whole file.
    explicit FileReader(std::string bytes);
    /// Reads a file as it is written (a pipe from a live capture): bytes come by Append, and
    /// EndInput says that no more will.
    FileReader();

    /// More of the file. Blocks already read are dropped from memory as the reading goes on.
    void Append(std::string_view more);
    /// The file is complete: what Append gave is all of it.
    void EndInput();

    enum class Status : std::uint8_t { Packet, End, Error, NeedMore };
    /// The next packet; End after the last (see GetWarning for a cut file); Error when the
    /// file is damaged (GetError says where and how). After End or Error it stays there.
    /// NeedMore while the input is open and holds no whole block more: Append, then ask again.
    Status Next(Packet& packet);

    /// "offset N: ..." after Error.
    const std::string& GetError() const noexcept { return error; }
    /// Set when the file ends inside a block: what was read is every whole block before it.
    const std::string& GetWarning() const noexcept { return warning; }
    /// The first Interface Statistics Block's isb_starttime, in ns since 1970.
    std::optional<std::int64_t> GetStartTimeNs() const noexcept { return startNs; }
    /// The sum of isb_osdrop and isb_ifdrop over the statistics blocks read so far.
    std::optional<std::uint64_t> GetDropped() const noexcept { return dropped; }
    /// Comments of the section headers and statistics blocks read so far.
    const std::vector<std::string>& GetComments() const noexcept { return comments; }
    /// The writing program named by the section header (shb_userappl), if any.
    const std::string& GetApplication() const noexcept { return application; }

private:
    struct Interface {
        std::uint32_t linkType = 0;
        bool power2 = false;
        std::uint8_t exponent = 6;
        std::int64_t offsetSeconds = 0;
    };
    Status NextPcapng(Packet& packet);
    Status NextPcap(Packet& packet);
    Status Fail(std::size_t at, const std::string& text);
    Status Cut(std::size_t at, std::size_t have, std::size_t need);
    std::uint16_t Read16(std::size_t at) const;
    std::uint32_t Read32(std::size_t at) const;
    std::int64_t ToNs(const Interface& interface, std::uint64_t units) const;
    bool ReadOptions(std::size_t at, std::size_t end, std::size_t blockOffset,
                     std::uint32_t blockType, Interface* interface);

    enum class Format : std::uint8_t { Unknown, Pcapng, Pcap } format = Format::Unknown;
    /// The file from `base` on; `offset` counts from there.
    std::string bytes;
    std::size_t base = 0;
    std::size_t offset = 0;
    bool inputEnded = true;
    bool bigEndian = false;
    bool done = false;
    std::vector<Interface> interfaces;
    Interface pcapInterface;
    /// The interface of the statistics block being read.
    std::optional<Interface> statisticsInterface;
    std::uint64_t frames = 0;
    std::string error;
    std::string warning;
    std::string application;
    std::optional<std::int64_t> startNs;
    std::optional<std::uint64_t> dropped;
    std::vector<std::string> comments;
};

}  // namespace capture
