// Fuzz target: the received-message parsers (ParseNetMsg, ParseNetMsgInPlace) and the stream
// framing in front of them (FrameNetMsg), which together take every byte the game server sends.
//
// Input: the first byte chooses the mode.
// - Even: the rest is one received message, parsed whole, copied and in place. An accepted
//   message must list every chunk in wire order, each lying wholly inside the message, the
//   last ending at its end; a refused one must hold no message and say why. The verdict and
//   its reason must be those of a reference reading of the wire format, and the same for both
//   parsers.
// - Odd: the rest is a TCP stream cut into pieces: one byte n (0 to 15), n bytes of piece
//   lengths (used in turn, 0 read as 1), then the stream. Each piece arrives on its own, as a
//   read from a socket would deliver it, and a reassembler frames and parses whatever is
//   complete. The messages framed, their verdicts, an unframeable length and the bytes left
//   over must be the same as when the whole stream arrives in one piece.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/CallStackCounter.h"
#include "fuzz/FuzzTarget.h"
#include "net/ByteOrder.h"
#include "net/NetMsg.h"
#include "plinth/Log.h"
#include "protocol/MiniMapRecords.h"

namespace {

// Discards the log: chunk checks that fail on purpose write error lines and call stacks.
class QuietLog : public os::ILogSink {
public:
    void Write(const os::LogRecord&) override {}
};

std::size_t Load16(const std::uint8_t* p) {
    return p[0] | (static_cast<std::size_t>(p[1]) << 8);
}

// An independent reading of the wire format (docs/wire-format.md), in the order the parser
// checks it.
NetMsgParseError ReferenceVerdict(const std::uint8_t* bytes, std::size_t size) {
    if (size < 6) {
        return NetMsgParseError::HeaderTruncated;
    }
    const std::size_t length = Load16(bytes + 4);
    if (length < 6) {
        return NetMsgParseError::LengthBelowHeader;
    }
    if (length > 64512) {
        return NetMsgParseError::LengthAboveLimit;
    }
    if (length != size) {
        return NetMsgParseError::LengthMismatch;
    }
    std::size_t offset = 6;
    for (int chunks = 0; offset < size; ++chunks) {
        if (chunks == 256) {
            return NetMsgParseError::TooManyChunks;
        }
        if (size - offset < 4) {
            return NetMsgParseError::ChunkHeaderTruncated;
        }
        const std::size_t chunkSize = Load16(bytes + offset + 2);
        if (chunkSize < 4) {
            return NetMsgParseError::ChunkSizeBelowHeader;
        }
        if (chunkSize > size - offset) {
            return NetMsgParseError::ChunkPastEnd;
        }
        offset += chunkSize;
    }
    return NetMsgParseError::None;
}

// A typed read of `chunk` succeeds exactly when its data is sizeof(T) bytes, and then points
// at the data in place.
template <class T>
void CheckTypedRead(const Chunk* chunk, bool expectSuccess) {
    const T* out = nullptr;
    const int stacks = fuzz::CallStacks();
    const bool read = VerifyChunk(&out, chunk);
    FUZZ_CHECK(read == expectSuccess);
    // A failed read writes the call stack, once.
    FUZZ_CHECK(fuzz::CallStacks() == stacks + (read ? 0 : 1));
    if (read) {
        FUZZ_CHECK(static_cast<const void*>(out) == chunk->GetData());
        T value = ReadChunkValue(out);
        static_cast<void>(value);
    } else {
        FUZZ_CHECK(out == nullptr);
    }
}

void CheckChunkReads(const Chunk* chunk) {
    const int data = static_cast<int>(chunk->GetChunkSize()) - 4;
    // The read that fits the chunk, if any, and one that does not.
    switch (data) {
        case 1:
            CheckTypedRead<bool>(chunk, true);
            CheckTypedRead<int>(chunk, false);
            break;
        case 4:
            CheckTypedRead<int>(chunk, true);
            CheckTypedRead<bool>(chunk, false);
            break;
        case 8:
            CheckTypedRead<std::uint64_t>(chunk, true);
            CheckTypedRead<_MiniMapPlayerInfo>(chunk, false);
            break;
        case 16:
            CheckTypedRead<_MiniMapPlayerInfo>(chunk, true);
            CheckTypedRead<std::uint64_t>(chunk, false);
            break;
        case 80:
            CheckTypedRead<_MiniMapNpcInfo>(chunk, true);
            CheckTypedRead<_MiniMapPlayerInfo>(chunk, false);
            break;
        default:
            CheckTypedRead<_MiniMapNpcInfo>(chunk, false);
            break;
    }
}

// What a parse of `size` bytes promises, whatever it decided.
// `inPlace`: the parse was ParseNetMsgInPlace, whose message is the given bytes themselves.
void CheckParse(const std::uint8_t* bytes, std::size_t size, const NetMsgParseResult& result,
                const ReceivedNetMsg& received, bool readChunks, bool inPlace = false) {
    FUZZ_CHECK(result.error == ReferenceVerdict(bytes, size));
    const NetMsg* msg = received.Get();
    if (!result) {
        FUZZ_CHECK(msg == nullptr);
        FUZZ_CHECK(!result.text.empty());
        return;
    }
    FUZZ_CHECK(result.text.empty());
    FUZZ_CHECK(msg != nullptr);
    FUZZ_CHECK(msg->GetLength() == size);
    FUZZ_CHECK(msg->GetMsgType() == Load16(bytes));
    FUZZ_CHECK(msg->GetMsgID() == Load16(bytes + 2));
    FUZZ_CHECK(NetMsgTrait_MsgID::GetKey(msg) == msg->GetMsgID());
    FUZZ_CHECK(std::memcmp(msg->GetBytes(), bytes, size) == 0);
    // ParseNetMsg's message is a copy, so the caller's buffer can be reused at once;
    // ParseNetMsgInPlace's is the caller's bytes.
    FUZZ_CHECK((static_cast<const void*>(msg->GetBytes()) == static_cast<const void*>(bytes)) ==
               inPlace);

    const int count = msg->GetChunkCount();
    FUZZ_CHECK(count >= 0 && count <= net::kMaxChunks);
    FUZZ_CHECK(msg->GetChunk(-1) == nullptr);
    FUZZ_CHECK(msg->GetChunk(count) == nullptr);
    std::size_t offset = net::kHeaderSize;
    for (int i = 0; i < count; ++i) {
        const Chunk* chunk = msg->GetChunk(i);
        FUZZ_CHECK(chunk != nullptr);
        FUZZ_CHECK(reinterpret_cast<const char*>(chunk) == msg->GetBytes() + offset);
        const std::size_t chunkSize = chunk->GetChunkSize();
        FUZZ_CHECK(chunkSize >= 4 && chunkSize <= size - offset);
        FUZZ_CHECK(chunk->GetChunkID() == Load16(bytes + offset));
        if (readChunks) {
            CheckChunkReads(chunk);
        }
        offset += chunkSize;
    }
    FUZZ_CHECK(offset == size);
}

// What a stream gave, as a reassembler saw it.
struct StreamRecord {
    std::vector<std::vector<std::uint8_t>> messages;
    std::vector<NetMsgParseError> verdicts;
    bool invalid = false;
    std::size_t invalidLength = 0;
    /// Bytes of an incomplete message at the end; 0 once the stream was found invalid.
    std::size_t leftover = 0;

