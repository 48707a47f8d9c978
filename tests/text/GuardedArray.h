// Catches reads past the end of one array allocation, also from code that no sanitizer
// instruments (the system's TinyXML): the next `new[]` whose size lies in a given range is
// placed at the very end of a readable page, followed by a page that may not be touched. A
// read past its end kills the process with SIGSEGV, so use it inside a death test.
//
// The test program replaces the global array allocation functions for this; every other array
// allocation goes to malloc and free as usual.
#pragma once

#include <cstddef>

namespace text_test {

/// Places the next array allocation of `minSize` to `maxSize` bytes (inclusive) before a
/// guard page. One allocation only; the arming is then spent.
void GuardNextArray(std::size_t minSize, std::size_t maxSize);
/// Whether an armed allocation has happened since the last GuardNextArray.
bool GuardedArrayWasAllocated();

}  // namespace text_test
