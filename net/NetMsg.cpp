#include "net/NetMsg.h"

#include <new>
#include <string>
#include <utility>

#include "function/EnumName.h"
#include "net/LogFormat.h"
#include "plinth/Buffer.h"
#include "plinth/Log.h"

namespace {

// A built message keeps its bytes contiguous at kMessageOffset and its chunk table where the
// table fits: in front of the message when 256 entries take no more than the 1024 bytes
// reserved there (4-byte pointers), otherwise behind the message area, in the room the
// buffer keeps for that (8-byte pointers). Either way the table never overlaps the message.
constexpr std::size_t kChunkTableBytes = sizeof(Chunk*) * net::kMaxChunks;
constexpr std::size_t kChunkTableOffset =
    kChunkTableBytes <= net::kMessageOffset ? 0 : os::TCPBuffer::kMessageArea;

static_assert(net::kMessageOffset + net::kMaxMessageLength <= os::TCPBuffer::kMessageArea,
              "the largest message fits in the message area");
static_assert(kChunkTableOffset + kChunkTableBytes <= os::TCPBuffer::kDataSize,
              "the chunk table fits in the buffer");
static_assert(kChunkTableOffset + kChunkTableBytes <= net::kMessageOffset ||
                  kChunkTableOffset >= net::kMessageOffset + net::kMaxMessageLength,
              "the chunk table never overlaps the message");
static_assert(kChunkTableOffset % alignof(Chunk*) == 0);

std::string Describe(const char* what, std::size_t a) {
    return what + std::to_string(a);
}

}  // namespace

NetMsg::NetMsg(unsigned short msgType, unsigned short msgID) : buffer(os::AllocateBuffer()) {
    char* data = buffer->Data();
    msgBase = data + net::kMessageOffset;
    header = ::new (static_cast<void*>(msgBase)) NetMsgHeader;
    chunks = ::new (static_cast<void*>(data + kChunkTableOffset)) Chunk*[net::kMaxChunks];
    chunkCount = 0;
    header->SetMsgType(msgType);
    header->SetMsgID(msgID);
    header->SetLength(static_cast<std::uint16_t>(net::kHeaderSize));
}

NetMsg::~NetMsg() {
    Release();
}

NetMsg::NetMsg(NetMsg&& other) noexcept
    : buffer(std::exchange(other.buffer, nullptr)),
      msgBase(std::exchange(other.msgBase, nullptr)),
      header(std::exchange(other.header, nullptr)),
      chunks(std::exchange(other.chunks, nullptr)),
      chunkCount(std::exchange(other.chunkCount, 0)) {}

NetMsg& NetMsg::operator=(NetMsg&& other) noexcept {
    if (this != &other) {
        Release();
        buffer = std::exchange(other.buffer, nullptr);
        msgBase = std::exchange(other.msgBase, nullptr);
        header = std::exchange(other.header, nullptr);
        chunks = std::exchange(other.chunks, nullptr);
        chunkCount = std::exchange(other.chunkCount, 0);
    }
    return *this;
}

void NetMsg::Release() noexcept {
    if (buffer != nullptr) {
        os::DeallocateBuffer(buffer);
    }
    buffer = nullptr;
    msgBase = nullptr;
    header = nullptr;
    chunks = nullptr;
    chunkCount = 0;
}

bool NetMsg::AddChunk(const void* data, int size, unsigned short chunkID) {
    if (buffer == nullptr) {
        return false;
    }
    if (data == nullptr || size < 0 || size > net::kMaxChunkData) {
        return false;
    }
    if (chunkCount >= net::kMaxChunks) {
        return false;
    }
    const int length = header->GetLength();
    if (size + length + net::kChunkHeaderSize > net::kMaxMessageLength) {
        return false;
    }
    Chunk* chunk = ::new (static_cast<void*>(msgBase + length)) Chunk;
    const int chunkSize = size + net::kChunkHeaderSize;
    chunk->SetChunkID(chunkID);
    chunk->SetChunkSize(static_cast<std::uint16_t>(chunkSize));
    std::memcpy(msgBase + length + net::kChunkHeaderSize, data, static_cast<std::size_t>(size));
    chunks[chunkCount] = chunk;
    ++chunkCount;
    header->SetLength(static_cast<std::uint16_t>(length + chunkSize));
    return true;
}

