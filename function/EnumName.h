// os::EnumName: the printable name of an enumerator, from a table with one name per
// enumerator in declaration order.
//
// For enumerations whose enumerators count up from 0 without gaps. The table's size is checked
// against the last enumerator at compile time, so an enumerator added without a name does not
// build; a value past the last one (a corrupt byte, a cast) gets the caller's `unknown` text.
#pragma once

#include <cstddef>

namespace os {

/// names[value], or `unknown` when `value` is past the table. `Last` is the enumeration's last
/// enumerator. The returned text is one of the arguments: static when they are.
template <auto Last, std::size_t N>
constexpr const char* EnumName(decltype(Last) value, const char* const (&names)[N],
                               const char* unknown) noexcept {
    static_assert(N == static_cast<std::size_t>(Last) + 1, "one name per enumerator");
    const auto index = static_cast<std::size_t>(value);
    return index < N ? names[index] : unknown;
}

}  // namespace os