    bool operator==(const StreamRecord&) const = default;
};

// A receive loop over a byte stream: keeps what has arrived, frames every complete message,
// parses it into one reused message object, and stops for good at an unframeable length (a
// client drops the connection there).
class Reassembler {
public:
    void Feed(const std::uint8_t* piece, std::size_t size) {
        if (record.invalid) {
            return;
        }
        pending.insert(pending.end(), piece, piece + size);
        std::size_t offset = 0;
        // Each turn either consumes at least 6 bytes or leaves the loop.
        while (true) {
            const std::size_t available = pending.size() - offset;
            const std::uint8_t* begin = pending.data() + offset;
            const NetMsgFrame frame = FrameNetMsg(available != 0 ? begin : nullptr, available);
            if (frame.state == NetMsgFrameState::NeedMore) {
                FUZZ_CHECK(frame.size > available);
                FUZZ_CHECK(frame.size >= 6 && frame.size <= 64512);
                break;
            }
            FUZZ_CHECK(available >= 6);
            FUZZ_CHECK(frame.size == Load16(begin + 4));
            if (frame.state == NetMsgFrameState::Invalid) {
                FUZZ_CHECK(frame.size < 6 || frame.size > 64512);
                // The connection ends here: what arrives later is never looked at.
                record.invalid = true;
                record.invalidLength = frame.size;
                pending.clear();
                record.leftover = 0;
                return;
            }
            FUZZ_CHECK(frame.state == NetMsgFrameState::Ready);
            FUZZ_CHECK(frame.size >= 6 && frame.size <= available);
            // The message alone, in a block of its own size: a read past it is caught.
            std::unique_ptr<std::uint8_t[]> message(new std::uint8_t[frame.size]);
            std::memcpy(message.get(), begin, frame.size);
            const NetMsgParseResult result = ParseNetMsg(message.get(), frame.size, parsed);
            CheckParse(message.get(), frame.size, result, parsed, false);
            record.messages.emplace_back(begin, begin + frame.size);
            record.verdicts.push_back(result.error);
            offset += frame.size;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(offset));
        record.leftover = pending.size();
    }

