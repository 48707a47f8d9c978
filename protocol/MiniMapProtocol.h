// The minimap protocol: the message constants and the record field layout, defined once for
// the module, the game server and the client's user interface.
//
// The minimap module itself only moves records between messages and stores and reads their
// `id`; what the other bytes of a record mean is agreed between the server and whoever draws
// the map. This header is that agreement, used by the module's interface (IPyr_MiniMap.h), the
// reference host (minimap-client) and the simulator (minimap-server), so none of them can
// disagree about a constant or an offset.
//
// Records (little-endian, packed exactly as laid out in _MiniMapPlayerInfo/_MiniMapNpcInfo):
//
//     player, 16 bytes: id u64 @0 | x f32 @8 | y f32 @12
//     NPC,    80 bytes: id u64 @0 | name 52 bytes @8 (text padded with NUL; may fill all 52)
//                       | x f32 @60 | y f32 @64 | kind i32 @68 | quest i32 @72 (-1: none)
//                       | 4 reserved bytes @76 (written as zero)
//
// Field accessors copy bytes with memcpy: a record read out of a chunk may sit at any address,
// and the accessors never rely on the struct's member types for the meaning of a field.
//
// Messages: type 32 carries the minimap's own traffic (id 254 server to client, id 255 client
// to server). Type 33 carries the simulator's extensions, which only flow after the server
// has announced itself with Hello, so a real game server never sees them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "net/ByteOrder.h"
#include "protocol/MiniMapRecords.h"

