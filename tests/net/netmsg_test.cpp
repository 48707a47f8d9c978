#include "net/NetMsg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "plinth/Buffer.h"
#include "protocol/MiniMapRecords.h"
#include "support/LogCapture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes BytesOf(const NetMsg& msg) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(msg.GetBytes());
    return Bytes(begin, begin + msg.GetLength());
}

// A received message parsed from `bytes`, which must be valid.
const NetMsg& Parse(ReceivedNetMsg& received, const Bytes& bytes) {
    const NetMsgParseResult result = ParseNetMsg(bytes.data(), bytes.size(), received);
    EXPECT_TRUE(result) << result.text;
    return *received.Get();
}

static_assert(!std::is_copy_constructible_v<NetMsg> && !std::is_copy_assignable_v<NetMsg>,
              "a built message owns its buffer: a copy would release it twice");

// ---- Building ----

TEST(NetMsgBuild, NewMessageIsSixBytesWithoutChunks) {
    const NetMsg msg(32, 255);

    EXPECT_EQ(msg.GetLength(), 6);
    EXPECT_EQ(msg.GetChunkCount(), 0);
    EXPECT_EQ(msg.GetChunk(0), nullptr);
    EXPECT_EQ(msg.GetChunk(-1), nullptr);
    EXPECT_EQ(msg.GetMsgType(), 32);
    EXPECT_EQ(msg.GetMsgID(), 255);
    EXPECT_EQ(BytesOf(msg), (Bytes{0x20, 0x00, 0xFF, 0x00, 0x06, 0x00}));
}

TEST(NetMsgBuild, PollRequestIsFourteenBytesOnTheWire) {
    NetMsg msg(32, 255);
    const int op = 5;
    ASSERT_TRUE(msg.AddChunk(&op, 4, 0));

    EXPECT_EQ(BytesOf(msg), (Bytes{0x20, 0x00, 0xFF, 0x00, 0x0E, 0x00,  //
                                   0x00, 0x00, 0x08, 0x00, 0x05, 0x00, 0x00, 0x00}));
}

TEST(NetMsgBuild, QueryRequestIsTwentyTwoBytesOnTheWire) {
    for (const int arg : {7, -1}) {
        NetMsg msg(32, 255);
        const int op = 3;
        ASSERT_TRUE(msg.AddChunk(&op, 4, 0));
        ASSERT_TRUE(msg.AddChunk(&arg, 4, 1));

        const std::uint8_t a = arg == 7 ? 0x07 : 0xFF;
        const std::uint8_t b = arg == 7 ? 0x00 : 0xFF;
        EXPECT_EQ(BytesOf(msg), (Bytes{0x20, 0x00, 0xFF, 0x00, 0x16, 0x00,              //
                                       0x00, 0x00, 0x08, 0x00, 0x03, 0x00, 0x00, 0x00,  //
                                       0x01, 0x00, 0x08, 0x00, a,    b,    b,    b}));
        EXPECT_EQ(msg.GetChunkCount(), 2);
        EXPECT_EQ(reinterpret_cast<const char*>(msg.GetChunk(1)), msg.GetBytes() + 14);
    }
}

TEST(NetMsgBuild, ChunkOfZeroBytesIsAFourByteChunk) {
    NetMsg msg(1, 2);
    const char none = 0;

    ASSERT_TRUE(msg.AddChunk(&none, 0, 9));
    EXPECT_EQ(msg.GetLength(), 10);
    ASSERT_NE(msg.GetChunk(0), nullptr);
    EXPECT_EQ(msg.GetChunk(0)->GetChunkSize(), 4);
    EXPECT_EQ(msg.GetChunk(0)->GetChunkID(), 9);
}

TEST(NetMsgBuild, RefusedChunkLeavesTheMessageUnchanged) {
    NetMsg msg(1, 2);
    const int v = 1;
    ASSERT_TRUE(msg.AddChunk(&v, 4, 0));
    const Bytes before = BytesOf(msg);
    static std::vector<char> big(70000, 'x');

    EXPECT_FALSE(msg.AddChunk(nullptr, 4, 1));
    EXPECT_FALSE(msg.AddChunk(nullptr, 0, 1));
    EXPECT_FALSE(msg.AddChunk(&v, -1, 1));
    EXPECT_FALSE(msg.AddChunk(big.data(), 64507, 1));
    EXPECT_FALSE(msg.AddChunk(big.data(), 64506, 1));  // within the chunk limit, not the length

    EXPECT_EQ(BytesOf(msg), before);
    EXPECT_EQ(msg.GetChunkCount(), 1);
    EXPECT_EQ(msg.GetChunk(1), nullptr);
}

