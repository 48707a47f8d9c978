// CaptureWriter: a wire tap that writes a pcapng capture file on a thread of its own.
//
// The network code's calls (IWireTap) take a timestamp, copy the bytes into a bounded queue
// and return: capturing never makes the network thread wait for the disk. When the queue
// holds `maxQueuedBytes` already, a message is dropped and counted instead; the conversation
// in the file then shows a gap where it was (its TCP sequence numbers still advance), the
// count goes into the file's last block (isb_osdrop and a comment) and one log line at Close.
//
// The writer thread writes whole blocks, so a file whose writer is killed ends in whole
// blocks except perhaps the last, which readers skip. When the sink fails (a full disk, an
// I/O error), the writer says so once on the log, cuts the file back to its last whole block
// and stops capturing; the program goes on and later calls cost only a check.
//
// Threads: the IWireTap operations may be called from any thread and take only the queue's
// leaf lock. Close (or destruction) writes what is queued, the final statistics and joins.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/WireTap.h"

namespace capture {

/// Where blocks go.
class ISink {
public:
    virtual ~ISink() = default;
    /// Writes every byte, or fails with an errno value (0: written).
    virtual int Write(const void* data, std::size_t size) = 0;
};

/// A file sink. `write` stands in for ::write(2) (tests inject faults through it); after a
/// failed write the file is cut back to its size before that write.
using WriteFunction = std::function<long(int fd, const void* data, std::size_t size)>;
std::unique_ptr<ISink> OpenFileSink(const std::string& path, std::string& error,
                                    WriteFunction write = nullptr);

struct CaptureWriterOptions {
    /// The program, for the section header and the log ("minimap-client").
    std::string application;
    /// The real endpoint, which the synthesised headers do not show.
    std::string description;
    /// Which side captures: the other side's messages are flagged inbound.
    bool capturedByClient = true;
    /// What the queue may hold before messages are dropped.
    std::size_t maxQueuedBytes = 8u << 20;
    /// Microseconds since 1970; the system clock unless a test sets it.
    std::function<std::int64_t()> clockUs;
    /// The file's name, for log lines.
    std::string name;
};

struct CaptureWriterStats {
    std::uint64_t packets = 0;  ///< packet blocks written
    std::uint64_t dropped = 0;  ///< messages dropped because the queue was full
    bool failed = false;        ///< the sink failed; capture stopped
};

class CaptureWriter final : public IWireTap {
public:
    CaptureWriter(std::unique_ptr<ISink> sink, CaptureWriterOptions options);
    /// Opens `path` (created or truncated); null with `error` set when it cannot.
    static std::unique_ptr<CaptureWriter> Open(const std::string& path,
                                               CaptureWriterOptions options, std::string& error);
    ~CaptureWriter() override;

    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    void Opened(std::uint64_t connection) override;
    void Bytes(std::uint64_t connection, Direction d, const void* bytes, std::size_t size) override;
    void Closed(std::uint64_t connection) override;

    /// Writes what is queued and the final statistics, then joins the thread. Idempotent; the
    /// taps do nothing afterwards.
    void Close();
    CaptureWriterStats GetStats() const;

private:
    enum class Kind : std::uint8_t { Open, Data, Close };
    struct Record {
        Kind kind = Kind::Data;
        std::int64_t timeUs = 0;
        std::uint16_t clientPort = 0;
        Direction direction = Direction::ClientToServer;
        std::uint32_t seq = 0;  ///< of the sending side
        std::uint32_t ack = 0;  ///< the other side's next sequence number
        std::string bytes;
    };
    struct Connection {
        std::uint16_t clientPort = 0;
        std::uint32_t clientSeq = 1;
        std::uint32_t serverSeq = 1;
    };

    /// Stamps `record` and queues it; the caller holds `mutex`. False when capture has ended.
    bool PushLocked(Record&& record);
    void Run();
    std::string Blocks(const Record& record);
    bool WriteOut(const std::string& blocks);
    std::int64_t Now() const;
    /// The synthesised client port of a new connection (40000 to 59999, then again). Under
    /// the queue's lock.
    std::uint16_t NextClientPort();

    std::unique_ptr<ISink> sink;
    const CaptureWriterOptions options;
    const std::int64_t startUs;
    std::thread thread;

    // Guarded by mutex, a leaf lock.
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Record> queue;
    std::size_t queuedBytes = 0;
    std::map<std::uint64_t, Connection> connections;
    std::uint16_t nextClientPort = 40000;
    bool closing = false;  ///< set once, by the first Close
    CaptureWriterStats stats;

    // Writer thread only.
    std::uint16_t ipId = 0;
};

}  // namespace capture
