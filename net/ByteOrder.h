// Little-endian reads and writes of unaligned integers, the byte order of the network format.
//
// Every multi-byte field of a message is little-endian and may sit at any byte offset, since
// chunks are packed back to back. These helpers copy through memcpy, which is defined at any
// address, and swap the bytes on a big-endian host; on a little-endian host they compile to a
// plain load or store.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace net {

/// `value` with its bytes in reverse order.
template <class T>
requires std::is_integral_v<T>
constexpr T ByteSwap(T value) noexcept {
    using U = std::make_unsigned_t<T>;
    U in = static_cast<U>(value);
    U out = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out = static_cast<U>((out << 8) | (in & 0xFFu));
        in = static_cast<U>(in >> 8);
    }
    return static_cast<T>(out);
}

/// Converts between the host's byte order and little-endian (the same operation both ways).
template <class T>
requires std::is_integral_v<T>
constexpr T HostToLittle(T value) noexcept {
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
        return ByteSwap(value);
    } else {
        return value;
    }
}

template <class T>
requires std::is_integral_v<T>
constexpr T LittleToHost(T value) noexcept {
    return HostToLittle(value);
}

/// Reads a little-endian 16-bit value at `bytes`, which may be unaligned.
inline std::uint16_t LoadLE16(const void* bytes) noexcept {
    std::uint16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return LittleToHost(value);
}

/// Writes `value` little-endian at `bytes`, which may be unaligned.
inline void StoreLE16(void* bytes, std::uint16_t value) noexcept {
    const std::uint16_t little = HostToLittle(value);
    std::memcpy(bytes, &little, sizeof little);
}

/// A little-endian 16-bit field of a packed wire header: two bytes at any address, read and
/// written in the network's byte order whatever the host's.
class LE16 {
public:
    std::uint16_t Get() const noexcept { return LoadLE16(bytes); }
    void Set(std::uint16_t value) noexcept { StoreLE16(bytes, value); }

private:
    unsigned char bytes[2];
};

}  // namespace net