TEST(NetMsgBuild, ChunkReachingExactly64512BytesIsAcceptedAndOneMoreByteIsRefused) {
    static std::vector<char> big(70000, 'x');
    {
        NetMsg msg(1, 2);
        EXPECT_FALSE(msg.AddChunk(big.data(), 64503, 0));
        EXPECT_EQ(msg.GetLength(), 6);
        EXPECT_TRUE(msg.AddChunk(big.data(), 64502, 0));
        EXPECT_EQ(msg.GetLength(), 64512);
        EXPECT_FALSE(msg.AddChunk(big.data(), 0, 1));  // not even an empty chunk fits now
    }
    {
        NetMsg msg(1, 2);
        const int v = 0;
        ASSERT_TRUE(msg.AddChunk(&v, 4, 0));  // length 14
        EXPECT_FALSE(msg.AddChunk(big.data(), 64512 - 14 - 4 + 1, 1));
        EXPECT_TRUE(msg.AddChunk(big.data(), 64512 - 14 - 4, 1));
        EXPECT_EQ(msg.GetLength(), 64512);
    }
}

TEST(NetMsgBuild, The257thChunkIsRefusedEvenWhenTheMessageIsShort) {
    NetMsg msg(1, 2);
    const char b = 1;
    for (int i = 0; i < 256; ++i) {
        ASSERT_TRUE(msg.AddChunk(&b, 1, static_cast<unsigned short>(i))) << i;
    }
    EXPECT_EQ(msg.GetLength(), 6 + 256 * 5);

    EXPECT_FALSE(msg.AddChunk(&b, 1, 256));
    EXPECT_EQ(msg.GetChunkCount(), 256);
    EXPECT_EQ(msg.GetLength(), 6 + 256 * 5);
}

// With 8-byte pointers, a table of 256 entries in front of the message would run 1024 bytes
// into it. Fill both to their limits and check that every message byte survived.
TEST(NetMsgBuild, FullChunkTableDoesNotOverlapAFullMessage) {
    NetMsg msg(0xA1B2, 0xC3D4);
    const int dataTotal = 64512 - 6 - 256 * 4;
    std::vector<std::uint8_t> data(static_cast<std::size_t>(dataTotal));
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    int used = 0;
    for (int i = 0; i < 256; ++i) {
        const int size = i < 255 ? dataTotal / 256 : dataTotal - used;
        ASSERT_TRUE(msg.AddChunk(data.data() + used, size, static_cast<unsigned short>(i)));
        used += size;
    }
    ASSERT_EQ(msg.GetLength(), 64512);
    ASSERT_EQ(msg.GetChunkCount(), 256);

    EXPECT_EQ(msg.GetMsgType(), 0xA1B2);
    EXPECT_EQ(msg.GetMsgID(), 0xC3D4);
    ReceivedNetMsg received;
    const NetMsg& copy = Parse(received, BytesOf(msg));
    ASSERT_EQ(copy.GetChunkCount(), 256);
    used = 0;
    for (int i = 0; i < 256; ++i) {
        const Chunk* chunk = msg.GetChunk(i);
        ASSERT_EQ(reinterpret_cast<const char*>(chunk) - msg.GetBytes(),
                  reinterpret_cast<const char*>(copy.GetChunk(i)) - copy.GetBytes());
        EXPECT_EQ(chunk->GetChunkID(), i);
        const std::size_t size = chunk->GetChunkSize() - 4u;
        ASSERT_EQ(std::memcmp(chunk->GetData(), data.data() + used, size), 0) << "chunk " << i;
        used += static_cast<int>(size);
    }
}

