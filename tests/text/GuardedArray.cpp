#include "GuardedArray.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> armedMin{0};
std::atomic<std::size_t> armedMax{0};
std::atomic<bool> allocated{false};
// The one live guarded block: its address, and the mapping that holds it.
std::atomic<void*> guardedBlock{nullptr};
void* mapping = nullptr;
std::size_t mappingSize = 0;

void* AllocateGuarded(std::size_t size) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t dataPages = (size + page - 1) / page;
    mappingSize = (dataPages + 1) * page;
    void* memory =
        mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        throw std::bad_alloc();
    }
    char* base = static_cast<char*>(memory);
    mprotect(base + dataPages * page, page, PROT_NONE);
    mapping = memory;
    void* block = base + dataPages * page - size;
    guardedBlock = block;
    allocated = true;
    return block;
}

}  // namespace

namespace text_test {

void GuardNextArray(std::size_t minSize, std::size_t maxSize) {
    allocated = false;
    armedMax = maxSize;
    armedMin = minSize;
}

bool GuardedArrayWasAllocated() {
    return allocated;
}

}  // namespace text_test

void* operator new[](std::size_t size) {
    const std::size_t min = armedMin.load();
    if (min != 0 && size >= min && size <= armedMax.load() && guardedBlock.load() == nullptr) {
        armedMin = 0;
        return AllocateGuarded(size);
    }
    if (void* memory = std::malloc(size != 0 ? size : 1)) {
        return memory;
    }
    throw std::bad_alloc();
}

// The loader allocates its read buffers with the non-throwing form: it must come from the same
// place as the plain form, since both are released by the replaced operator delete[].
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

void operator delete[](void* memory) noexcept {
    if (memory != nullptr && memory == guardedBlock.load()) {
        munmap(mapping, mappingSize);
        guardedBlock = nullptr;
        return;
    }
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
    operator delete[](memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    operator delete[](memory);
}
