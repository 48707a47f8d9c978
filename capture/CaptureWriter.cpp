#include "capture/CaptureWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "capture/Pcapng.h"
#include "net/LogFormat.h"

namespace capture {

namespace {

class FileSink final : public ISink {
public:
    FileSink(int fd, WriteFunction write) : fd(fd), write(std::move(write)) {}
    ~FileSink() override { ::close(fd); }

    int Write(const void* data, std::size_t size) override {
        const auto* p = static_cast<const char*>(data);
        std::size_t done = 0;
        while (done < size) {
            const long n =
                write ? write(fd, p + done, size - done) : ::write(fd, p + done, size - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                const int failure = n < 0 ? errno : ENOSPC;
                // Back to the last whole block, so that the file stays readable to its end.
                if (::ftruncate(fd, static_cast<off_t>(written)) == 0) {
                    ::lseek(fd, static_cast<off_t>(written), SEEK_SET);
                }
                return failure;
            }
            done += static_cast<std::size_t>(n);
        }
        written += size;
        return 0;
    }

private:
    int fd;
    WriteFunction write;
    std::uint64_t written = 0;
};

void Say(const CaptureWriterOptions& options, int level, const std::string& text) {
    LogText(level, (options.application + ": capture " + options.name + ": " + text).c_str());
}

}  // namespace

std::unique_ptr<ISink> OpenFileSink(const std::string& path, std::string& error,
                                    WriteFunction write) {
    // Opened without blocking: a FIFO that a reader (a live Wireshark, say) holds open is
    // written to as usual, one that nobody reads is refused instead of waited on for ever.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        error = "cannot create " + path + ": " +
                (errno == ENXIO ? std::string("a FIFO that nobody reads") : std::strerror(errno));
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FileSink>(fd, std::move(write));
}

CaptureWriter::CaptureWriter(std::unique_ptr<ISink> sink, CaptureWriterOptions options)
    : sink(std::move(sink)), options(std::move(options)), startUs(Now()) {
    thread = std::thread([this] { Run(); });
}

std::unique_ptr<CaptureWriter> CaptureWriter::Open(const std::string& path,
                                                   CaptureWriterOptions options,
                                                   std::string& error) {
    std::unique_ptr<ISink> sink = OpenFileSink(path, error);
    if (!sink) {
        return nullptr;
    }
    if (options.name.empty()) {
        options.name = path;
    }
    return std::make_unique<CaptureWriter>(std::move(sink), std::move(options));
}

CaptureWriter::~CaptureWriter() {
    Close();
}

std::int64_t CaptureWriter::Now() const {
    if (options.clockUs) {
        return options.clockUs();
    }
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void CaptureWriter::Opened(std::uint64_t connection) {
    Record record;
    record.kind = Kind::Open;
    {
        std::lock_guard<std::mutex> guard(mutex);
        Connection& c = connections[connection];
        c = Connection{};
        c.clientPort = NextClientPort();
        record.clientPort = c.clientPort;
        if (!PushLocked(std::move(record))) {
            return;
        }
    }
    wake.notify_one();
}

std::uint16_t CaptureWriter::NextClientPort() {
    const std::uint16_t port = nextClientPort;
    nextClientPort = nextClientPort == 59999 ? 40000 : static_cast<std::uint16_t>(port + 1);
    return port;
}

void CaptureWriter::Bytes(std::uint64_t connection, Direction d, const void* bytes,
                          std::size_t size) {
    Record record;
    record.direction = d;
    record.bytes.assign(static_cast<const char*>(bytes), size);
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (closing || stats.failed) {
            return;
        }
        Connection& c = connections[connection];
        if (c.clientPort == 0) {
            // Bytes of a connection whose opening was not told: it opens here.
            c.clientPort = NextClientPort();
        }
        record.clientPort = c.clientPort;
        std::uint32_t& own = d == Direction::ClientToServer ? c.clientSeq : c.serverSeq;
        record.seq = own;
        record.ack = d == Direction::ClientToServer ? c.serverSeq : c.clientSeq;
        // The sequence advances whether or not the bytes make it into the file: a dropped
        // message shows as a gap in the conversation.
        own += static_cast<std::uint32_t>(size);
        if (queuedBytes + size > options.maxQueuedBytes) {
            ++stats.dropped;
            return;
        }
        if (!PushLocked(std::move(record))) {
            return;
        }
    }
    wake.notify_one();
}

void CaptureWriter::Closed(std::uint64_t connection) {
    Record record;
    record.kind = Kind::Close;
    {
        std::lock_guard<std::mutex> guard(mutex);
        const auto it = connections.find(connection);
        if (it == connections.end()) {
            return;
        }
        record.clientPort = it->second.clientPort;
        record.seq = it->second.clientSeq;
        record.ack = it->second.serverSeq;
        connections.erase(it);
        if (!PushLocked(std::move(record))) {
            return;
        }
    }
    wake.notify_one();
}

// Sequence and acknowledgement numbers, time stamps and the queue's order are all decided in
// one critical section: a record that took its numbers before another thread's must also be
// written before it, or a reader's TCP analysis sees data acknowledged before it was sent and
// takes the later segment for a retransmission.
bool CaptureWriter::PushLocked(Record&& record) {
    if (closing || stats.failed) {
        return false;
    }
    record.timeUs = Now();
    queuedBytes += record.bytes.size();
    queue.push_back(std::move(record));
    return true;
}

std::string CaptureWriter::Blocks(const Record& r) {
    const bool clientCaptures = options.capturedByClient;
    const auto packet = [&](bool fromClient, std::uint32_t seq, std::uint32_t ack,
                            std::uint8_t flags, const std::string& payload) {
        Segment s;
        s.fromClient = fromClient;
        s.clientPort = r.clientPort;
        s.seq = seq;
        s.ack = ack;
        s.flags = flags;
        s.payload = payload.data();
        s.size = payload.size();
        s.ipId = ipId++;
        // epb_flags: inbound (1) when the other side sent it, outbound (2) otherwise.
        const std::uint32_t direction = fromClient == clientCaptures ? 2 : 1;
        return EnhancedPacketBlock(r.timeUs, EthernetFrame(s), direction);
    };
    const std::string none;
    switch (r.kind) {
        case Kind::Open:
            return packet(true, 0, 0, kTcpSyn, none) +
                   packet(false, 0, 1, kTcpSyn | kTcpAck, none) + packet(true, 1, 1, kTcpAck, none);
        case Kind::Data:
            return packet(r.direction == Direction::ClientToServer, r.seq, r.ack, kTcpPsh | kTcpAck,
                          r.bytes);
        case Kind::Close:
            return packet(true, r.seq, r.ack, kTcpFin | kTcpAck, none) +
                   packet(false, r.ack, r.seq + 1, kTcpFin | kTcpAck, none);
    }
    return none;
}

bool CaptureWriter::WriteOut(const std::string& blocks) {
    if (blocks.empty()) {
        return true;
    }
    const int failure = sink->Write(blocks.data(), blocks.size());
    if (failure == 0) {
        return true;
    }
    {
        std::lock_guard<std::mutex> guard(mutex);
        stats.failed = true;
        queue.clear();
        queuedBytes = 0;
    }
    Say(options, 3,
        std::string("write failed (") + std::strerror(failure) +
            "); capture stopped, the file holds what was written before");
    return false;
}

void CaptureWriter::Run() {
    CaptureStatistics start;
    start.timeUs = startUs;
    start.startUs = startUs;
    if (!WriteOut(SectionHeaderBlock(options.application) +
                  InterfaceDescriptionBlock(options.description) +
                  InterfaceStatisticsBlock(start))) {
        return;
    }
    std::vector<Record> batch;
    while (true) {
        bool last = false;
        {
            std::unique_lock<std::mutex> guard(mutex);
            wake.wait(guard, [this] { return closing || !queue.empty(); });
            batch.assign(std::make_move_iterator(queue.begin()),
                         std::make_move_iterator(queue.end()));
            queue.clear();
            queuedBytes = 0;
            last = closing;
        }
        std::string blocks;
        std::uint64_t packets = 0;
        for (const Record& r : batch) {
            blocks += Blocks(r);
            packets += r.kind == Kind::Open ? 3 : r.kind == Kind::Close ? 2 : 1;
        }
        if (!WriteOut(blocks)) {
            return;
        }
        std::uint64_t dropped = 0;
        {
            std::lock_guard<std::mutex> guard(mutex);
            stats.packets += packets;
            dropped = stats.dropped;
            packets = stats.packets;
        }
        if (last) {
            CaptureStatistics end;
            end.timeUs = Now();
            end.startUs = startUs;
            end.endUs = end.timeUs;
            end.received = packets;
            end.dropped = dropped;
            end.comment =
                std::to_string(dropped) + " messages dropped (the capture queue was full)";
            WriteOut(InterfaceStatisticsBlock(end));
            if (dropped != 0) {
                Say(options, 3, end.comment);
            }
            return;
        }
    }
}

void CaptureWriter::Close() {
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (std::exchange(closing, true)) {
            return;  // closed already: the thread is joined or being joined
        }
    }
    wake.notify_one();
    thread.join();
}

CaptureWriterStats CaptureWriter::GetStats() const {
    std::lock_guard<std::mutex> guard(mutex);
    return stats;
}

}  // namespace capture
