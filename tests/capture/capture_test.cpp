// The capture writer and reader: what the writer puts in a file reads back as the same
// connections and messages; a file cut anywhere reads up to its last whole block; a full queue
// drops and counts, a failing disk stops the capture once; damaged files give errors with
// their offsets; captures of other tools (pcap, other links, split and reordered segments)
// read as the messages they carry.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "capture/CaptureReader.h"
#include "capture/CaptureWriter.h"
#include "capture/Decode.h"
#include "capture/Pcapng.h"
#include "capture/ReplayClock.h"
#include "protocol/MiniMapProtocol.h"
#include "server/SimMessages.h"
#include "support/LogCapture.h"
#include "support/Scoped.h"
#include "support/TcpSegment.h"

namespace {

using capture::CapturedItem;
using capture::Direction;

/// Keeps every byte written; while held, Write waits until Release.
class MemorySink final : public capture::ISink {
public:
    explicit MemorySink(std::string& bytes, bool held = false) : bytes(bytes), held(held) {}
    int Write(const void* data, std::size_t size) override {
        std::unique_lock<std::mutex> guard(mutex);
        released.wait(guard, [this] { return !held; });
        bytes.append(static_cast<const char*>(data), size);
        ++writes;
        wrote.notify_all();
        return 0;
    }
    /// Waits until `count` writes have been made.
    void WaitForWrites(std::size_t count) {
        std::unique_lock<std::mutex> guard(mutex);
        wrote.wait(guard, [&] { return writes >= count; });
    }
    void Release() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            held = false;
        }
        released.notify_all();
    }

private:
    std::string& bytes;
    std::mutex mutex;
    std::condition_variable released;
    std::condition_variable wrote;
    bool held;
    std::size_t writes = 0;
};

capture::CaptureWriterOptions Options(std::size_t maxQueued = 1u << 20) {
    capture::CaptureWriterOptions options;
    options.application = "capture-test";
    options.description = "test";
    options.name = "test.pcapng";
    options.maxQueuedBytes = maxQueued;
    // Every timestamp one millisecond after the previous, from 1000 s.
    options.clockUs = [t = std::int64_t{1000000000}]() mutable { return t += 1000; };
    return options;
}