namespace net {

bool CheckChunk(const Chunk* chunk, std::size_t size, const char* typeName, const void** data) {
    if (chunk == nullptr) {
        LogFormatted(3, "VerifyChunk() error : class=%s Chunk==NULL", typeName);
        os::ShowCallStack();
        return false;
    }
    // Signed, so that a chunkSize below the chunk header never matches.
    const unsigned short chunkSize = chunk->GetChunkSize();
    const int dataSize = static_cast<int>(chunkSize) - kChunkHeaderSize;
    if (dataSize == static_cast<int>(size)) {
        *data = chunk->GetData();
        return true;
    }
    const unsigned short chunkID = chunk->GetChunkID();
    LogFormatted(3, "VerifyChunk() error : class=%s ChunkID==%d ChunkSize=%d", typeName, chunkID,
                 chunkSize);
    os::ShowCallStack();
    return false;
}

}  // namespace net

const char* ToString(NetMsgParseError error) noexcept {
    static constexpr const char* kNames[] = {"None",
                                             "NullBytes",
                                             "HeaderTruncated",
                                             "LengthBelowHeader",
                                             "LengthAboveLimit",
                                             "LengthMismatch",
                                             "ChunkHeaderTruncated",
                                             "ChunkSizeBelowHeader",
                                             "ChunkPastEnd",
                                             "TooManyChunks"};
    return os::EnumName<NetMsgParseError::TooManyChunks>(error, kNames, "Unknown");
}

void ReceivedNetMsg::Clear() noexcept {
    valid = false;
    bytes.clear();
    table.clear();
    msg.msgBase = nullptr;
    msg.header = nullptr;
    msg.chunks = nullptr;
    msg.chunkCount = 0;
}

namespace {

NetMsgParseResult Fail(ReceivedNetMsg& out, NetMsgParseError error, std::string text) {
    out.Clear();
    return NetMsgParseResult{error, std::move(text)};
}

std::string AtChunk(int index, std::size_t offset) {
    return "chunk " + std::to_string(index) + " at offset " + std::to_string(offset) + ": ";
}

}  // namespace

NetMsgParseResult ReceivedNetMsg::Parse(const void* bytes, std::size_t size, ReceivedNetMsg& out,
                                        bool copy) {
    if (bytes == nullptr && size != 0) {
        return Fail(out, NetMsgParseError::NullBytes, Describe("null bytes with a size of ", size));
    }
    if (size < static_cast<std::size_t>(net::kHeaderSize)) {
        return Fail(out, NetMsgParseError::HeaderTruncated,
                    Describe("message shorter than its 6-byte header: bytes given ", size));
    }
    const auto* header = static_cast<const unsigned char*>(bytes);
    const std::size_t lengthField = net::LoadLE16(header + offsetof(NetMsgHeader, length));
    if (lengthField < static_cast<std::size_t>(net::kHeaderSize)) {
        return Fail(out, NetMsgParseError::LengthBelowHeader,
                    Describe("length field below the 6-byte header: length ", lengthField));
    }
    if (lengthField > static_cast<std::size_t>(net::kMaxMessageLength)) {
        return Fail(out, NetMsgParseError::LengthAboveLimit,
                    Describe("length field above the limit of 64512 bytes: length ", lengthField));
    }
    if (lengthField != size) {
        return Fail(out, NetMsgParseError::LengthMismatch,
                    "length field " + std::to_string(lengthField) + " differs from the " +
                        std::to_string(size) + " bytes given");
    }
    return copy ? out.ParseCopy(bytes, size)
                : out.ParseChunks(static_cast<const char*>(bytes), size);
}

