// What every fuzz target shares: the libFuzzer entry points and the check that stops a run.
//
// A target is one LLVMFuzzerTestOneInput (and, when it needs one-time setup, an
// LLVMFuzzerInitialize). Linked against libFuzzer (the fuzz preset) it is a fuzzer; linked
// against ReplayMain.cpp (every other preset) it is a program that runs the same function over
// the files of its seed corpus and its regression inputs, which ctest does.
//
// A target checks what the code under test promises, not only that it does not crash: a
// broken promise calls FUZZ_CHECK, which prints what failed and aborts, so libFuzzer keeps
// the input as a crash and the replay program fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
/// Optional one-time setup; may look at and change the command line.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fuzz {

[[noreturn]] inline void CheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

/// Reads the input front to back; reads past the end give zero bytes and an empty rest.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    bool Empty() const noexcept { return offset >= size; }
    std::size_t Left() const noexcept { return size - offset; }

    std::uint8_t Byte() noexcept { return offset < size ? data[offset++] : 0; }
    std::uint16_t U16() noexcept {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }
    std::uint32_t U32() noexcept {
        const std::uint32_t low = U16();
        return low | (static_cast<std::uint32_t>(U16()) << 16);
    }
    /// The next `n` bytes, or fewer when the input ends first.
    const std::uint8_t* Take(std::size_t n, std::size_t& taken) noexcept {
        taken = n < Left() ? n : Left();
        const std::uint8_t* p = data + offset;
        offset += taken;
        return p;
    }
    /// Everything left.
    const std::uint8_t* Rest(std::size_t& taken) noexcept { return Take(Left(), taken); }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset = 0;
};

}  // namespace fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::fuzz::CheckFailed(#condition, __FILE__, __LINE__))
