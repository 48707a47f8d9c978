// The fuzz targets replace the core library's call-stack dump by a counter.
//
// Every failed chunk read writes the call stack, and symbolising one takes about a
// millisecond, which would hold a fuzzer to a few hundred inputs a second when malformed input
// is the common case. The program defines os::ShowCallStack itself (CallStackCounter.cpp) and
// exports it, so that it takes the place of libPlinth.so's for the program and for every
// library it loads; the targets check that each failed read wrote exactly one stack.
#pragma once

namespace fuzz {

/// Call stacks "written" since the last reset.
int CallStacks() noexcept;
void ResetCallStacks() noexcept;

}  // namespace fuzz
