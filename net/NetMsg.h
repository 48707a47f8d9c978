// NetMsg: one network message exchanged with the game server, received or built.
//
// Wire format (every field little-endian, nothing aligned or padded):
//
//     header, 6 bytes:  msgType u16 | msgID u16 | length u16 (whole message, header included)
//     chunk, repeated:  chunkID u16 | chunkSize u16 (whole chunk, this 4-byte header included)
//                       | chunkSize - 4 data bytes
//
// Chunks follow each other back to back up to `length`; readers address them by position, not
// by chunkID. A message holds at most 256 chunks and 64512 bytes.
//
// Two kinds of message share the class:
// - a built message (NetMsg(msgType, msgID) then AddChunk) owns a core-library buffer and
//   releases it when destroyed; it can be moved but never copied;
// - a received message is parsed from untrusted bytes by ParseNetMsg (which copies them) or
//   ParseNetMsgInPlace (which leaves them where they are) into a ReceivedNetMsg, which owns
//   the chunk table; its NetMsg is a view that owns nothing.
// Either way, every entry of the chunk table points at a chunk that lies wholly inside the
// message, so a chunk's size can be trusted by the readers below.
//
// Reading chunks: VerifyChunk<T> checks that a chunk's data is exactly sizeof(T) bytes and
// hands out a pointer to the data in place. That pointer may be unaligned (a chunk after a
// one-byte chunk starts at an odd offset): never dereference it, copy the value out with
// ReadChunkValue.
//
// Thread safety: none inside. A handler reads a received message during its call only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "function/StandardLayouts.h"
#include "net/ByteOrder.h"
#include "net/ChunkTypeName.h"

class ISender;

namespace os {
class TCPBuffer;
}

#pragma pack(push, 1)

/// The 6-byte message header as it lies in the message. The fields hold little-endian bytes
/// and may be unaligned: read and write them through the accessors.
struct NetMsgHeader {
    net::LE16 msgType;
    net::LE16 msgID;
    net::LE16 length;

    std::uint16_t GetMsgType() const noexcept { return msgType.Get(); }
    std::uint16_t GetMsgID() const noexcept { return msgID.Get(); }
    std::uint16_t GetLength() const noexcept { return length.Get(); }

    void SetMsgType(std::uint16_t v) noexcept { msgType.Set(v); }
    void SetMsgID(std::uint16_t v) noexcept { msgID.Set(v); }
    void SetLength(std::uint16_t v) noexcept { length.Set(v); }
};

/// The 4-byte header of one chunk, followed in the message by its data. Like the message
/// header, read it through the accessors.
struct Chunk {
    net::LE16 chunkID;
    net::LE16 chunkSize;

    std::uint16_t GetChunkID() const noexcept { return chunkID.Get(); }
    /// The whole chunk's size, this header included.
    std::uint16_t GetChunkSize() const noexcept { return chunkSize.Get(); }
    /// The chunk's data, right behind this header; possibly unaligned.
    const char* GetData() const noexcept {
        return reinterpret_cast<const char*>(this) + sizeof(Chunk);
    }

    void SetChunkID(std::uint16_t v) noexcept { chunkID.Set(v); }
    void SetChunkSize(std::uint16_t v) noexcept { chunkSize.Set(v); }
};

#pragma pack(pop)

static_assert(sizeof(NetMsgHeader) == 6 && alignof(NetMsgHeader) == 1);
static_assert(offsetof(NetMsgHeader, msgType) == 0 && offsetof(NetMsgHeader, msgID) == 2 &&
              offsetof(NetMsgHeader, length) == 4);
static_assert(sizeof(Chunk) == 4 && alignof(Chunk) == 1);
static_assert(offsetof(Chunk, chunkID) == 0 && offsetof(Chunk, chunkSize) == 2);
static_assert(std::is_standard_layout_v<NetMsgHeader> &&
              std::is_trivially_copyable_v<NetMsgHeader>);