// Where a built message keeps its chunk table depends on the pointer width: 256 four-byte
// entries fill exactly the 1024 bytes in front of the message (32-bit x86, the client's own
// process); 256 eight-byte entries would overlap it, so they go behind the message area. The
// test runs in the 64-bit and in the 32-bit build.
TEST(NetMsgBuild, ChunkTableSitsInFrontOfTheMessageWithFourBytePointersAndBehindItOtherwise) {
    NetMsg msg(32, 255);
    const std::uint8_t byte = 0x5A;
    for (int i = 0; i < 256; ++i) {
        ASSERT_TRUE(msg.AddChunk(&byte, 1, static_cast<unsigned short>(i)));
    }
    const char* const data = msg.GetBytes() - net::kMessageOffset;
    const std::size_t tableBytes = 256 * sizeof(Chunk*);
    const std::size_t tableOffset = sizeof(Chunk*) == 4 ? 0 : os::TCPBuffer::kMessageArea;
    if (sizeof(Chunk*) == 4) {
        EXPECT_EQ(tableBytes, net::kMessageOffset);
    } else {
        EXPECT_GT(tableBytes, net::kMessageOffset);
    }
    ASSERT_LE(tableOffset + tableBytes, os::TCPBuffer::kDataSize);
    for (int i = 0; i < 256; ++i) {
        const Chunk* entry = nullptr;
        std::memcpy(&entry, data + tableOffset + static_cast<std::size_t>(i) * sizeof(Chunk*),
                    sizeof entry);
        ASSERT_EQ(entry, msg.GetChunk(i)) << "entry " << i;
    }
    // The last entry ends where the message begins (4-byte pointers) or past the largest
    // message (wider ones): either way the header is intact.
    EXPECT_EQ(msg.GetMsgType(), 32);
    EXPECT_EQ(msg.GetMsgID(), 255);
    EXPECT_EQ(msg.GetLength(), 6 + 256 * 5);
}

TEST(NetMsgBuild, MovedMessageKeepsItsBytesAndTheSourceRefusesChunks) {
    NetMsg source(32, 255);
    const int v = 5;
    source.AddChunk(&v, 4, 0);
    const Bytes bytes = BytesOf(source);

    NetMsg target(std::move(source));
    EXPECT_EQ(BytesOf(target), bytes);
    EXPECT_EQ(source.GetLength(), 0);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(source.GetChunk(0), nullptr);
    EXPECT_FALSE(source.AddChunk(&v, 4, 1));

    NetMsg assigned(1, 1);
    assigned = std::move(target);
    EXPECT_EQ(BytesOf(assigned), bytes);
}

// The pool hands back the most recently returned buffer first; that shows which buffer the
// destructor returned.
TEST(NetMsgBuild, DestructionReturnsTheBufferAlsoWhenAnExceptionUnwinds) {
    const char* messageStart = nullptr;
    EXPECT_THROW(
        {
            NetMsg msg(32, 255);
            messageStart = msg.GetBytes();
            throw std::runtime_error("send failed");
        },
        std::runtime_error);

    os::TCPBuffer* next = os::AllocateBuffer();
    EXPECT_EQ(next->Data() + 1024, messageStart);
    os::DeallocateBuffer(next);
}

// ---- Typed chunk reads ----

TEST(VerifyChunk, IntChunkIsReadWhateverItsChunkId) {
    NetMsg msg(32, 254);
    const int v = -123456;
    msg.AddChunk(&v, 4, 4242);

    const int* out = nullptr;
    ASSERT_TRUE(VerifyChunk(&out, msg.GetChunk(0)));
    EXPECT_EQ(reinterpret_cast<const char*>(out), msg.GetBytes() + 10);
    EXPECT_EQ(ReadChunkValue(out), -123456);
}

TEST(VerifyChunk, SizeMismatchLogsTheClassTheChunkIdAndTheWholeChunkSize) {
    test::LogCapture capture;
    NetMsg msg(32, 254);
    const int v = 1;
    msg.AddChunk(&v, 4, 7);

    const bool* sentinel = reinterpret_cast<const bool*>(&v);
    const bool* out = sentinel;
    EXPECT_FALSE(VerifyChunk(&out, msg.GetChunk(0)));
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(
        capture.Lines(),
        (std::vector<std::string>{"VerifyChunk() error : class=bool ChunkID==7 ChunkSize=8"}));
    EXPECT_EQ(capture.Records().at(0).level, 3);
    EXPECT_EQ(capture.Count(os::LogKind::CallStack), 1u);
}

