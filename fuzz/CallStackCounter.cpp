#include "fuzz/CallStackCounter.h"

#include "plinth/Log.h"

namespace {

// The targets run one input at a time on one thread.
int callStacks = 0;

}  // namespace

namespace fuzz {

int CallStacks() noexcept {
    return callStacks;
}

void ResetCallStacks() noexcept {
    callStacks = 0;
}

}  // namespace fuzz

void os::ShowCallStack() {
    ++callStacks;
}