namespace proto {

// ---- Message types and identifiers ------------------------------------------------------

/// Message type of every minimap message, both directions.
inline constexpr std::uint16_t MiniMapMsgType = 32;
/// Message identifier of the server's synchronisation messages (MiniMapSyncOp in chunk 0).
inline constexpr std::uint16_t MiniMapSyncMsgId = 254;
/// Message identifier of the minimap's requests to the server (MiniMapRequestOp in chunk 0).
inline constexpr std::uint16_t MiniMapRequestMsgId = 255;

/// Operation codes of a synchronisation message (its chunk 0, a 32-bit integer).
enum class MiniMapSyncOp : std::int32_t {
    /// chunk 1 a bool selector (true: player), chunk 2 the record (16 or 80 bytes): store it
    Set = 0,
    /// chunk 1 a bool selector, chunk 2 the identifier (u64): remove that record
    Remove = 1,
    /// empty the player and NPC stores
    Clear = 2,
    /// chunk 1 an 80-byte NPC record answering the query: add it unless present
    QueryResult = 3,
    /// the answer to the query is complete
    QueryEnd = 4,
};

/// Operation codes of a request (its chunk 0, a 32-bit integer).
enum class MiniMapRequestOp : std::int32_t {
    /// chunk 1: the query argument (i32); the simulator reads it as an NPC kind, -1 all
    Query = 3,
    /// no further chunk
    Poll = 5,
};

/// The simulator's own message type (see docs/wire-format.md, "Simulator extensions").
inline constexpr std::uint16_t kSimulatorMsgType = 33;

enum class SimulatorMsgId : std::uint16_t {
    /// Server to client, first message on a connection: chunk 0 i32 extension version. A client
    /// sends Tick messages only after it.
    Hello = 1,
    /// Server to client, no chunks: the current role changed (the client's role system emits
    /// RoleResetSignal). The server forgets what it told that client, so its next poll answer
    /// sets every marker again.
    RoleReset = 2,
    /// Client to server: chunk 0 the serial as a 32-bit integer, counting from 1. Sent once per
    /// poll interval by
    /// a timer chain registered right after the minimap's, so ticks and polls interleave:
    /// tests count polls between ticks instead of measuring time.
    Tick = 3,
};

inline constexpr std::int32_t kSimulatorExtensionVersion = 1;

/// The server's answer to a query with this argument lists every NPC.
inline constexpr std::int32_t kQueryAllKinds = -1;

// ---- Record layout ----------------------------------------------------------------------

inline constexpr std::size_t kPlayerXOffset = 8;
inline constexpr std::size_t kPlayerYOffset = 12;

inline constexpr std::size_t kNpcNameOffset = 8;
inline constexpr std::size_t kNpcNameSize = 52;
inline constexpr std::size_t kNpcXOffset = 60;
inline constexpr std::size_t kNpcYOffset = 64;
inline constexpr std::size_t kNpcKindOffset = 68;
inline constexpr std::size_t kNpcQuestOffset = 72;
inline constexpr std::size_t kNpcReservedOffset = 76;
inline constexpr std::int32_t kNoQuest = -1;

static_assert(sizeof(_MiniMapPlayerInfo) == 16 && sizeof(_MiniMapNpcInfo) == 80);

namespace detail {

template <class Record>
const unsigned char* Bytes(const Record& r) noexcept {
    return reinterpret_cast<const unsigned char*>(&r);
}
template <class Record>
unsigned char* Bytes(Record& r) noexcept {
    return reinterpret_cast<unsigned char*>(&r);
}

/// The little-endian integer at `p`, which may lie at any address.
template <class T>
T LoadLE(const unsigned char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return net::LittleToHost(v);
}
/// Writes `v` at `p` as little-endian bytes.
template <class T>
void StoreLE(unsigned char* p, T v) noexcept {
    const T le = net::HostToLittle(v);
    std::memcpy(p, &le, sizeof le);
}

}  // namespace detail

// ---- Player record ----------------------------------------------------------------------

inline std::uint64_t GetId(const _MiniMapPlayerInfo& r) noexcept {
    return detail::LoadLE<std::uint64_t>(detail::Bytes(r));
}
inline float GetX(const _MiniMapPlayerInfo& r) noexcept {
    return std::bit_cast<float>(detail::LoadLE<std::uint32_t>(detail::Bytes(r) + kPlayerXOffset));
}
inline float GetY(const _MiniMapPlayerInfo& r) noexcept {
    return std::bit_cast<float>(detail::LoadLE<std::uint32_t>(detail::Bytes(r) + kPlayerYOffset));
}

/// A complete player record.
inline _MiniMapPlayerInfo MakePlayer(std::uint64_t id, float x, float y) noexcept {
    _MiniMapPlayerInfo r;
    detail::StoreLE<std::uint64_t>(detail::Bytes(r), id);
    detail::StoreLE<std::uint32_t>(detail::Bytes(r) + kPlayerXOffset,
                                   std::bit_cast<std::uint32_t>(x));
    detail::StoreLE<std::uint32_t>(detail::Bytes(r) + kPlayerYOffset,
                                   std::bit_cast<std::uint32_t>(y));
    return r;
}

// ---- NPC record -------------------------------------------------------------------------

inline std::uint64_t GetId(const _MiniMapNpcInfo& r) noexcept {
    return detail::LoadLE<std::uint64_t>(detail::Bytes(r));
}
/// The name in place: the bytes up to the first NUL, or all 52 when there is none.
inline std::string_view GetNameView(const _MiniMapNpcInfo& r) noexcept {
    const char* p = reinterpret_cast<const char*>(detail::Bytes(r) + kNpcNameOffset);
    return std::string_view(p, static_cast<std::size_t>(std::find(p, p + kNpcNameSize, '\0') - p));
}
/// The name as a string of its own.
inline std::string GetName(const _MiniMapNpcInfo& r) {
    return std::string(GetNameView(r));
}
inline float GetX(const _MiniMapNpcInfo& r) noexcept {
    return std::bit_cast<float>(detail::LoadLE<std::uint32_t>(detail::Bytes(r) + kNpcXOffset));
}
inline float GetY(const _MiniMapNpcInfo& r) noexcept {
    return std::bit_cast<float>(detail::LoadLE<std::uint32_t>(detail::Bytes(r) + kNpcYOffset));
}
inline std::int32_t GetKind(const _MiniMapNpcInfo& r) noexcept {
    return static_cast<std::int32_t>(
        detail::LoadLE<std::uint32_t>(detail::Bytes(r) + kNpcKindOffset));
}
inline std::int32_t GetQuest(const _MiniMapNpcInfo& r) noexcept {
    return static_cast<std::int32_t>(
        detail::LoadLE<std::uint32_t>(detail::Bytes(r) + kNpcQuestOffset));
}

/// A complete NPC record: every byte is written, the name NUL-padded (cut at 52 bytes) and
/// the reserved bytes zero, so equal fields give equal bytes.
inline _MiniMapNpcInfo MakeNpc(std::uint64_t id, std::string_view name, float x, float y,
                               std::int32_t kind, std::int32_t quest) noexcept {
    _MiniMapNpcInfo r;
    unsigned char* b = detail::Bytes(r);
    std::memset(b, 0, sizeof r);
    detail::StoreLE<std::uint64_t>(b, id);
    std::memcpy(b + kNpcNameOffset, name.data(), std::min(name.size(), kNpcNameSize));
    detail::StoreLE<std::uint32_t>(b + kNpcXOffset, std::bit_cast<std::uint32_t>(x));
    detail::StoreLE<std::uint32_t>(b + kNpcYOffset, std::bit_cast<std::uint32_t>(y));
    detail::StoreLE<std::uint32_t>(b + kNpcKindOffset, static_cast<std::uint32_t>(kind));
    detail::StoreLE<std::uint32_t>(b + kNpcQuestOffset, static_cast<std::uint32_t>(quest));
    return r;
}

/// Records compare by their bytes: what the wire carries.
template <class Record>
bool SameBytes(const Record& a, const Record& b) noexcept {
    return std::memcmp(&a, &b, sizeof(Record)) == 0;
}

}  // namespace proto
