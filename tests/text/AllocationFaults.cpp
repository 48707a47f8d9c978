#include "AllocationFaults.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> watchedSize{0};
std::atomic<int> failAtCount{0};
std::atomic<int> watchedCount{0};
std::atomic<bool> failed{false};
std::atomic<std::size_t> lastSize{0};

}  // namespace

namespace text_test {

void WatchAllocations(std::size_t size, int failAt) {
    failed = false;
    watchedCount = 0;
    failAtCount = failAt;
    watchedSize = size;
}

void StopWatchingAllocations() {
    watchedSize = 0;
    failAtCount = 0;
}

int WatchedAllocations() {
    return watchedCount;
}

bool WatchedAllocationFailed() {
    return failed;
}

std::size_t LastAllocationSize() {
    return lastSize;
}

}  // namespace text_test

void* operator new(std::size_t size) {
    lastSize.store(size, std::memory_order_relaxed);
    if (size != 0 && size == watchedSize.load(std::memory_order_relaxed)) {
        const int count = ++watchedCount;
        if (count == failAtCount.load()) {
            failed = true;
            throw std::bad_alloc();
        }
    }
    if (void* memory = std::malloc(size != 0 ? size : 1)) {
        return memory;
    }
    throw std::bad_alloc();
}

// Every form that may release what the replaced `new` gave goes to free, also under
// AddressSanitizer, whose own delete would report a mismatch.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
