// ChunkTypeName<T>: the readable name of a type that is read from message chunks.
//
// The chunk check writes it into its error lines ("VerifyChunk() error : class=int ..."). The
// names are fixed texts, the same on every platform and compiler, so that logs from every
// build read alike; they are not taken from run-time type information. A type read from a
// chunk must have one: specialise the trait next to the type's definition,
//     template <> struct ChunkTypeName<MyRecord> { static constexpr const char* value = "struct
//     MyRecord"; };
// A chunk read of a type without a name does not compile.
#pragma once

#include <cstdint>

template <class T>
struct ChunkTypeName;

template <>
struct ChunkTypeName<std::uint64_t> {
    static constexpr const char* value = "unsigned __int64";
};

template <>
struct ChunkTypeName<int> {
    static constexpr const char* value = "int";
};

template <>
struct ChunkTypeName<bool> {
    static constexpr const char* value = "bool";
};