static_assert(std::is_standard_layout_v<Chunk> && std::is_trivially_copyable_v<Chunk>);

namespace net {

inline constexpr int kHeaderSize = 6;
inline constexpr int kChunkHeaderSize = 4;
/// Most chunks in one message.
inline constexpr int kMaxChunks = 256;
/// Most bytes in one message, header and chunks included (0xFC00).
inline constexpr int kMaxMessageLength = 64512;
/// Most data bytes that AddChunk accepts in one chunk before the length check.
inline constexpr int kMaxChunkData = kMaxMessageLength - kHeaderSize;
/// Where a built message starts in its buffer's data.
inline constexpr std::size_t kMessageOffset = 1024;

}  // namespace net

class ReceivedNetMsg;
struct NetMsgParseResult;
NetMsgParseResult ParseNetMsg(const void* bytes, std::size_t size, ReceivedNetMsg& out);
NetMsgParseResult ParseNetMsgInPlace(const void* bytes, std::size_t size, ReceivedNetMsg& out);

/// One message: its header and its chunk table. See the top of this file.
class NetMsg {
public:
    /// Builds an empty message (6 bytes, no chunks) on a buffer from the core library's pool.
    NetMsg(unsigned short msgType, unsigned short msgID);
    /// Returns a built message's buffer to the pool (also when an exception unwinds the
    /// builder). A received view owns nothing.
    ~NetMsg();

    // A copy would return the same buffer to the pool twice.
    NetMsg(const NetMsg&) = delete;
    NetMsg& operator=(const NetMsg&) = delete;
    /// Moves the buffer; the source is left empty (no bytes, no chunks, refuses AddChunk).
    NetMsg(NetMsg&& other) noexcept;
    NetMsg& operator=(NetMsg&& other) noexcept;

    /// Appends a chunk holding a copy of `size` bytes from `data`. Refused (false, message
    /// unchanged), in this order: `data` null, `size` negative or above 64506; already 256
    /// chunks; the message would grow past 64512 bytes. A message that does not own a buffer
    /// (a received view, or one moved from) refuses every chunk.
    bool AddChunk(const void* data, int size, unsigned short chunkID);

    /// Chunk `index` in wire order, or null when `index` is outside [0, chunkCount).
    const Chunk* GetChunk(int index) const noexcept {
        return index >= 0 && index < chunkCount ? chunks[index] : nullptr;
    }
    int GetChunkCount() const noexcept { return chunkCount; }

    /// Header fields; 0 for a message moved from.
    unsigned short GetMsgType() const noexcept {
        return header != nullptr ? header->GetMsgType() : 0;
    }
    unsigned short GetMsgID() const noexcept { return header != nullptr ? header->GetMsgID() : 0; }
    /// The whole message's length in bytes, header included.
    unsigned short GetLength() const noexcept {
        return header != nullptr ? header->GetLength() : 0;
    }
    /// The message's bytes, GetLength() long: what goes on the wire.
    const char* GetBytes() const noexcept { return msgBase; }

private:
    friend class ReceivedNetMsg;

    /// A view with no message: for ReceivedNetMsg.
    NetMsg() noexcept = default;

    void Release() noexcept;

    /// The buffer holding a built message; owned. Null for a received view.
    os::TCPBuffer* buffer = nullptr;
    /// Start of the message bytes (the header).
    char* msgBase = nullptr;
    /// The header; equal to msgBase.
    NetMsgHeader* header = nullptr;
    /// The chunk table: pointers to the chunk headers in wire order, at most 256.
    Chunk** chunks = nullptr;
    /// Number of entries in use in `chunks`.
    int chunkCount = 0;
};

/// Key traits of the message dispatchers (net/NetMsgDispatcher.h). A dispatcher calls its
/// handlers with (sender, message); a call dispatches only when both are present, and its key
/// is read from the message.
struct NetMsgDispatchTrait {
    static bool Accepts(const ISender* sender, const NetMsg* msg) noexcept {
        return sender != nullptr && msg != nullptr;
    }
};