std::string Str(const std::vector<char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

const std::string kPoll = Str(sim::EncodePoll());
const std::string kClear = Str(sim::EncodeSync(sim::SyncItem{}));  // a SyncItem is a Clear
const std::string kLength3("\x20\x00\xFE\x00\x03\x00", 6);

std::string SetPlayer(std::uint64_t id) {
    sim::SyncItem set;
    set.op = proto::MiniMapSyncOp::Set;
    set.player = true;
    set.playerRecord = proto::MakePlayer(id, 10.0f, 20.0f);
    return Str(sim::EncodeSync(set));
}

/// Two connections: a poll answered, an invalid header, a message cut after 10 bytes.
void WriteSession(capture::IWireTap& tap) {
    tap.Opened(1);
    tap.Bytes(1, Direction::ClientToServer, kPoll.data(), kPoll.size());
    const std::string set = SetPlayer(1);
    tap.Bytes(1, Direction::ServerToClient, set.data(), set.size());
    tap.Bytes(1, Direction::ServerToClient, kLength3.data(), kLength3.size());
    tap.Closed(1);
    tap.Opened(2);
    tap.Bytes(2, Direction::ServerToClient, kClear.data(), 10);
    tap.Closed(2);
}

std::string Written(capture::CaptureWriterOptions options = Options()) {
    std::string bytes;
    capture::CaptureWriter writer(std::make_unique<MemorySink>(bytes), std::move(options));
    WriteSession(writer);
    writer.Close();
    return bytes;
}

std::vector<CapturedItem> ReadAll(const std::string& bytes, std::string* error = nullptr,
                                  std::string* warning = nullptr,
                                  capture::CaptureReaderOptions options = {}) {
    capture::CaptureReader reader(bytes, options);
    std::vector<CapturedItem> items;
    CapturedItem item;
    while (reader.Next(item)) {
        items.push_back(item);
    }
    if (error != nullptr) {
        *error = reader.GetError();
    }
    if (warning != nullptr) {
        *warning = reader.GetWarning();
    }
    return items;
}

/// "open 1", "c2s 1 Poll", "s2c 2 Malformed: <error>"... for comparing item lists.
std::vector<std::string> Describe(const std::vector<CapturedItem>& items,
                                  bool withEndOfCapture = true) {
    std::vector<std::string> out;
    for (const CapturedItem& i : items) {
        if (!withEndOfCapture && i.kind == CapturedItem::Kind::Problem &&
            i.error.rfind("the capture ends", 0) == 0) {
            continue;
        }
        const std::string conn = " " + std::to_string(i.connection);
        switch (i.kind) {
            case CapturedItem::Kind::Open:
                out.push_back("open" + conn);
                break;
            case CapturedItem::Kind::Close:
                out.push_back("close" + conn);
                break;
            case CapturedItem::Kind::Problem:
                out.push_back(std::string(ToString(i.direction)) + conn + " problem: " + i.error);
                break;
            case CapturedItem::Kind::Message:
                out.push_back(std::string(ToString(i.direction)) + conn + " " +
                              capture::DecodeMessage(i.bytes).name +
                              (i.error.empty() ? "" : ": " + i.error));
                break;
        }
    }
    return out;
}

TEST(Capture, WrittenSessionReadsBackAsItsConnectionsAndMessagesAtTheirTimes) {
    const std::string bytes = Written();
    std::string error;
    std::string warning;
    const std::vector<CapturedItem> items = ReadAll(bytes, &error, &warning);
    EXPECT_EQ(error, "");
    EXPECT_EQ(warning, "");
    EXPECT_EQ(
        Describe(items),
        (std::vector<std::string>{
            "open 1", "c2s 1 Poll", "s2c 1 Set",
            "s2c 1 Malformed: length field below the 6-byte header: length 3", "close 1", "open 2",
            "s2c 2 Malformed: connection cut in the middle of a message (10 of 14 bytes)",
            "close 2"}));
    // The writer took the capture's start, then one timestamp per call, a millisecond apart.
    capture::CaptureReader reader(bytes);
    CapturedItem item;
    std::vector<std::int64_t> ms;
    while (reader.Next(item)) {
        ms.push_back((item.timeNs - *reader.GetOriginNs()) / 1000000);
    }
    // The cut message is known as cut when its connection closes.
    EXPECT_EQ(ms, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 8, 8}));
    EXPECT_EQ(reader.GetFile().GetApplication(), "capture-test");
    EXPECT_EQ(reader.GetFile().GetDropped(), std::optional<std::uint64_t>(0));
}

TEST(Capture, FileCutAnywhereReadsUpToItsLastWholeBlock) {
    const std::string bytes = Written();
    const std::vector<CapturedItem> all = ReadAll(bytes);
    const std::vector<std::size_t> ends = capture::BlockEnds(bytes);
    ASSERT_EQ(ends.back(), bytes.size());
    std::uint64_t packets = 0;
    for (std::size_t block = 0; block < ends.size(); ++block) {
        // Section header, interface, statistics, then packets.
        if (block >= 3 && block + 1 < ends.size()) {
            ++packets;
        }
        std::vector<CapturedItem> expected;
        for (const CapturedItem& i : all) {
            // A connection is one once the server's SYN-ACK, the frame after the SYN, is in.
            if (i.frame + (i.kind == CapturedItem::Kind::Open ? 1 : 0) <= packets) {
                expected.push_back(i);
            }
        }
        std::string error;
        std::string warning;
        // A message still open when the capture ends is shown as bytes left over, which the
        // whole file has no reason to show.
        EXPECT_EQ(Describe(ReadAll(bytes.substr(0, ends[block]), &error, &warning), false),
                  Describe(expected))
            << "cut at the end of block " << block;
        EXPECT_EQ(error + warning, "") << "cut at the end of block " << block;
        // Cut inside the next block: the same items, and a warning that says where.
        if (block + 1 < ends.size()) {
            for (const std::size_t inside :
                 {ends[block] + 1, ends[block] + 11, ends[block + 1] - 1}) {
                EXPECT_EQ(Describe(ReadAll(bytes.substr(0, inside), &error, &warning), false),
                          Describe(expected))
                    << "cut at " << inside;
                EXPECT_EQ(error, "");
                EXPECT_NE(
                    warning.find("ends inside the block at offset " + std::to_string(ends[block])),
                    std::string::npos)
                    << warning;
            }
        }
    }
}

