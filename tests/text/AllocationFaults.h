// Makes one chosen allocation fail, to test what runs out of memory half-way: the n-th scalar
// `new` of one exact size (a map node, say) from a given moment throws std::bad_alloc.
//
// The test program replaces the global scalar allocation functions for this; allocations go to
// malloc and free as usual otherwise. Watch from one thread at a time.
#pragma once

#include <cstddef>

namespace text_test {

/// Counts the scalar allocations of exactly `size` bytes from now on; the `failAt`-th of them
/// (counting from 1) throws std::bad_alloc. A `failAt` of 0 only counts.
void WatchAllocations(std::size_t size, int failAt);
/// Stops counting and failing.
void StopWatchingAllocations();
/// The allocations of the watched size since WatchAllocations, the failed one included.
int WatchedAllocations();
/// Whether the chosen allocation has failed since WatchAllocations.
bool WatchedAllocationFailed();
/// The size of the latest scalar allocation of the program.
std::size_t LastAllocationSize();

}  // namespace text_test
