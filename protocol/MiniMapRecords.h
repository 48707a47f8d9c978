// The minimap's marker records, as the wire carries them, and the stores the module keeps them
// in, shared with the game server, hosts and user-interface plug-ins that read the stores in
// place.
//
// A record travels as the data of one message chunk and is kept byte for byte as received:
// its in-memory image is its wire form (little-endian, fields at the offsets pinned below,
// exact size). The minimap interprets only `id`, the store key; the other fields belong to
// the server and the user interface, which give them their meaning, so they carry neutral
// names here. Read a record out of a chunk with ReadChunkValue (net/NetMsg.h): chunk data may
// be unaligned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <unordered_map>

#include "net/ChunkTypeName.h"

/// A player marker, 16 bytes.
struct _MiniMapPlayerInfo {
    /// The marker's identifier, the store key.
    std::uint64_t id;
    std::uint32_t data0;
    std::uint32_t data1;

    /// Sixteen zero bytes.
    _MiniMapPlayerInfo() noexcept : id(0), data0(0), data1(0) {}
};

/// An NPC marker, 80 bytes.
struct _MiniMapNpcInfo {
    /// The marker's identifier, the store key.
    std::uint64_t id;
    /// Not set by the default constructor.
    unsigned char body[52];
    std::uint32_t data0;
    std::uint32_t data1;
    std::uint32_t data2;
    std::int32_t data3;
    /// Not set by the default constructor. Spelled out so that the record keeps its 80 bytes
    /// where a 64-bit integer needs only 4-byte alignment (32-bit x86).
    std::uint32_t tail;

    /// `id` 0, data0 to data2 0, data3 -1; `body` and `tail` are left as they are: a record
    /// that enters a store is overwritten whole right after it is made.
    _MiniMapNpcInfo() noexcept : id(0), data0(0), data1(0), data2(0), data3(-1) {}
};

static_assert(sizeof(_MiniMapPlayerInfo) == 16);
static_assert(offsetof(_MiniMapPlayerInfo, id) == 0);
static_assert(offsetof(_MiniMapPlayerInfo, data0) == 8);
static_assert(offsetof(_MiniMapPlayerInfo, data1) == 12);
static_assert(std::is_standard_layout_v<_MiniMapPlayerInfo>);
static_assert(std::is_trivially_copyable_v<_MiniMapPlayerInfo>);

static_assert(sizeof(_MiniMapNpcInfo) == 80);
static_assert(offsetof(_MiniMapNpcInfo, id) == 0);
static_assert(offsetof(_MiniMapNpcInfo, body) == 8);
static_assert(offsetof(_MiniMapNpcInfo, data0) == 60);
static_assert(offsetof(_MiniMapNpcInfo, data1) == 64);
static_assert(offsetof(_MiniMapNpcInfo, data2) == 68);
static_assert(offsetof(_MiniMapNpcInfo, data3) == 72);
static_assert(offsetof(_MiniMapNpcInfo, tail) == 76);
static_assert(std::is_standard_layout_v<_MiniMapNpcInfo>);
static_assert(std::is_trivially_copyable_v<_MiniMapNpcInfo>);

template <>
struct ChunkTypeName<_MiniMapPlayerInfo> : NamedChunkType<"struct _MiniMapPlayerInfo"> {};

template <>
struct ChunkTypeName<_MiniMapNpcInfo> : NamedChunkType<"struct _MiniMapNpcInfo"> {};

/// Player markers by id. No order of iteration is promised.
using MiniMapPlayerInfoMap = std::unordered_map<std::uint64_t, _MiniMapPlayerInfo>;
/// NPC markers by id. No order of iteration is promised.
using MiniMapNpcInfoMap = std::unordered_map<std::uint64_t, _MiniMapNpcInfo>;