/// What a reader fed `bytes` in pieces of `piece` bytes gives, as a pipe from a live capture
/// feeds it; `early` counts the items it gave before the input ended.
std::vector<CapturedItem> ReadFed(const std::string& bytes, std::size_t piece, std::string& error,
                                  std::string& warning, std::size_t& early) {
    capture::CaptureReader reader(capture::CaptureReaderOptions{});
    std::vector<CapturedItem> items;
    CapturedItem item;
    for (std::size_t at = 0;; at += piece) {
        while (reader.Next(item)) {
            items.push_back(item);
        }
        if (!reader.NeedsInput()) {
            break;
        }
        if (at < bytes.size()) {
            reader.Append(std::string_view(bytes).substr(at, piece));
            early = items.size();
        } else {
            reader.EndInput();
        }
    }
    error = reader.GetError();
    warning = reader.GetWarning();
    return items;
}

// Read as it is written, a capture gives what the whole file gives, as each packet comes: the
// same items at the same frames, the same warning for a cut end, the same error at the same
// offset beyond the megabyte after which the reader lets go of what it read.
TEST(Capture, CaptureReadAsItIsWrittenGivesWhatTheWholeFileGives) {
    std::string big;
    {
        capture::CaptureWriter writer(std::make_unique<MemorySink>(big), Options());
        writer.Opened(1);
        for (int i = 0; i < 30000; ++i) {
            writer.Bytes(1, Direction::ClientToServer, kPoll.data(), kPoll.size());
        }
        writer.Closed(1);
        writer.Close();
    }
    ASSERT_GT(big.size(), std::size_t{2} << 20);
    std::string damaged = big;
    const std::vector<std::size_t> ends = capture::BlockEnds(damaged);
    damaged.replace(ends[ends.size() - 4] + 4, 4, std::string("\x4E\x00\x00\x00", 4));
    const std::string damagedError = "offset " + std::to_string(ends[ends.size() - 4]) +
                                     ": block length 78 is not a multiple of 4";
    const std::string small = Written();
    for (const auto& [name, bytes, piece, expectedError] :
         {std::tuple{"session, 7 bytes a time", small, std::size_t{7}, std::string()},
          std::tuple{"session cut inside its last block", small.substr(0, small.size() - 9),
                     std::size_t{1000}, std::string()},
          std::tuple{"damaged past 2 MB, 64 KiB a time", damaged, std::size_t{1} << 16,
                     damagedError}}) {
        std::string error;
        std::string warning;
        const std::vector<CapturedItem> whole = ReadAll(bytes, &error, &warning);
        EXPECT_EQ(error, expectedError) << name;
        std::string fedError;
        std::string fedWarning;
        std::size_t early = 0;
        const std::vector<CapturedItem> fed = ReadFed(bytes, piece, fedError, fedWarning, early);
        EXPECT_EQ(Describe(fed), Describe(whole)) << name;
        ASSERT_EQ(fed.size(), whole.size()) << name;
        for (std::size_t i = 0; i < fed.size(); ++i) {
            EXPECT_EQ(fed[i].frame, whole[i].frame) << name << ", item " << i;
        }
        EXPECT_EQ(fedError, error) << name;
        EXPECT_EQ(fedWarning, warning) << name;
        EXPECT_GT(early, whole.size() / 2) << name << ": items came before the input ended";
    }
}

