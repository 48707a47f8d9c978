// The zip records both the archive reader and the packer deal with: their signatures and
// fixed sizes (PKWARE APPNOTE, little-endian throughout).
#pragma once

#include <cstddef>
#include <cstdint>

namespace satchel::zip {

inline constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
inline constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
inline constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
inline constexpr std::size_t kLocalHeaderSize = 30;
inline constexpr std::size_t kCentralHeaderSize = 46;
inline constexpr std::size_t kEndRecordSize = 22;

}  // namespace satchel::zip