TEST(VerifyChunk, MissingChunkLogsChunkNullAndLeavesTheOutputAsItWas) {
    test::LogCapture capture;
    const std::uint64_t* sentinel = reinterpret_cast<const std::uint64_t*>(&capture);
    const std::uint64_t* out = sentinel;

    EXPECT_FALSE(VerifyChunk(&out, nullptr));
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(
        capture.Lines(),
        (std::vector<std::string>{"VerifyChunk() error : class=unsigned __int64 Chunk==NULL"}));
    EXPECT_EQ(capture.Count(os::LogKind::CallStack), 1u);
}

TEST(VerifyChunk, EveryChunkTypeIsNamedAsInTheLogConvention) {
    test::LogCapture capture;
    const int* i = nullptr;
    const bool* b = nullptr;
    const std::uint64_t* u = nullptr;
    const _MiniMapPlayerInfo* p = nullptr;
    const _MiniMapNpcInfo* n = nullptr;
    VerifyChunk(&u, nullptr);
    VerifyChunk(&i, nullptr);
    VerifyChunk(&b, nullptr);
    VerifyChunk(&p, nullptr);
    VerifyChunk(&n, nullptr);

    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{
                  "VerifyChunk() error : class=unsigned __int64 Chunk==NULL",
                  "VerifyChunk() error : class=int Chunk==NULL",
                  "VerifyChunk() error : class=bool Chunk==NULL",
                  "VerifyChunk() error : class=struct _MiniMapPlayerInfo Chunk==NULL",
                  "VerifyChunk() error : class=struct _MiniMapNpcInfo Chunk==NULL"}));
}

TEST(VerifyChunk, NpcRecordNeedsAChunkOfExactly84Bytes) {
    test::LogCapture capture;
    std::vector<char> bytes(81, 0);
    NetMsg msg(32, 254);
    msg.AddChunk(bytes.data(), 79, 1);
    msg.AddChunk(bytes.data(), 80, 2);
    msg.AddChunk(bytes.data(), 81, 3);

    const _MiniMapNpcInfo* out = nullptr;
    EXPECT_FALSE(VerifyChunk(&out, msg.GetChunk(0)));
    EXPECT_TRUE(VerifyChunk(&out, msg.GetChunk(1)));
    EXPECT_FALSE(VerifyChunk(&out, msg.GetChunk(2)));

    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{
                  "VerifyChunk() error : class=struct _MiniMapNpcInfo ChunkID==1 ChunkSize=83",
                  "VerifyChunk() error : class=struct _MiniMapNpcInfo ChunkID==3 ChunkSize=85"}));
}

TEST(VerifyChunk, LargeChunkIdAndSizeAreLoggedAsUnsignedNumbers) {
    test::LogCapture capture;
    static std::vector<char> big(40000, 0);
    NetMsg msg(32, 254);
    ASSERT_TRUE(msg.AddChunk(big.data(), 40000, 65535));

    const int* out = nullptr;
    EXPECT_FALSE(VerifyChunk(&out, msg.GetChunk(0)));
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{
                  "VerifyChunk() error : class=int ChunkID==65535 ChunkSize=40004"}));
}

TEST(VerifyChunk, DisabledErrorLevelWritesNoLineButStillTheCallStack) {
    test::LogCapture capture(0);
    const int* out = nullptr;

    EXPECT_FALSE(VerifyChunk(&out, nullptr));
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(capture.Count(os::LogKind::CallStack), 1u);
}

// ---- Unaligned and untrusted chunk data ----