TEST(Capture, FullQueueDropsMessagesCountsThemInTheFileAndShowsTheGap) {
    test::LogCapture log;
    std::string bytes;
    auto sink = std::make_unique<MemorySink>(bytes, true);
    MemorySink& held = *sink;
    // The writer thread waits in its first write, so nothing leaves the queue: seven polls
    // (98 bytes) fit in 100, the other thirteen are dropped.
    capture::CaptureWriter writer(std::move(sink), Options(100));
    writer.Opened(1);
    for (int i = 0; i < 20; ++i) {
        writer.Bytes(1, Direction::ClientToServer, kPoll.data(), kPoll.size());
    }
    held.Release();
    held.WaitForWrites(2);  // the file's first blocks, then everything queued
    // The conversation goes on: the answer acknowledges the dropped polls, a poll follows.
    const std::string set = SetPlayer(1);
    writer.Bytes(1, Direction::ServerToClient, set.data(), set.size());
    writer.Bytes(1, Direction::ClientToServer, kPoll.data(), kPoll.size());
    writer.Closed(1);
    EXPECT_EQ(writer.GetStats().dropped, 13u);
    writer.Close();

    capture::CaptureReader reader(bytes);
    CapturedItem item;
    std::vector<CapturedItem> items;
    while (reader.Next(item)) {
        items.push_back(item);
    }
    EXPECT_EQ(reader.GetFile().GetDropped(), std::optional<std::uint64_t>(13));
    std::vector<std::string> expected = {"open 1"};
    expected.insert(expected.end(), 7, "c2s 1 Poll");
    expected.insert(expected.end(), {"c2s 1 problem: 182 bytes missing from the capture",
                                     "s2c 1 Set", "c2s 1 Poll", "close 1"});
    EXPECT_EQ(Describe(items), expected);
    std::size_t dropLines = 0;
    for (const std::string& line : log.Lines()) {
        dropLines += line.find("13 messages dropped") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(dropLines, 1u);
}

TEST(Capture, FailingDiskStopsTheCaptureOnceAndLeavesWholeBlocks) {
    test::LogCapture log;
    test::TempDir dir;
    const std::string path = (dir / "full.pcapng").string();
    // The disk takes 300 bytes, then is full.
    std::size_t room = 300;
    std::string error;
    auto sink = capture::OpenFileSink(path, error,
                                      [&room](int fd, const void* data, std::size_t size) -> long {
                                          if (room == 0) {
                                              errno = ENOSPC;
                                              return -1;
                                          }
                                          const std::size_t n = std::min(room, size);
                                          room -= n;
                                          return ::write(fd, data, n);
                                      });
    ASSERT_NE(sink, nullptr) << error;
    capture::CaptureWriter writer(std::move(sink), Options());
    WriteSession(writer);
    writer.Close();
    WriteSession(writer);  // after the failure and the close: nothing, and no crash
    EXPECT_TRUE(writer.GetStats().failed);

    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string readError;
    std::string warning;
    ReadAll(bytes, &readError, &warning);
    EXPECT_EQ(readError + warning, "") << "the file must end in a whole block";
    EXPECT_LT(bytes.size(), 300u);
    std::size_t failures = 0;
    for (const std::string& line : log.Lines()) {
        failures += line.find(
                        "capture-test: capture test.pcapng: write failed (No space left on "
                        "device); capture stopped") != std::string::npos;
    }
    EXPECT_EQ(failures, 1u);
}

// A capture is read whole: a sparse file of gigabytes is refused by its size before any read.
TEST(Capture, FileBeyondTheSizeLimitIsRefusedUnread) {
    test::TempDir dir;
    const std::string path = (dir / "sparse.pcapng").string();
    std::ofstream(path).close();
    std::filesystem::resize_file(path, capture::kMaxCaptureFileBytes + 1);
    std::string bytes;
    std::string error;
    EXPECT_FALSE(capture::ReadCaptureFile(path, bytes, error));
    EXPECT_EQ(error, "cannot read " + path + ": it is larger than 1073741824 bytes");
    EXPECT_TRUE(capture::ReadCaptureFile("/dev/null", bytes, error));
    EXPECT_FALSE(capture::ReadCaptureFile(dir.Path().string(), bytes, error));
    EXPECT_EQ(error, "cannot read " + dir.Path().string() + ": Is a directory");
}

// Opening a FIFO for writing waits for a reader: one that nobody reads is refused at once.
TEST(Capture, FifoThatNobodyReadsIsRefusedNotWaitedOn) {
    test::TempDir dir;
    const std::string path = (dir / "capture.fifo").string();
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::string error;
    EXPECT_EQ(capture::CaptureWriter::Open(path, Options(), error), nullptr);
    EXPECT_EQ(error, "cannot create " + path + ": a FIFO that nobody reads");
}

struct Damage {
    const char* what;
    std::size_t offset;  ///< where to write `bytes`; npos: cut the file to `bytes`' length
    std::string bytes;
    const char* error;
};

void PrintTo(const Damage& d, std::ostream* os) {
    *os << d.what;
}

class DamagedCapture : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedCapture, GivesItsErrorWithTheOffsetAndWhatCameBefore) {
    std::string bytes = Written();
    const Damage& d = GetParam();
    const std::vector<std::size_t> ends = capture::BlockEnds(bytes);
    // Offsets count from the fourth block, the first packet, so that the blocks before read.
    const std::size_t at = d.offset == 0 ? 0 : ends[2] + d.offset;
    bytes.replace(at, d.bytes.size(), d.bytes);
    std::string expected = d.error;
    if (const std::size_t mark = expected.find('@'); mark != std::string::npos) {
        expected.replace(mark, 1, std::to_string(ends[2]));
    }
    std::string error;
    ReadAll(bytes, &error);
    EXPECT_EQ(error, expected) << d.what;
}

