// A counting replacement of the global allocation functions, for the allocation tests.
//
// The program that links CountingAllocator.cpp routes every operator new and delete of the
// process (the modules it loads included: they bind to the program's definitions) through
// malloc and free, and counts the calls made on a thread while a CountAllocations object lives
// on that thread. It only counts; nothing is timed.
#pragma once

#include "support/NoCopy.h"

namespace perftest {

/// Counts the allocations and releases of the calling thread for its scope. Scopes do not nest.
class CountAllocations : test::NoCopy {
public:
    CountAllocations();
    ~CountAllocations();

    /// Calls of operator new (every form) so far in this scope.
    long Allocations() const;
    /// Calls of operator delete with a non-null pointer so far in this scope.
    long Releases() const;
};

}  // namespace perftest
