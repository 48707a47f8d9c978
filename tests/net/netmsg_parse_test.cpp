#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "net/NetMsg.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Bytes in a heap block of exactly their size, so that the address sanitizer catches any read
// past the end.
class ExactBlock {
public:
    explicit ExactBlock(const Bytes& bytes)
        : size(bytes.size()), block(new std::uint8_t[bytes.size() == 0 ? 1 : bytes.size()]) {
        if (size != 0) {
            std::memcpy(block.get(), bytes.data(), size);
        }
    }
    const std::uint8_t* data() const { return size == 0 ? nullptr : block.get(); }
    std::size_t length() const { return size; }

private:
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> block;
};

NetMsgParseResult ParseExact(const Bytes& bytes, ReceivedNetMsg& out) {
    const ExactBlock block(bytes);
    return ParseNetMsg(block.data(), block.length(), out);
}

void Put16(Bytes& bytes, std::size_t offset, std::uint16_t v) {
    bytes[offset] = static_cast<std::uint8_t>(v & 0xFF);
    bytes[offset + 1] = static_cast<std::uint8_t>(v >> 8);
}

// A message of type 32, id 254 with the given chunks (data sizes), each filled with its index.
Bytes MakeMessage(const std::vector<std::size_t>& dataSizes) {
    Bytes bytes(6, 0);
    Put16(bytes, 0, 32);
    Put16(bytes, 2, 254);
    for (std::size_t i = 0; i < dataSizes.size(); ++i) {
        const std::size_t at = bytes.size();
        bytes.resize(at + 4 + dataSizes[i], static_cast<std::uint8_t>(i));
        Put16(bytes, at, static_cast<std::uint16_t>(i));
        Put16(bytes, at + 2, static_cast<std::uint16_t>(4 + dataSizes[i]));
    }
    Put16(bytes, 4, static_cast<std::uint16_t>(bytes.size()));
    return bytes;
}

struct Malformed {
    const char* name;
    Bytes bytes;
    NetMsgParseError error;
    const char* textPart;  // the text names the offending value
};

std::vector<Malformed> MalformedShapes() {
    std::vector<Malformed> shapes;
    shapes.push_back({"empty", {}, NetMsgParseError::HeaderTruncated, "bytes given 0"});
    shapes.push_back(
        {"five bytes", {0x20, 0, 0xFE, 0, 5}, NetMsgParseError::HeaderTruncated, "bytes given 5"});

    Bytes below = MakeMessage({});
    Put16(below, 4, 5);
    shapes.push_back(
        {"length below header", below, NetMsgParseError::LengthBelowHeader, "length 5"});

    Bytes zero = MakeMessage({});
    Put16(zero, 4, 0);
    shapes.push_back({"length zero", zero, NetMsgParseError::LengthBelowHeader, "length 0"});

    Bytes above = MakeMessage({});
    Put16(above, 4, 64513);
    shapes.push_back(
        {"length above limit", above, NetMsgParseError::LengthAboveLimit, "length 64513"});

    Bytes longer = MakeMessage({4});
    longer.push_back(0);
    shapes.push_back({"more bytes than length", longer, NetMsgParseError::LengthMismatch,
                      "length field 14 differs from the 15 bytes given"});

    Bytes shorter = MakeMessage({4});
    shorter.pop_back();
    shapes.push_back({"fewer bytes than length", shorter, NetMsgParseError::LengthMismatch,
                      "length field 14 differs from the 13 bytes given"});

    Bytes cutHeader = MakeMessage({4});
    cutHeader.resize(cutHeader.size() + 3, 0);
    Put16(cutHeader, 4, static_cast<std::uint16_t>(cutHeader.size()));
    shapes.push_back({"chunk header cut short", cutHeader, NetMsgParseError::ChunkHeaderTruncated,
                      "chunk 1 at offset 14"});

    for (const std::uint16_t size : {0, 3}) {
        Bytes small = MakeMessage({4, 4});
        Put16(small, 16, size);
        shapes.push_back({"chunk size below its header", small,
                          NetMsgParseError::ChunkSizeBelowHeader,
                          size == 0 ? "chunkSize 0" : "chunkSize 3"});
    }

    Bytes past = MakeMessage({4, 4});
    Put16(past, 16, 9);
    shapes.push_back({"chunk past the end", past, NetMsgParseError::ChunkPastEnd, "chunkSize 9"});

    Bytes farPast = MakeMessage({4});
    Put16(farPast, 8, 0xFFFF);
    shapes.push_back(
        {"chunk far past the end", farPast, NetMsgParseError::ChunkPastEnd, "chunkSize 65535"});

    shapes.push_back({"257 chunks", MakeMessage(std::vector<std::size_t>(257, 0)),
                      NetMsgParseError::TooManyChunks, "chunk 256 at offset 1030"});
    return shapes;
}