INSTANTIATE_TEST_SUITE_P(
    Capture, DamagedCapture,
    ::testing::Values(Damage{"not a capture", 0, "GIF8",
                             "offset 0: not a pcapng or pcap file (first bytes 47 49 46 38)"},
                      Damage{"length not a multiple of 4", 4, std::string("\x4E\x00\x00\x00", 4),
                             "offset @: block length 78 is not a multiple of 4"},
                      Damage{"length below 12", 4, std::string("\x08\x00\x00\x00", 4),
                             "offset @: block length 8 is below 12"},
                      Damage{"packet on an interface never described", 8,
                             std::string("\x05\x00\x00\x00", 4),
                             "offset @: packet on interface 5, which is not described"},
                      Damage{"captured length past its block", 20,
                             std::string("\xFF\x00\x00\x00", 4),
                             "offset @: captured length 255 runs past the end of its block"}),
    [](const auto& info) { return std::to_string(info.index); });

/// A TCP segment of the one conversation on port 9000 in a capture of another tool.
struct CookedSegment {
    bool fromClient;
    std::uint32_t seq;
    std::uint8_t flags;
    std::string payload;
    std::uint32_t ack = 0;
    /// Bytes of the frame's end left out, as a snapshot length leaves them.
    std::size_t cut = 0;
    /// An IP length of 0, as a host that offloads segmentation captures its segments.
    bool offloaded = false;
    std::uint16_t clientPort = 51000;
};

/// A pcap file of Linux cooked frames: each segment's synthesised IP packet behind a cooked
/// header, with the server port changed to 9000.
std::string CookedPcap(const std::vector<CookedSegment>& segments) {
    std::string file("\xD4\xC3\xB2\xA1\x02\x00\x04\x00", 8);
    file += std::string(8, '\0');
    file += std::string("\x00\x00\x04\x00\x71\x00\x00\x00", 8);  // snaplen, link type 113
    std::uint32_t second = 1700000000;
    for (const CookedSegment& s : segments) {
        capture::Segment tcp = test::TcpSegment(s.fromClient, s.clientPort, s.seq, s.flags,
                                                s.payload.data(), s.payload.size());
        tcp.ack = s.ack;
        std::string frame = capture::EthernetFrame(tcp).substr(14);
        frame[20 + (s.fromClient ? 2 : 0)] = static_cast<char>(9000 >> 8);
        frame[20 + (s.fromClient ? 3 : 1)] = static_cast<char>(9000 & 0xFF);
        if (s.offloaded) {
            frame[2] = frame[3] = 0;
        }
        std::string data(16, '\0');
        data[14] = 0x08;  // IPv4
        data += frame.substr(0, frame.size() - s.cut);
        const std::uint32_t record[4] = {second++, 0, static_cast<std::uint32_t>(data.size()),
                                         static_cast<std::uint32_t>(data.size() + s.cut)};
        file.append(reinterpret_cast<const char*>(record), sizeof record);
        file += data;
    }
    return file;
}

