// A base for the test helpers that own something only they may undo (a redirected descriptor,
// a loaded library, a counting scope): they are neither copied nor moved.
#pragma once

namespace test {

/// Derive from it to delete the copy (and with it the move) of a class.
class NoCopy {
public:
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;

protected:
    NoCopy() = default;
    ~NoCopy() = default;
};

}  // namespace test