struct NetMsgTrait_MsgID : NetMsgDispatchTrait {
    /// The message identifier.
    static unsigned short GetKey(const NetMsg* msg) noexcept { return msg->GetMsgID(); }
    static unsigned short GetKey(const ISender*, const NetMsg* msg) noexcept { return GetKey(msg); }
};

struct NetMsgTrait_MsgType : NetMsgDispatchTrait {
    /// The message type.
    static unsigned short GetKey(const NetMsg* msg) noexcept { return msg->GetMsgType(); }
    static unsigned short GetKey(const ISender*, const NetMsg* msg) noexcept { return GetKey(msg); }
};

namespace net {

/// The check behind VerifyChunk: true and `*data` = the chunk's data when `chunk` is not null
/// and its data is exactly `size` bytes; otherwise a level-3 line naming `typeName`, the call
/// stack, and false with `*data` unchanged.
bool CheckChunk(const Chunk* chunk, std::size_t size, const char* typeName, const void** data);

}  // namespace net

/// Typed access to a chunk: true and `*out` = the chunk's data in place when `chunk` is not
/// null and its data is exactly sizeof(T) bytes. Otherwise writes the error line
/// ("VerifyChunk() error : class=<T's name> Chunk==NULL" or "... ChunkID==<id> ChunkSize=<size
/// of the whole chunk>") at level 3 and the call stack, leaves `*out` as it was and returns
/// false. Only the size decides; the chunkID is not compared. Null `*out` before the call, so
/// that either the result or the pointer tells success.
///
/// `chunk` must be null or come from GetChunk: chunks of a built or parsed message always lie
/// inside it, which is what lets the check trust chunkSize.
///
/// `*out` may be unaligned: read it with ReadChunkValue, never with `**out`.
template <class T>
bool VerifyChunk(const T** out, const Chunk* chunk) {
    static_assert(std::is_trivially_copyable_v<T>, "chunks carry plain bytes");
    const void* data = nullptr;
    if (!net::CheckChunk(chunk, sizeof(T), ChunkTypeName<T>::value, &data)) {
        return false;
    }
    *out = static_cast<const T*>(data);
    return true;
}

/// Copies a value out of chunk data, which may lie at any address. Integers are converted
/// from little-endian; a bool is read as a byte and is true when the byte is not zero (a byte
/// other than 0 or 1 is a valid selector on the wire but not a valid C++ bool); records are
/// copied byte for byte. `p` must not be null.
template <class T>
T ReadChunkValue(const T* p) noexcept {
    static_assert(std::is_trivially_copyable_v<T>, "chunks carry plain bytes");
    // Through an integer, so that no compiler assumes T's alignment for the copy.
    const auto* bytes = reinterpret_cast<const unsigned char*>(reinterpret_cast<std::uintptr_t>(p));
    if constexpr (std::is_same_v<T, bool>) {
        return bytes[0] != 0;
    } else {
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        if constexpr (std::is_integral_v<T>) {
            value = net::LittleToHost(value);
        }
        return value;
    }
}

/// Why a byte sequence is not a message.
enum class NetMsgParseError : std::uint8_t {
    None,
    NullBytes,             ///< a null pointer with a non-zero size
    HeaderTruncated,       ///< fewer than 6 bytes
    LengthBelowHeader,     ///< length field below 6
    LengthAboveLimit,      ///< length field above 64512
    LengthMismatch,        ///< length field differs from the number of bytes given
    ChunkHeaderTruncated,  ///< fewer than 4 bytes left for a chunk header
    ChunkSizeBelowHeader,  ///< chunkSize below 4
    ChunkPastEnd,          ///< chunkSize runs past the message end
    TooManyChunks,         ///< more than 256 chunks
};

/// The error's name, such as "ChunkPastEnd".
const char* ToString(NetMsgParseError error) noexcept;