TEST(Capture, PcapOfAnotherToolReadsAsItsMessagesWhateverTheSegmenting) {
    const std::string query = Str(sim::EncodeQuery(7));
    const std::string answer =
        Str(sim::EncodeQueryResult(proto::MakeNpc(7, "Smith", 1, 2, 3, -1))) +
        Str(sim::EncodeQueryEnd());
    const std::string file = CookedPcap({
        {true, 100, capture::kTcpSyn, ""},
        {false, 500, capture::kTcpSyn | capture::kTcpAck, ""},
        // The query in two pieces, the second first; then the first again.
        {true, 101 + 9, capture::kTcpAck, query.substr(9)},
        {true, 101, capture::kTcpAck, query.substr(0, 9)},
        {true, 101, capture::kTcpAck, query.substr(0, 9)},
        // Both answers: the first 50 bytes, then the rest from byte 40 on, overlapping.
        {false, 501, capture::kTcpAck, answer.substr(0, 50)},
        {false, 501 + 40, capture::kTcpAck, answer.substr(40)},
        {false, 501 + static_cast<std::uint32_t>(answer.size()),
         capture::kTcpFin | capture::kTcpAck, ""},
        {true, 101 + static_cast<std::uint32_t>(query.size()), capture::kTcpFin | capture::kTcpAck,
         ""},
    });
    std::string error;
    EXPECT_EQ(Describe(ReadAll(file, &error)),
              (std::vector<std::string>{"open 1", "c2s 1 Query", "s2c 1 QueryResult",
                                        "s2c 1 QueryEnd", "close 1"}));
    EXPECT_EQ(error, "");
}

// What a capture lacks (a segment it dropped, the end of a frame its snapshot length cut) is
// said where it is missing, and the messages after it are read, each at its own frame.
TEST(Capture, PcapOfAnotherToolReadsOnPastWhatItMissed) {
    const std::string a = SetPlayer(1);
    const std::string lostWhole = SetPlayer(2);
    const std::string c = SetPlayer(3);
    const std::string end = Str(sim::EncodeQueryEnd());
    const std::string lostHead = SetPlayer(4);
    const std::string f = SetPlayer(5);
    const auto at = [](const std::vector<std::string>& before) {
        std::uint32_t seq = 501;
        for (const std::string& bytes : before) {
            seq += static_cast<std::uint32_t>(bytes.size());
        }
        return seq;
    };
    const std::uint8_t ack = capture::kTcpAck;
    const std::string file = CookedPcap({
        {true, 100, capture::kTcpSyn, ""},
        {false, 500, capture::kTcpSyn | ack, "", 101},
        {false, 501, ack, a, 101, 0, true},
        // lostWhole is not in the capture; c waits for it until the client acknowledges both,
        // after a poll of its own.
        {false, at({a, lostWhole}), ack, c, 101},
        {true, 101, ack, kPoll, at({a})},
        {true, 115, ack, "", at({a, lostWhole, c})},
        // The snapshot length keeps 8 of QueryEnd's 14 bytes.
        {false, at({a, lostWhole, c}), ack, end, 101, 6},
        // The first 20 bytes of lostHead are not in the capture, the rest is.
        {false, at({a, lostWhole, c, end}) + 20, ack, lostHead.substr(20), 101},
        {false, at({a, lostWhole, c, end, lostHead}), ack, f, 101},
        {false, at({a, lostWhole, c, end, lostHead, f}), capture::kTcpFin | ack, "", 101},
        {true, 115, capture::kTcpFin | ack, "", at({a, lostWhole, c, end, lostHead, f}) + 1},
    });
    std::string error;
    const std::vector<CapturedItem> items = ReadAll(file, &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(Describe(items),
              (std::vector<std::string>{
                  "open 1", "s2c 1 Set", "s2c 1 problem: 39 bytes missing from the capture",
                  "s2c 1 Set", "c2s 1 Poll",
                  "s2c 1 problem: 6 bytes missing from the capture; the message before them is "
                  "cut (8 of 14 bytes)",
                  "s2c 1 problem: 20 bytes missing from the capture",
                  "s2c 1 problem: 19 bytes after a gap that do not start a message, not read as "
                  "messages",
                  "s2c 1 Set", "close 1"}));
    ASSERT_EQ(items.size(), 10u);
    // In frame order, from 1: c came in the fourth, before the poll; f in the ninth.
    EXPECT_EQ(items[2].frame, 4u);
    EXPECT_EQ(items[3].frame, 4u);
    EXPECT_EQ(items[3].bytes, c);
    EXPECT_EQ(items[8].frame, 9u);
    EXPECT_EQ(items[8].bytes, f);
}

// A capture begun while the game ran: each side is read from its first segment that starts
// with a header, what comes before it is said to be unread, with its bytes, as is what follows
// an invalid length field.
TEST(Capture, PcapJoinedMidwayReadsEachSideFromItsFirstHeader) {
    const std::string set = SetPlayer(1);
    const std::uint8_t ack = capture::kTcpAck;
    const std::string file = CookedPcap({
        {false, 1000, ack, set.substr(10)},
        {false, 1029, ack, kClear},
        {true, 100, ack, kPoll},
        {false, 1043, ack, kLength3 + kPoll},
    });
    std::string error;
    const std::vector<CapturedItem> items = ReadAll(file, &error, nullptr, {.serverPort = 9000});
    EXPECT_EQ(error, "");
    EXPECT_EQ(Describe(items),
              (std::vector<std::string>{
                  "open 1",
                  "s2c 1 problem: 29 bytes of a conversation the capture joined midway that do "
                  "not start a message, not read as messages",
                  "s2c 1 Clear", "c2s 1 Poll",
                  "s2c 1 Malformed: length field below the 6-byte header: length 3",
                  "s2c 1 problem: 14 bytes after a message with an invalid length field, not "
                  "read as messages"}));
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items[1].bytes, set.substr(10));
    EXPECT_EQ(items[5].bytes, kPoll);
}