TEST(NetMsgParse, EveryMalformedShapeIsRejectedWithItsErrorAndText) {
    for (const Malformed& shape : MalformedShapes()) {
        SCOPED_TRACE(shape.name);
        ReceivedNetMsg received;
        ASSERT_TRUE(ParseExact(MakeMessage({1}), received));  // holds a message before

        const NetMsgParseResult result = ParseExact(shape.bytes, received);

        EXPECT_FALSE(result);
        EXPECT_EQ(result.error, shape.error) << ToString(result.error) << ": " << result.text;
        EXPECT_NE(result.text.find(shape.textPart), std::string::npos) << result.text;
        EXPECT_EQ(received.Get(), nullptr);
    }
}

// The in-place parser decides exactly as the copying one, and its message is the given bytes
// wherever they lie (here at every offset of an 8-byte word, so that chunks and fields are
// misaligned every way).
TEST(NetMsgParse, InPlaceParseGivesTheCopyingVerdictsOverTheBytesThemselves) {
    for (const Malformed& shape : MalformedShapes()) {
        SCOPED_TRACE(shape.name);
        const ExactBlock block(shape.bytes);
        ReceivedNetMsg copied;
        ReceivedNetMsg inPlace;
        const NetMsgParseResult expected = ParseNetMsg(block.data(), block.length(), copied);
        const NetMsgParseResult result = ParseNetMsgInPlace(block.data(), block.length(), inPlace);
        EXPECT_EQ(result.error, expected.error);
        EXPECT_EQ(result.text, expected.text);
        EXPECT_EQ(inPlace.Get(), nullptr);
    }
    const Bytes message = MakeMessage({1, 8, 80, 0});
    for (std::size_t shift = 0; shift < 8; ++shift) {
        SCOPED_TRACE(shift);
        Bytes room(shift, 0xEE);
        room.insert(room.end(), message.begin(), message.end());
        const std::uint8_t* bytes = room.data() + shift;
        ReceivedNetMsg received;
        ASSERT_TRUE(ParseNetMsgInPlace(bytes, message.size(), received));
        const NetMsg* msg = received.Get();
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(static_cast<const void*>(msg->GetBytes()), static_cast<const void*>(bytes));
        ASSERT_EQ(msg->GetChunkCount(), 4);
        const std::uint64_t* word = nullptr;
        ASSERT_TRUE(VerifyChunk(&word, msg->GetChunk(1)));
        EXPECT_EQ(static_cast<const void*>(word), static_cast<const void*>(bytes + 6 + 5 + 4));
        EXPECT_EQ(ReadChunkValue(word), 0x0101010101010101ull);
        EXPECT_EQ(msg->GetChunk(3)->GetChunkSize(), 4);
    }
}

TEST(NetMsgParse, NullBytesWithASizeAreRejected) {
    ReceivedNetMsg received;
    const NetMsgParseResult result = ParseNetMsg(nullptr, 14, received);
    EXPECT_EQ(result.error, NetMsgParseError::NullBytes);
    EXPECT_EQ(received.Get(), nullptr);
}

TEST(NetMsgParse, MessageWithoutChunksIsAccepted) {
    ReceivedNetMsg received;
    ASSERT_TRUE(ParseExact(MakeMessage({}), received));
    const NetMsg* msg = received.Get();
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->GetLength(), 6);
    EXPECT_EQ(msg->GetMsgType(), 32);
    EXPECT_EQ(msg->GetMsgID(), 254);
    EXPECT_EQ(msg->GetChunkCount(), 0);
    EXPECT_EQ(msg->GetChunk(0), nullptr);
}

