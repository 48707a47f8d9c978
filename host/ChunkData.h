// ChunkData: the host's quiet read of a message chunk. The host looks at messages the module
// also reads (the event stream's keys) or that only it reads (the simulator's greeting); it
// says what is wrong in its own words, or not at all, where VerifyChunk logs a line and a call
// stack for every chunk of the wrong size.
#pragma once

#include <cstddef>

#include "net/NetMsg.h"

namespace host {

/// The data of chunk `index` of `msg` when it is exactly `size` bytes, else null.
inline const unsigned char* ChunkData(const NetMsg& msg, int index, std::size_t size) noexcept {
    const Chunk* chunk = msg.GetChunk(index);
    if (chunk == nullptr || chunk->GetChunkSize() != size + sizeof(Chunk)) {
        return nullptr;
    }
    return reinterpret_cast<const unsigned char*>(chunk->GetData());
}

}  // namespace host
