#include "plinth/Buffer.h"

#include <mutex>
#include <vector>

namespace os {

struct BufferPoolAccess {
    static TCPBuffer* Make() { return new TCPBuffer; }
    static void Destroy(TCPBuffer* buffer) { delete buffer; }
};

namespace {

// Enough for every message in flight on a busy client; beyond it buffers go back to the
// system so that a burst does not pin memory for the rest of the process.
constexpr std::size_t kMaxPooled = 64;

struct BufferPool {
    std::mutex mutex;
    std::vector<TCPBuffer*> free;
};

BufferPool& Pool() {
    static BufferPool* pool = new BufferPool;
    return *pool;
}

}  // namespace

TCPBuffer* AllocateBuffer() {
    BufferPool& pool = Pool();
    {
        std::lock_guard<std::mutex> guard(pool.mutex);
        if (!pool.free.empty()) {
            TCPBuffer* buffer = pool.free.back();
            pool.free.pop_back();
            return buffer;
        }
    }
    return BufferPoolAccess::Make();
}

void DeallocateBuffer(TCPBuffer* buffer) {
    if (buffer == nullptr) {
        return;
    }
    BufferPool& pool = Pool();
    {
        std::lock_guard<std::mutex> guard(pool.mutex);
        if (pool.free.size() < kMaxPooled) {
            pool.free.push_back(buffer);
            return;
        }
    }
    BufferPoolAccess::Destroy(buffer);
}

}  // namespace os