TEST(NetMsgParse, LargestLegalMessageIsAccepted) {
    ReceivedNetMsg received;
    const Bytes bytes = MakeMessage({64512 - 6 - 4});
    ASSERT_EQ(bytes.size(), 64512u);

    const NetMsgParseResult result = ParseExact(bytes, received);
    ASSERT_TRUE(result) << result.text;
    const NetMsg* msg = received.Get();
    EXPECT_EQ(msg->GetLength(), 64512);
    ASSERT_EQ(msg->GetChunkCount(), 1);
    EXPECT_EQ(msg->GetChunk(0)->GetChunkSize(), 64506);
}

TEST(NetMsgParse, MessageOf256ChunksListsEveryChunkInWireOrder) {
    std::vector<std::size_t> sizes;
    for (std::size_t i = 0; i < 256; ++i) {
        sizes.push_back(i % 5);
    }
    const Bytes bytes = MakeMessage(sizes);
    ReceivedNetMsg received;

    const NetMsgParseResult result = ParseExact(bytes, received);
    ASSERT_TRUE(result) << result.text;
    const NetMsg* msg = received.Get();
    ASSERT_EQ(msg->GetChunkCount(), 256);
    std::size_t offset = 6;
    for (int i = 0; i < 256; ++i) {
        const Chunk* chunk = msg->GetChunk(i);
        ASSERT_EQ(reinterpret_cast<const char*>(chunk) - msg->GetBytes(),
                  static_cast<std::ptrdiff_t>(offset));
        EXPECT_EQ(chunk->GetChunkID(), i);
        EXPECT_EQ(chunk->GetChunkSize(), 4 + sizes[static_cast<std::size_t>(i)]);
        offset += chunk->GetChunkSize();
    }
    EXPECT_EQ(msg->GetChunk(256), nullptr);
}

TEST(NetMsgParse, MessageOf256ChunksAtTheLengthLimitIsAccepted) {
    std::vector<std::size_t> sizes(256, (64512 - 6) / 256 - 4);
    sizes.back() += (64512 - 6) % 256;
    const Bytes bytes = MakeMessage(sizes);
    ASSERT_EQ(bytes.size(), 64512u);
    ReceivedNetMsg received;

    ASSERT_TRUE(ParseExact(bytes, received));
    EXPECT_EQ(received.Get()->GetChunkCount(), 256);
}

TEST(NetMsgParse, ParsedMessageOwnsACopyOfTheBytes) {
    Bytes bytes = MakeMessage({4});
    ReceivedNetMsg received;
    ASSERT_TRUE(ParseNetMsg(bytes.data(), bytes.size(), received));

    std::fill(bytes.begin(), bytes.end(), std::uint8_t{0xEE});
    const NetMsg* msg = received.Get();
    EXPECT_EQ(msg->GetMsgID(), 254);
    EXPECT_EQ(msg->GetChunk(0)->GetChunkSize(), 8);
}

TEST(NetMsgParse, BuiltMessageParsesBackToTheSameChunks) {
    NetMsg built(32, 255);
    const int op = 3;
    const int arg = -1;
    built.AddChunk(&op, 4, 0);
    built.AddChunk(&arg, 4, 1);
    ReceivedNetMsg received;

    ASSERT_TRUE(ParseNetMsg(built.GetBytes(), built.GetLength(), received));
    const NetMsg* msg = received.Get();
    ASSERT_EQ(msg->GetChunkCount(), 2);
    const int* out = nullptr;
    ASSERT_TRUE(VerifyChunk(&out, msg->GetChunk(1)));
    EXPECT_EQ(ReadChunkValue(out), -1);
    EXPECT_EQ(msg->GetChunk(1)->GetChunkID(), 1);
}

