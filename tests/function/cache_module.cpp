// A module that makes, copies and destroys functions, for the tests of the per-thread block
// cache across dlclose: the blocks its copies release stay in the calling thread's cache after
// the module is gone. Plain C exports only, so that nothing keeps it mapped after its release.
#include <array>
#include <vector>

#include "function/Function.h"

/// Makes a function whose invoker is a 112-byte block (a vtable pointer and a 100-byte
/// capture, on 32 and 64 bits), `copies` live copies of it, calls and destroys them all.
/// Returns the sum of the calls' results (`copies` times 100).
extern "C" __attribute__((visibility("default"))) int CacheModuleChurn(int copies) {
    std::array<unsigned char, 100> payload{};
    payload.fill(1);
    const os::Function<int()> source([payload] {
        int sum = 0;
        for (unsigned char b : payload) {
            sum += b;
        }
        return sum;
    });
    std::vector<os::Function<int()>> live(static_cast<std::size_t>(copies), source);
    int total = 0;
    for (const auto& f : live) {
        total += f();
    }
    return total;
}
