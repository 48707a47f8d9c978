// GUID: the type identifier of a container class.
//
// Sixteen bytes laid out as the client's other modules lay them out: a 32-bit field, two 16-bit
// fields and eight single bytes. Identifiers are compared for equality only; there is no
// ordering, and no code may rely on one.
#pragma once

#include <cstdint>

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID&, const GUID&) = default;
};

static_assert(sizeof(GUID) == 16, "a GUID is 16 bytes in every module");

/// A GUID written the way it is printed, group by group:
/// {95C395B2-99B3-4ABB-BDFE-5523BE8CDDB6} is MakeGuid(0x95C395B2, 0x99B3, 0x4ABB, 0xBDFE,
/// 0x5523BE8CDDB6). The last group holds 48 bits; anything larger does not compile.
consteval GUID MakeGuid(std::uint32_t data1, std::uint16_t data2, std::uint16_t data3,
                        std::uint16_t group4, std::uint64_t group5) {
    if (group5 > 0xFFFFFFFFFFFFull) {
        throw "the last group of a GUID has 12 hexadecimal digits";
    }
    GUID id{data1, data2, data3, {}};
    id.Data4[0] = static_cast<std::uint8_t>(group4 >> 8);
    id.Data4[1] = static_cast<std::uint8_t>(group4);
    for (int i = 0; i < 6; ++i) {
        id.Data4[2 + i] = static_cast<std::uint8_t>(group5 >> (8 * (5 - i)));
    }
    return id;
}