// A client retrying against a server that is down: attempts refused by a RST are no
// connections; the one accepted opens at its SYN, whether the port was given or found from
// the bytes, and a RST closes it even after a FIN of its own.
class RetriedCapture : public ::testing::TestWithParam<std::optional<std::uint16_t>> {};

TEST_P(RetriedCapture, NumbersOnlyTheAcceptedConnectionFromItsSynToItsReset) {
    const std::uint8_t ack = capture::kTcpAck;
    const std::string file = CookedPcap({
        {true, 100, capture::kTcpSyn, ""},
        {false, 0, capture::kTcpRst | ack, "", 101},
        {true, 200, capture::kTcpSyn, ""},
        {false, 500, capture::kTcpSyn | ack, "", 201},
        {false, 501, ack, kClear, 201},
        {true, 201, capture::kTcpFin | ack, "", 515},
        {true, 202, capture::kTcpRst, ""},
    });
    const std::vector<CapturedItem> items =
        ReadAll(file, nullptr, nullptr, {.serverPort = GetParam()});
    EXPECT_EQ(Describe(items), (std::vector<std::string>{"open 1", "s2c 1 Clear", "close 1"}));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].frame, 3u);
    EXPECT_EQ(items[2].frame, 7u);
}

INSTANTIATE_TEST_SUITE_P(Capture, RetriedCapture,
                         ::testing::Values(std::optional<std::uint16_t>(9000), std::nullopt),
                         [](const auto& info) { return info.param ? "PortGiven" : "PortFound"; });

// Attempts nobody answers (a scan, a client giving up) hold what follows them back only while
// an answer may still come: a capture read as it is written keeps flowing.
TEST(Capture, UnansweredSynsHoldLaterItemsBackOnlyForTheHandshakeTime) {
    const std::uint8_t ack = capture::kTcpAck;
    std::vector<CookedSegment> segments;
    for (std::uint16_t port = 52000; port < 52003; ++port) {  // one a second, from 0 s
        segments.push_back({true, 100, capture::kTcpSyn, "", 0, 0, false, port});
    }
    segments.push_back({true, 100, capture::kTcpSyn, ""});
    segments.push_back({false, 500, capture::kTcpSyn | ack, "", 101});
    constexpr int kSets = 10;
    std::uint32_t seq = 501;
    for (int i = 0; i < kSets; ++i) {
        const std::string set = SetPlayer(static_cast<std::uint64_t>(i));
        segments.push_back({false, seq, ack, set, 101});
        seq += static_cast<std::uint32_t>(set.size());
    }
    segments.push_back({false, seq, capture::kTcpFin | ack, "", 101});
    segments.push_back({true, 101, capture::kTcpFin | ack, "", seq + 1});
    const std::string file = CookedPcap(segments);
    std::string error;
    std::string warning;
    std::size_t early = 0;
    const std::vector<CapturedItem> items = ReadFed(file, 16, error, warning, early);
    EXPECT_EQ(error, "");
    ASSERT_EQ(items.size(), std::size_t{kSets + 2});
    EXPECT_EQ(Describe(items).front(), "open 1");
    EXPECT_EQ(Describe(items).back(), "close 1");
    EXPECT_GE(early, std::size_t{kSets}) << "items waited for the end of the input";
}

