#include <atomic>
#include <cstdint>
#include <cstring>
#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plinth/Buffer.h"

namespace {

TEST(Buffer, DataAreaHoldsAMessageAndItsChunkTableAlignedToSixteenBytes) {
    os::TCPBuffer* buffer = os::AllocateBuffer();
    ASSERT_NE(buffer, nullptr);
    EXPECT_GE(os::TCPBuffer::Size(), 65536u + 2048u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->Data()) % 16, 0u);
    // The whole area is writable (the address sanitizer would object otherwise).
    std::memset(buffer->Data(), 0xAB, os::TCPBuffer::Size());
    EXPECT_EQ(static_cast<unsigned char>(buffer->Data()[os::TCPBuffer::Size() - 1]), 0xABu);
    os::DeallocateBuffer(buffer);
}

TEST(Buffer, ReleasedBufferIsHandedOutAgainByThePool) {
    os::TCPBuffer* first = os::AllocateBuffer();
    os::DeallocateBuffer(first);
    os::TCPBuffer* second = os::AllocateBuffer();
    EXPECT_EQ(second, first);
    os::DeallocateBuffer(second);
}

TEST(Buffer, DeallocatingNullIsIgnored) {
    os::DeallocateBuffer(nullptr);
    // Had the null gone into the pool, it would come back first.
    os::TCPBuffer* buffer = os::AllocateBuffer();
    EXPECT_NE(buffer, nullptr);
    os::DeallocateBuffer(buffer);
}

TEST(BufferThreads, TwoThreadsNeverHoldTheSameBuffer) {
    constexpr int kRounds = 2000;
    constexpr int kHeld = 4;
    std::latch start(2);
    std::atomic<int> overwritten{0};
    auto work = [&](char mark) {
        start.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
            os::TCPBuffer* held[kHeld];
            for (auto*& buffer : held) {
                buffer = os::AllocateBuffer();
                std::memset(buffer->Data(), mark, 64);
                buffer->Data()[os::TCPBuffer::Size() - 1] = mark;
            }
            for (auto* buffer : held) {
                const char* data = buffer->Data();
                if (data[0] != mark || data[63] != mark ||
                    data[os::TCPBuffer::Size() - 1] != mark) {
                    ++overwritten;
                }
                os::DeallocateBuffer(buffer);
            }
        }
    };
    std::thread other(work, 'x');
    work('y');
    other.join();
    EXPECT_EQ(overwritten.load(), 0);
}

}  // namespace
