// The scrambled variant of XML resource files (".xmlx"): every byte combined by XOR with one
// fixed mask byte.
//
// This only keeps casual readers from opening the files in a text editor; it is not
// protection. The mask is a constant compiled into every reader and writer, anyone can undo
// it, and a fixed byte was chosen precisely because readers, writers and the content tool must
// agree on it without any key management. Do not rely on it for secrets or integrity.
#pragma once

#include <cstddef>

/// The mask. Non-zero, so scrambled text is not the plain text; not a printable ASCII letter's
/// case bit (0x20), so scrambled XML does not read as case-swapped XML.
inline constexpr unsigned char kXmlScrambleMask = 0x5A;

/// Scrambles or unscrambles `size` bytes of `data` in place: the operation is its own inverse.
/// A null `data` with `size` 0 is allowed.
inline void ScrambleBytes(char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>(static_cast<unsigned char>(data[i]) ^ kXmlScrambleMask);
    }
}