NetMsgParseResult ReceivedNetMsg::ParseCopy(const void* raw, std::size_t size) {
    Clear();
    // Same element type on both sides, so the copy is one memmove, not a converting loop.
    const char* from = static_cast<const char*>(raw);
    bytes.assign(from, from + size);
    return ParseChunks(bytes.data(), size);
}

NetMsgParseResult ReceivedNetMsg::ParseChunks(const char* base, std::size_t size) {
    valid = false;
    table.clear();
    if (table.capacity() < static_cast<std::size_t>(net::kMaxChunks)) {
        table.reserve(net::kMaxChunks);
    }
    std::size_t offset = net::kHeaderSize;
    int index = 0;
    while (offset < size) {
        if (index == net::kMaxChunks) {
            return Fail(*this, NetMsgParseError::TooManyChunks,
                        AtChunk(index, offset) + "more than 256 chunks");
        }
        const std::size_t left = size - offset;
        if (left < static_cast<std::size_t>(net::kChunkHeaderSize)) {
            return Fail(*this, NetMsgParseError::ChunkHeaderTruncated,
                        AtChunk(index, offset) + "chunk header cut short: " + std::to_string(left) +
                            " of its 4 bytes left");
        }
        const std::size_t chunkSize = net::LoadLE16(base + offset + offsetof(Chunk, chunkSize));
        if (chunkSize < static_cast<std::size_t>(net::kChunkHeaderSize)) {
            return Fail(*this, NetMsgParseError::ChunkSizeBelowHeader,
                        AtChunk(index, offset) + "chunkSize " + std::to_string(chunkSize) +
                            " is below the 4-byte chunk header");
        }
        if (chunkSize > left) {
            return Fail(*this, NetMsgParseError::ChunkPastEnd,
                        AtChunk(index, offset) + "chunkSize " + std::to_string(chunkSize) +
                            " runs past the message end (" + std::to_string(left) + " bytes left)");
        }
        // Chunk is a packed type of alignment 1: any address in the bytes is a valid one. A
        // received view never writes through the table (it refuses AddChunk); the pointers
        // are not const only because NetMsg's fields serve built messages as well.
        table.push_back(reinterpret_cast<Chunk*>(const_cast<char*>(base + offset)));
        offset += chunkSize;
        ++index;
    }

    msg.buffer = nullptr;
    msg.msgBase = const_cast<char*>(base);
    msg.header = reinterpret_cast<NetMsgHeader*>(const_cast<char*>(base));
    msg.chunks = table.data();
    msg.chunkCount = index;
    valid = true;
    return NetMsgParseResult{};
}

NetMsgParseResult ParseNetMsg(const void* bytes, std::size_t size, ReceivedNetMsg& out) {
    return ReceivedNetMsg::Parse(bytes, size, out, true);
}

NetMsgParseResult ParseNetMsgInPlace(const void* bytes, std::size_t size, ReceivedNetMsg& out) {
    return ReceivedNetMsg::Parse(bytes, size, out, false);
}

NetMsgFrame FrameNetMsg(const void* bytes, std::size_t available) noexcept {
    if (bytes == nullptr || available < static_cast<std::size_t>(net::kHeaderSize)) {
        return NetMsgFrame{NetMsgFrameState::NeedMore, static_cast<std::size_t>(net::kHeaderSize)};
    }
    const std::size_t length =
        net::LoadLE16(static_cast<const unsigned char*>(bytes) + offsetof(NetMsgHeader, length));
    if (length < static_cast<std::size_t>(net::kHeaderSize) ||
        length > static_cast<std::size_t>(net::kMaxMessageLength)) {
        return NetMsgFrame{NetMsgFrameState::Invalid, length};
    }
    if (available < length) {
        return NetMsgFrame{NetMsgFrameState::NeedMore, length};
    }
    return NetMsgFrame{NetMsgFrameState::Ready, length};
}
