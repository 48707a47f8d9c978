// Network buffers of the core runtime library.
#pragma once

#include <cstddef>

#include "plinth/Export.h"

namespace os {

/// A fixed-size buffer for one network message. The data area holds 65536 bytes for a chunk
/// table of 4-byte entries and the message, and 2048 bytes more, so that on a host with
/// 8-byte pointers the chunk table can sit behind the message instead of overlapping it.
class PLINTH_API TCPBuffer {
public:
    static constexpr std::size_t kMessageArea = 65536;
    static constexpr std::size_t kDataSize = kMessageArea + 2048;

    char* Data() noexcept { return data; }
    const char* Data() const noexcept { return data; }
    static constexpr std::size_t Size() noexcept { return kDataSize; }

private:
    friend struct BufferPoolAccess;
    TCPBuffer() = default;
    alignas(16) char data[kDataSize];
};

/// A buffer from the process pool. Never null. The steady state allocates nothing: released
/// buffers are kept for reuse (up to a bound, then returned to the system).
PLINTH_API TCPBuffer* AllocateBuffer();
/// Returns a buffer to the pool. Null is ignored.
PLINTH_API void DeallocateBuffer(TCPBuffer* buffer);

}  // namespace os
