// CaptureReader: the messages of a capture file, in the order they went over the wire.
//
// It takes the packets of a pcapng or pcap file (FileReader), finds the TCP conversations of
// the minimap protocol in them, puts each direction's byte stream back together (segments
// out of order, retransmitted or overlapping, a message split over several segments or
// several messages in one) and cuts the streams into messages with the same framing and
// parser the programs use. What the capture lacks is a gap, reported where it is, and the
// messages after it are read: bytes missing before later ones are taken for lost (not yet
// arrived out of order) once the peer acknowledges them or the side or file ends, and bytes
// a snapshot length cut off a frame at once; reading starts again at the first segment
// after the gap that starts with a header. It reads captures our programs write and captures of a
// real game server made by tcpdump, dumpcap or Wireshark (Ethernet, Linux cooked, raw IP and BSD
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
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

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
    /// Reads a capture as it is written: Append its bytes as they come, EndInput at its end.
    explicit CaptureReader(CaptureReaderOptions options);

    void Append(std::string_view more) { file.Append(more); }
    void EndInput() { file.EndInput(); }

    /// The next item; false after the last one or when the file is damaged (GetError), and,
    /// while the input is open, when the next item needs more of it (NeedsInput).
    bool Next(CapturedItem& item);
    /// Whether Next returned false for want of input rather than at the end.
    bool NeedsInput() const noexcept { return needsInput; }

    /// "offset N: ..." when the file is damaged.
    const std::string& GetError() const noexcept { return file.GetError(); }
    /// Set when the file ends inside a block (a cut file).
    const std::string& GetWarning() const noexcept { return file.GetWarning(); }
    const FileReader& GetFile() const noexcept { return file; }
    /// When the capture started: the writer's statistics block, or the first packet.
    std::optional<std::int64_t> GetOriginNs() const;

private:
    /// Which packet an item is told at.
    struct Stamp {
        std::uint64_t frame = 0;
        std::int64_t timeNs = 0;
    };
    /// A TCP segment's fields; `payload` is what was captured of it, `lost` what was not.
    struct Segment {
        std::uint32_t seq = 0;
        std::uint32_t ack = 0;
        std::uint8_t flags = 0;
        std::string payload;
        std::uint32_t lost = 0;
    };
    /// A segment that came ahead of the bytes before it.
    struct Held {
        std::string bytes;
        /// Bytes the segment carried past what was captured of it (a snapshot length).
        std::uint32_t lost = 0;
        Stamp stamp;
    };
    struct Side {
        bool started = false;
        bool ended = false;
        bool broken = false;
        /// After a gap: bytes are read again from the first segment that starts a message.
        bool resync = false;
        /// First seen without its SYN, and no message start found yet: the capture began in
        /// the middle of what this side sent.
        bool joinedLate = false;
        std::uint32_t next = 0;
        std::string buffer;
        std::map<std::uint32_t, Held> ahead;
    };
    enum class Verdict : std::uint8_t { Unknown, Ours, NotOurs };
    struct Stream {
        std::uint64_t connection = 0;
        bool decided = false;  ///< which end is the server is known
        Verdict verdict = Verdict::Unknown;
        bool closed = false;
        /// The SYN the connection's open is told at, while its frame holds back later items:
        /// a conversation is numbered only once the server answers (or data shows it was), and
        /// its open must still come before what other connections did meanwhile.
        std::optional<Stamp> syn;
        std::string serverAddress;
        std::uint16_t serverPort = 0;
        Side fromClient;
        Side fromServer;
    };
    using Key = std::tuple<std::string, std::uint16_t, std::string, std::uint16_t>;

    void OnPacket(const Packet& packet);
    void OnSegment(const Packet& packet, const std::string& src, std::uint16_t srcPort,
                   const std::string& dst, std::uint16_t dstPort, Segment segment);
    void Take(Stream& stream, bool fromClient, Stamp at, Segment segment);
    /// Numbers the connection and tells its open, at its SYN when that is still held.
    void Open(Stream& stream, Stamp at);
    /// Holds back items after the SYN at `at` until the conversation is known to be one.
    void HoldSyn(Stream& stream, Stamp at);
    void ReleaseSyn(Stream& stream);
    /// The conversation is not the minimap protocol's: nothing of it is read any more.
    void Drop(Stream& stream);
    /// Lets go of SYNs held longer than a handshake takes, so a SYN nobody answers does not
    /// hold back the rest of a live capture.
    void ExpireSyns(std::int64_t nowNs);
    /// Appends what the segment at `seq` adds to the side's bytes and frames them.
    void Join(Stream& stream, bool fromClient, Stamp at, std::uint32_t seq,
              const std::string& bytes, std::uint32_t lost);
    /// Joins the held segments that now follow on; each is told at `at`, or at its own
    /// packet when `at` is null (after a gap, nothing else completes them).
    void JoinHeld(Stream& stream, bool fromClient, const Stamp* at);
    /// The side's bytes before `end` that are still missing will never come (the peer
    /// acknowledged them, the side ended): each hole becomes a gap and what follows it is read.
    void GiveUpBefore(Stream& stream, bool fromClient, Stamp at, std::uint32_t end);
    /// `count` bytes at the side's next position are missing: says so and skips them.
    void Gap(Stream& stream, bool fromClient, Stamp at, std::uint32_t count);
    void Frame(Stream& stream, bool fromClient, Stamp at);
    void EndSide(Stream& stream, bool fromClient, Stamp at, std::optional<std::uint32_t> endSeq);
    /// Drops the side's held segments.
    void ForgetHeld(Side& side);
    /// Where the side's held bytes end (its next position when it holds none).
    static std::uint32_t HeldEnd(const Side& side);
    void Finish();
    void Emit(CapturedItem::Kind kind, const Stream& stream, bool fromClient, Stamp at,
              std::string bytes, std::string error);

    FileReader file;
    CaptureReaderOptions options;
    std::map<Key, Stream> streams;
    /// Items not handed out yet, by frame.
    std::multimap<std::uint64_t, CapturedItem> pending;
    /// The frames of every segment held ahead of a hole, in any conversation.
    std::multiset<std::uint64_t> heldFrames;
    /// The streams whose SYN is held, by the SYN's time and frame.
    std::map<std::pair<std::int64_t, std::uint64_t>, Stream*> heldSyns;
    std::uint64_t connections = 0;
    std::optional<std::int64_t> firstPacketNs;
    Stamp last;
    bool finished = false;
    bool needsInput = false;
};

}  // namespace capture