struct NetMsgParseResult {
    NetMsgParseError error = NetMsgParseError::None;
    /// What is wrong, with the offending values and offsets; empty on success.
    std::string text;

    explicit operator bool() const noexcept { return error == NetMsgParseError::None; }
};

/// A message parsed from received bytes. It owns the chunk table and, when ParseNetMsg made
/// it, a copy of the bytes, so that the caller's receive buffer can be reused at once; when
/// ParseNetMsgInPlace made it, the message is the caller's bytes themselves. The storage is
/// kept between parses, so one object reused for a connection allocates only while messages
/// grow. Neither copyable nor movable: the message view points into the object's own storage.
class ReceivedNetMsg {
public:
    ReceivedNetMsg() = default;
    ReceivedNetMsg(const ReceivedNetMsg&) = delete;
    ReceivedNetMsg& operator=(const ReceivedNetMsg&) = delete;

    /// The parsed message, or null when the last parse failed or nothing was parsed yet.
    /// Valid until the next parse into this object, or Clear.
    const NetMsg* Get() const noexcept { return valid ? &msg : nullptr; }

    /// Forgets the message (the storage is kept).
    void Clear() noexcept;

private:
    friend NetMsgParseResult ParseNetMsg(const void* bytes, std::size_t size, ReceivedNetMsg& out);
    friend NetMsgParseResult ParseNetMsgInPlace(const void* bytes, std::size_t size,
                                                ReceivedNetMsg& out);

    /// Both parsers: the header checks on `bytes`, then the chunks walked over a copy of the
    /// bytes kept here (`copy`) or over the bytes themselves.
    static NetMsgParseResult Parse(const void* bytes, std::size_t size, ReceivedNetMsg& out,
                                   bool copy);
    /// The parsers' second half, once the header of the `size` bytes checked out: copies
    /// them into `bytes` and walks the copy's chunks.
    NetMsgParseResult ParseCopy(const void* raw, std::size_t size);
    /// Walks the chunks of the `size` bytes at `base` and makes them the message.
    NetMsgParseResult ParseChunks(const char* base, std::size_t size);

    std::vector<char> bytes;
    std::vector<Chunk*> table;
    NetMsg msg;
    bool valid = false;
};

/// Parses one message from `size` bytes of an untrusted peer. The bytes must be exactly one
/// message: its length field must equal `size`. On success `out` holds the message, with every
/// chunk in wire order in its table. On failure `out` holds no message and the result tells
/// what is wrong. Never reads outside [bytes, bytes + size).
NetMsgParseResult ParseNetMsg(const void* bytes, std::size_t size, ReceivedNetMsg& out);

/// ParseNetMsg without the copy: the same checks with the same results, but on success the
/// message is the `size` bytes at `bytes` themselves (the chunk table points into them). For
/// a receive buffer that holds a whole message until it is dispatched: the bytes must stay
/// unchanged and in place for as long as the message is used, and never outlive that use.
/// Any address will do: every field of the header and the chunks is read byte by byte.
NetMsgParseResult ParseNetMsgInPlace(const void* bytes, std::size_t size, ReceivedNetMsg& out);

/// Framing of a byte stream (a TCP connection) into messages.
enum class NetMsgFrameState : std::uint8_t {
    NeedMore,  ///< fewer bytes than `size` so far; call again when more arrived
    Ready,     ///< the first `size` bytes are the next message: give them to ParseNetMsg
    Invalid,   ///< the length field is below 6 or above 64512: the stream cannot be framed
};

struct NetMsgFrame {
    NetMsgFrameState state;
    /// NeedMore: the bytes needed before calling again (6 while the header is incomplete,
    /// then the message's length). Ready: the message's length. Invalid: the bad length.
    std::size_t size;
};

/// How much of a byte stream the next message takes, given the `available` bytes received so
/// far (starting at a message boundary). Reads at most the 6 header bytes.
NetMsgFrame FrameNetMsg(const void* bytes, std::size_t available) noexcept;