    const StreamRecord& Record() const { return record; }

private:
    std::vector<std::uint8_t> pending;
    ReceivedNetMsg parsed;
    StreamRecord record;
};

void FuzzWholeMessage(const std::uint8_t* bytes, std::size_t size) {
    ReceivedNetMsg received;
    const NetMsgParseResult result = ParseNetMsg(bytes, size, received);
    CheckParse(bytes, size, result, received, true);

    // The same object parsing again gives the same verdict (its storage is reused).
    const NetMsgParseResult again = ParseNetMsg(bytes, size, received);
    FUZZ_CHECK(again.error == result.error);

    // In place: the same verdict and text, over the bytes themselves.
    const NetMsgParseResult inPlace = ParseNetMsgInPlace(bytes, size, received);
    FUZZ_CHECK(inPlace.error == result.error && inPlace.text == result.text);
    CheckParse(bytes, size, inPlace, received, false, true);

    // A null pointer is refused unless nothing is given.
    ReceivedNetMsg none;
    FUZZ_CHECK(ParseNetMsg(nullptr, size + 1, none).error == NetMsgParseError::NullBytes);
    FUZZ_CHECK(none.Get() == nullptr);
    FUZZ_CHECK(ParseNetMsgInPlace(nullptr, size + 1, none).error == NetMsgParseError::NullBytes);
    FUZZ_CHECK(none.Get() == nullptr);
}

void FuzzStream(fuzz::InputReader& in) {
    const std::size_t cuts = in.Byte() % 16;
    std::vector<std::size_t> pieces;
    for (std::size_t i = 0; i < cuts; ++i) {
        const std::size_t length = in.Byte();
        pieces.push_back(length == 0 ? 1 : length);
    }
    std::size_t size = 0;
    const std::uint8_t* stream = in.Rest(size);

    Reassembler whole;
    whole.Feed(stream, size);

    Reassembler cut;
    std::size_t offset = 0;
    for (std::size_t turn = 0; offset < size; ++turn) {
        const std::size_t wanted = pieces.empty() ? size : pieces[turn % pieces.size()];
        const std::size_t length = wanted < size - offset ? wanted : size - offset;
        cut.Feed(stream + offset, length);
        offset += length;
    }
    FUZZ_CHECK(cut.Record() == whole.Record());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    static QuietLog quiet;
    os::Log::GetInstance().SetSink(&quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader in(data, size);
    if (in.Empty()) {
        return 0;
    }
    const std::uint8_t mode = in.Byte();
    if (mode % 2 == 0) {
        std::size_t length = 0;
        const std::uint8_t* message = in.Rest(length);
        FuzzWholeMessage(message, length);
    } else {
        FuzzStream(in);
    }
    return 0;
}