TEST(ChunkData, ValuesAfterABoolChunkAreCopiedOutFromOddAddresses) {
    _MiniMapPlayerInfo player;
    player.id = 0x0102030405060708ull;
    player.data0 = 0xAABBCCDD;
    player.data1 = 7;
    _MiniMapNpcInfo npc;
    npc.id = 0xFFFFFFFF00000001ull;
    std::memset(npc.body, 0x5A, sizeof npc.body);
    npc.data2 = 99;
    npc.tail = 0;
    const bool selector = true;
    const std::uint64_t id = 0x8000000000000001ull;
    const int op = -7;

    NetMsg built(32, 254);
    built.AddChunk(&selector, 1, 0);
    built.AddChunk(&id, 8, 1);
    built.AddChunk(&op, 4, 2);
    built.AddChunk(&player, 16, 3);
    built.AddChunk(&npc, 80, 4);
    ReceivedNetMsg received;
    const NetMsg& msg = Parse(received, BytesOf(built));

    const std::uint64_t* idOut = nullptr;
    const int* opOut = nullptr;
    const _MiniMapPlayerInfo* playerOut = nullptr;
    const _MiniMapNpcInfo* npcOut = nullptr;
    ASSERT_TRUE(VerifyChunk(&idOut, msg.GetChunk(1)));
    ASSERT_TRUE(VerifyChunk(&opOut, msg.GetChunk(2)));
    ASSERT_TRUE(VerifyChunk(&playerOut, msg.GetChunk(3)));
    ASSERT_TRUE(VerifyChunk(&npcOut, msg.GetChunk(4)));
    // The data after a one-byte chunk starts at an odd address.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(idOut) % 2, 1u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(playerOut) % 2, 1u);

    EXPECT_EQ(ReadChunkValue(idOut), id);
    EXPECT_EQ(ReadChunkValue(opOut), op);
    const _MiniMapPlayerInfo playerCopy = ReadChunkValue(playerOut);
    EXPECT_EQ(std::memcmp(&playerCopy, &player, sizeof player), 0);
    const _MiniMapNpcInfo npcCopy = ReadChunkValue(npcOut);
    EXPECT_EQ(std::memcmp(&npcCopy, &npc, sizeof npc), 0);
}

TEST(ChunkData, SelectorByteOtherThanZeroOrOneReadsAsTrue) {
    const std::uint8_t selectors[] = {0x00, 0x01, 0x02, 0x80, 0xFF};
    NetMsg built(32, 254);
    for (const std::uint8_t& s : selectors) {
        built.AddChunk(&s, 1, 0);
    }
    ReceivedNetMsg received;
    const NetMsg& msg = Parse(received, BytesOf(built));

    std::vector<bool> read;
    for (int i = 0; i < msg.GetChunkCount(); ++i) {
        const bool* out = nullptr;
        ASSERT_TRUE(VerifyChunk(&out, msg.GetChunk(i)));
        read.push_back(ReadChunkValue(out));
    }
    EXPECT_EQ(read, (std::vector<bool>{false, true, true, true, true}));
}

TEST(ChunkData, IntegersAreLittleEndianOnTheWire) {
    EXPECT_EQ(net::ByteSwap<std::uint16_t>(0x1234), 0x3412);
    EXPECT_EQ(net::ByteSwap<std::int32_t>(0x01020304), 0x04030201);
    const std::uint8_t wire[] = {0x34, 0x12};
    EXPECT_EQ(net::LoadLE16(wire), 0x1234);
    std::uint8_t out[3] = {};
    net::StoreLE16(out + 1, 0xBEEF);
    EXPECT_EQ(out[1], 0xEF);
    EXPECT_EQ(out[2], 0xBE);
}

// ---- Marker records ----

TEST(MiniMapRecords, DefaultPlayerRecordIsSixteenZeroBytes) {
    const _MiniMapPlayerInfo record;
    const std::uint8_t zeros[16] = {};
    EXPECT_EQ(std::memcmp(&record, zeros, 16), 0);
}

TEST(MiniMapRecords, DefaultNpcRecordSetsItsIdAndFourFields) {
    _MiniMapNpcInfo record;
    std::uint8_t image[80];
    std::memcpy(image, &record, sizeof image);

    std::uint64_t id = 1;
    std::memcpy(&id, image, 8);
    EXPECT_EQ(id, 0u);
    for (const int offset : {60, 64, 68}) {
        std::int32_t v = 1;
        std::memcpy(&v, image + offset, 4);
        EXPECT_EQ(v, 0) << "offset " << offset;
    }
    const std::uint8_t allSet[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(image + 72, allSet, 4), 0);
}

TEST(MiniMapRecords, StoresKeyByTheFullSixtyFourBitId) {
    MiniMapPlayerInfoMap players;
    _MiniMapPlayerInfo low;
    low.id = 0x00000001'00000005ull;
    _MiniMapPlayerInfo high;
    high.id = 0x00000002'00000005ull;
    _MiniMapPlayerInfo zero;

    players[low.id] = low;
    players[high.id] = high;
    players[zero.id] = zero;
    EXPECT_EQ(players.size(), 3u);

    high.data0 = 77;
    players[high.id] = high;
    EXPECT_EQ(players.size(), 3u);
    EXPECT_EQ(players.at(0x00000002'00000005ull).data0, 77u);
    EXPECT_EQ(players.count(0), 1u);
}

}  // namespace