// Mutations of valid messages: every outcome is either a rejection with a reason or a message
// whose chunks tile it exactly.
TEST(NetMsgParse, MutatedMessagesAreRejectedOrFullyConsistent) {
    std::mt19937 random(20240611u);
    const std::vector<Bytes> seeds = {MakeMessage({}), MakeMessage({4}), MakeMessage({1, 8, 16}),
                                      MakeMessage({80, 0, 3}),
                                      MakeMessage(std::vector<std::size_t>(256, 0))};
    ReceivedNetMsg received;
    int accepted = 0;
    int rejected = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes = seeds[random() % seeds.size()];
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            switch (random() % 4) {
                case 0:  // flip a byte
                    if (!bytes.empty()) {
                        bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
                    }
                    break;
                case 1:  // cut the tail
                    bytes.resize(random() % (bytes.size() + 1));
                    break;
                case 2:  // append bytes
                    bytes.resize(bytes.size() + random() % 9, static_cast<std::uint8_t>(random()));
                    break;
                default:  // make the length field agree with the size
                    if (bytes.size() >= 6) {
                        Put16(bytes, 4, static_cast<std::uint16_t>(bytes.size()));
                    }
                    break;
            }
        }

        const NetMsgParseResult result = ParseExact(bytes, received);
        if (!result) {
            ++rejected;
            ASSERT_NE(result.error, NetMsgParseError::None);
            ASSERT_FALSE(result.text.empty());
            ASSERT_EQ(received.Get(), nullptr);
            continue;
        }
        ++accepted;
        const NetMsg* msg = received.Get();
        ASSERT_NE(msg, nullptr);
        ASSERT_EQ(msg->GetLength(), bytes.size());
        ASSERT_LE(msg->GetChunkCount(), 256);
        std::size_t offset = 6;
        for (int i = 0; i < msg->GetChunkCount(); ++i) {
            const Chunk* chunk = msg->GetChunk(i);
            ASSERT_EQ(reinterpret_cast<const char*>(chunk) - msg->GetBytes(),
                      static_cast<std::ptrdiff_t>(offset));
            ASSERT_GE(chunk->GetChunkSize(), 4);
            offset += chunk->GetChunkSize();
        }
        ASSERT_EQ(offset, bytes.size());
    }
    // Both outcomes were exercised.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(rejected, 100);
}

// ---- Framing a byte stream ----

TEST(NetMsgFrame, HeaderIsNeededBeforeTheLengthIsKnown) {
    const Bytes bytes = MakeMessage({4});
    for (std::size_t available = 0; available < 6; ++available) {
        const NetMsgFrame frame = FrameNetMsg(bytes.data(), available);
        EXPECT_EQ(frame.state, NetMsgFrameState::NeedMore);
        EXPECT_EQ(frame.size, 6u);
    }
}

TEST(NetMsgFrame, MessageIsReadyOnceItsLengthHasArrived) {
    Bytes stream = MakeMessage({4});
    const Bytes second = MakeMessage({1, 1});
    stream.insert(stream.end(), second.begin(), second.end());

    NetMsgFrame frame = FrameNetMsg(stream.data(), 13);
    EXPECT_EQ(frame.state, NetMsgFrameState::NeedMore);
    EXPECT_EQ(frame.size, 14u);

    frame = FrameNetMsg(stream.data(), stream.size());
    ASSERT_EQ(frame.state, NetMsgFrameState::Ready);
    ASSERT_EQ(frame.size, 14u);
    ReceivedNetMsg received;
    EXPECT_TRUE(ParseNetMsg(stream.data(), frame.size, received));

    frame = FrameNetMsg(stream.data() + 14, stream.size() - 14);
    ASSERT_EQ(frame.state, NetMsgFrameState::Ready);
    EXPECT_EQ(frame.size, second.size());
    EXPECT_TRUE(ParseNetMsg(stream.data() + 14, frame.size, received));
    EXPECT_EQ(received.Get()->GetChunkCount(), 2);
}

TEST(NetMsgFrame, LengthOutsideTheFormatMakesTheStreamInvalid) {
    for (const std::uint16_t length : {0, 5, 64513, 65535}) {
        Bytes bytes = MakeMessage({});
        Put16(bytes, 4, length);
        const NetMsgFrame frame = FrameNetMsg(bytes.data(), bytes.size());
        EXPECT_EQ(frame.state, NetMsgFrameState::Invalid) << length;
        EXPECT_EQ(frame.size, length);
    }
}

}  // namespace
