#include "perf/CountingAllocator.h"

#include <cstdlib>
#include <new>

namespace {

// Plain thread-local integers: they must not allocate, and the test program is never unloaded.
thread_local bool counting = false;
thread_local long allocations = 0;
thread_local long releases = 0;

void* Allocate(std::size_t size) {
    if (counting) {
        ++allocations;
    }
    return std::malloc(size != 0 ? size : 1);
}

void* AllocateAligned(std::size_t size, std::size_t align) {
    if (counting) {
        ++allocations;
    }
    void* p = nullptr;
    const std::size_t alignment = align < sizeof(void*) ? sizeof(void*) : align;
    return ::posix_memalign(&p, alignment, size != 0 ? size : 1) == 0 ? p : nullptr;
}

void Release(void* p) noexcept {
    if (p == nullptr) {
        return;
    }
    if (counting) {
        ++releases;
    }
    std::free(p);
}

}  // namespace

namespace perftest {

CountAllocations::CountAllocations() {
    allocations = 0;
    releases = 0;
    counting = true;
}

CountAllocations::~CountAllocations() {
    counting = false;
}

long CountAllocations::Allocations() const {
    return allocations;
}

long CountAllocations::Releases() const {
    return releases;
}

}  // namespace perftest

// Default visibility: the modules the program loads bind to these definitions.
#define PERF_EXPORT __attribute__((visibility("default")))

PERF_EXPORT void* operator new(std::size_t size) {
    if (void* p = Allocate(size)) {
        return p;
    }
    throw std::bad_alloc();
}
PERF_EXPORT void* operator new[](std::size_t size) {
    if (void* p = Allocate(size)) {
        return p;
    }
    throw std::bad_alloc();
}
PERF_EXPORT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
PERF_EXPORT void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
PERF_EXPORT void* operator new(std::size_t size, std::align_val_t align) {
    if (void* p = AllocateAligned(size, static_cast<std::size_t>(align))) {
        return p;
    }
    throw std::bad_alloc();
}
PERF_EXPORT void* operator new[](std::size_t size, std::align_val_t align) {
    if (void* p = AllocateAligned(size, static_cast<std::size_t>(align))) {
        return p;
    }
    throw std::bad_alloc();
}
PERF_EXPORT void* operator new(std::size_t size, std::align_val_t align,
                               const std::nothrow_t&) noexcept {
    return AllocateAligned(size, static_cast<std::size_t>(align));
}
PERF_EXPORT void* operator new[](std::size_t size, std::align_val_t align,
                                 const std::nothrow_t&) noexcept {
    return AllocateAligned(size, static_cast<std::size_t>(align));
}

PERF_EXPORT void operator delete(void* p) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete[](void* p) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete(void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete(void* p, std::align_val_t) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete[](void* p, std::align_val_t) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    Release(p);
}
PERF_EXPORT void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    Release(p);
}
