// ChunkTypeName<T>: the readable name of a type that is read from message chunks.
//
// The chunk check writes it into its error lines ("VerifyChunk() error : class=int ..."). The
// names are fixed texts, the same on every platform and compiler, so that logs from every
// build read alike; they are not taken from run-time type information. A type read from a
// chunk must have one: specialise the trait next to the type's definition, from
// NamedChunkType,
//     template <> struct ChunkTypeName<MyRecord> : NamedChunkType<"struct MyRecord"> {};
// A chunk read of a type without a name does not compile.
#pragma once

#include <cstddef>
#include <cstdint>

namespace net {

/// A text given as a template argument: NamedChunkType<"int">.
template <std::size_t N>
struct FixedText {
    // NOLINTNEXTLINE(google-explicit-constructor): converts from the literal it is written as
    constexpr FixedText(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) {
            chars[i] = text[i];
        }
    }
    char chars[N];
};

}  // namespace net

template <class T>
struct ChunkTypeName;

/// The base of every ChunkTypeName specialisation: `value` is `Name`, a static text.
template <net::FixedText Name>
struct NamedChunkType {
    static constexpr const char* value = Name.chars;
};

template <>
struct ChunkTypeName<std::uint64_t> : NamedChunkType<"unsigned __int64"> {};

template <>
struct ChunkTypeName<int> : NamedChunkType<"int"> {};

template <>
struct ChunkTypeName<bool> : NamedChunkType<"bool"> {};