// A replay keeps the captured spacing except where the captured clock jumps beyond a day (one
// day is played) or goes back (the item plays at once); later items keep their spacing from
// where the replay is.
TEST(Capture, ReplayClockPlaysAJumpBeyondADayAsADayAndNeverGoesBack) {
    constexpr std::int64_t kSecond = 1000000000;
    constexpr std::int64_t kDay = capture::kLongestReplayStepNs;
    constexpr std::int64_t kThirtyYears = std::int64_t{30} * 365 * 86400 * kSecond;
    struct Step {
        std::int64_t captured, replayed, cut;
    };
    const std::vector<Step> steps = {
        {0, 0, 0},
        {kSecond, kSecond, 0},
        {kSecond + kThirtyYears, kSecond + kDay, kThirtyYears},
        {3 * kSecond + kThirtyYears, 3 * kSecond + kDay, 0},
        {-kSecond, 3 * kSecond + kDay, 0},
        {3 * kSecond + kThirtyYears + kDay, 3 * kSecond + 2 * kDay, 0},
        {3 * kSecond + kThirtyYears + 2 * kDay + 1, 3 * kSecond + 3 * kDay, kDay + 1},
    };
    capture::ReplayClock clock;
    for (const Step& step : steps) {
        std::int64_t cut = -1;
        EXPECT_EQ(clock.At(step.captured, cut), step.replayed) << step.captured;
        EXPECT_EQ(cut, step.cut) << step.captured;
    }
    EXPECT_EQ(capture::ReplayClockJumpText(kThirtyYears),
              "the capture's clock jumps 946080000 s ahead; replayed as 86400 s");
}

TEST(Capture, DecodedNpcShowsEveryFieldWithItsNameBytesEscaped) {
    CapturedItem item;
    item.frame = 9;
    item.timeNs = 1500000;
    item.connection = 2;
    item.direction = Direction::ServerToClient;
    sim::SyncItem set;
    set.op = proto::MiniMapSyncOp::Set;
    set.player = false;
    set.npcRecord = proto::MakeNpc(7, std::string("Sm\xFFth \"\xE6\x9C\xA8\"\x01\xC2\x9B", 14),
                                   1.5f, -2, 3, -1);
    item.bytes = Str(sim::EncodeSync(set));
    EXPECT_EQ(capture::FormatJson(item, 0),
              "{\"frame\":9,\"time\":0.001500,\"conn\":2,\"event\":\"message\",\"dir\":\"s2c\","
              "\"type\":32,\"id\":254,\"length\":103,\"msg\":\"Set\",\"op\":0,\"selector\":0,"
              "\"store\":\"npc\",\"npc\":{\"id\":7,\"name\":\"Sm\\u00ffth "
              "\\\"\xE6\x9C\xA8\\\"\\u0001\\u009b\","
              "\"x\":1.5,\"y\":-2.0,\"kind\":3,\"quest\":-1,\"reserved\":0},\"chunks\":[{\"id\":0,"
              "\"size\":8},{\"id\":1,\"size\":5},{\"id\":2,\"size\":84}],\"malformed\":false}");
    EXPECT_EQ(
        capture::FormatText(item, 0),
        "0.001500 #9 conn 2 s2c Set type 32 id 254 length 103 op=0 selector=0 store=npc "
        "npc.id=7 npc.name=\"Sm\\xffth \\\"\xE6\x9C\xA8\\\"\\x01\\xc2\\x9b\" npc.x=1.5 npc.y=-2.0 "
        "npc.kind=3 npc.quest=-1 npc.reserved=0 chunks 0:8 1:5 2:84\n");
    // A Set whose record chunk is a byte short: decoded as far as it goes, and why it stops.
    item.bytes = Str(sim::EncodeSync(set));
    item.bytes.resize(item.bytes.size() - 1);
    item.bytes[4] = static_cast<char>(item.bytes.size());
    item.bytes[21] = 83;  // chunk 2's size
    EXPECT_EQ(capture::DecodeMessage(item.bytes).error,
              "chunk 2 (NPC record) holds 79 bytes, not 80");
}

}  // namespace
