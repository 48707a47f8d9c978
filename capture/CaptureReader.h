// CaptureReader: the messages of a capture file, in the order they went over the wire.
//
// It takes the packets of a pcapng or pcap file (FileReader), finds the TCP conversations of
// the minimap protocol in them, puts each direction's byte stream back together (segments
// out of order, retransmitted or overlapping, a message split over several segments or
// several messages in one) and cuts the streams into messages with the same framing and
// parser the programs use. It reads captures our programs write and captures of a real
// game server made by tcpdump, dumpcap or Wireshark (Ethernet, Linux cooked, raw IP and BSD
// loopback links; IPv4 and IPv6).
//
// Which conversations: those on the server port when one is given; otherwise those with an
// end on port 7450, and those whose first bytes read as a message header of type 32 or 33.
// Which end is the server: the one on the server port (7450 unless given); otherwise the end
// that answered a SYN; otherwise the end that did not send the first request (type 32 id 255
// or a Tick).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "capture/Pcapng.h"
#include "capture/WireTap.h"

namespace capture {

struct CapturedItem {
    enum class Kind : std::uint8_t {
        Open,     ///< a connection opened (its SYN, or its first bytes in the capture)
        Message,  ///< a message, well-formed or not (`error` then holds the parser's text)
        Close,    ///< a connection closed (FIN or RST from either side)
        Problem,  ///< bytes that cannot be read as messages: a gap, bytes after a broken frame
    };
    Kind kind = Kind::Message;
    /// The frame that completed the message (or carried the event), from 1.
    std::uint64_t frame = 0;
    /// Nanoseconds since 1970.
    std::int64_t timeNs = 0;
    /// Connections numbered from 1 in the order they appear.
    std::uint64_t connection = 0;
    Direction direction = Direction::ServerToClient;
    std::string bytes;
    /// Why the message is malformed, or what the problem is; empty for a good message.
    std::string error;
};

/// The largest capture file the programs read: a capture is read whole, and a file beyond this
/// (a sparse file, a device that never ends) would otherwise take all the memory there is.
inline constexpr std::size_t kMaxCaptureFileBytes = std::size_t{1} << 30;

/// The bytes of the capture file at `path`, at most kMaxCaptureFileBytes. False otherwise,
/// with `error` saying why: "cannot read PATH", followed by ": it is larger than N bytes" for
/// a file beyond the limit.
bool ReadCaptureFile(const std::string& path, std::string& bytes, std::string& error);

struct CaptureReaderOptions {
    std::optional<std::uint16_t> serverPort;
};

class CaptureReader {
public:
    CaptureReader(std::string fileBytes, CaptureReaderOptions options = {});

    /// The next item; false after the last one or when the file is damaged (GetError).
    bool Next(CapturedItem& item);

    /// "offset N: ..." when the file is damaged.
    const std::string& GetError() const noexcept { return file.GetError(); }
    /// Set when the file ends inside a block (a cut file).
    const std::string& GetWarning() const noexcept { return file.GetWarning(); }
    const FileReader& GetFile() const noexcept { return file; }
    /// When the capture started: the writer's statistics block, or the first packet.
    std::optional<std::int64_t> GetOriginNs() const;

private:
    struct Side {
        bool started = false;
        bool ended = false;
        bool broken = false;
        std::uint32_t next = 0;
        std::string buffer;
        std::map<std::uint32_t, std::string> ahead;
    };
    enum class Verdict : std::uint8_t { Unknown, Ours, NotOurs };
    struct Stream {
        std::uint64_t connection = 0;
        bool decided = false;  ///< which end is the server is known
        Verdict verdict = Verdict::Unknown;
        bool closed = false;
        std::string serverAddress;
        std::uint16_t serverPort = 0;
        Side fromClient;
        Side fromServer;
    };
    using Key = std::tuple<std::string, std::uint16_t, std::string, std::uint16_t>;

    void OnPacket(const Packet& packet);
    void OnSegment(const Packet& packet, const std::string& src, std::uint16_t srcPort,
                   const std::string& dst, std::uint16_t dstPort, std::uint32_t seq,
                   std::uint8_t flags, std::string payload);
    void Take(Stream& stream, bool fromClient, const Packet& packet, std::uint32_t seq,
              std::uint8_t flags, std::string payload);
    void Frame(Stream& stream, bool fromClient, const Packet& packet);
    void EndSide(Stream& stream, bool fromClient, const Packet& packet,
                 std::optional<std::uint32_t> endSeq);
    void Finish();
    void Emit(CapturedItem::Kind kind, const Stream& stream, bool fromClient, const Packet& packet,
              std::string bytes, std::string error);

    FileReader file;
    CaptureReaderOptions options;
    std::map<Key, Stream> streams;
    std::deque<CapturedItem> pending;
    std::uint64_t connections = 0;
    std::optional<std::int64_t> firstPacketNs;
    Packet last;
    bool finished = false;
};

}  // namespace capture
