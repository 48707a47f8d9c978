// Hostile inputs shared by the text and packed-resource tests: string tables nested or
// attributed beyond any parser's comfort, and zip archives whose deflated member inflates to
// far more than the archive's size, written with little memory and time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "satchel/ZipPack.h"

namespace test {

/// A string table whose one entry holds `levels` elements nested in one another.
inline std::string DeepTable(std::size_t levels) {
    std::string xml = "<common><FiveElements_Metal>x</FiveElements_Metal>";
    xml.reserve(xml.size() + levels * 7 + 16);
    for (std::size_t i = 0; i < levels; ++i) {
        xml += "<a>";
    }
    for (std::size_t i = 0; i < levels; ++i) {
        xml += "</a>";
    }
    return xml + "</common>\n";
}

/// A string table whose first entry carries `count` attributes of distinct names.
inline std::string AttributeTable(std::size_t count) {
    std::string xml = "<common><FiveElements_Metal";
    xml.reserve(xml.size() + count * 12 + 64);
    for (std::size_t i = 0; i < count; ++i) {
        xml += " a" + std::to_string(i) + "=\"\"";
    }
    return xml + ">x</FiveElements_Metal></common>\n";
}

/// A raw deflate stream (fixed Huffman codes) that inflates to `count` zero bytes: one literal
/// zero, then copies of 258 bytes from one byte back, then literal zeros for the rest. About
/// 13 bits per 258 bytes: 64 MiB of zeros take some 430 KB.
inline std::string DeflatedZeros(std::uint64_t count) {
    std::string out;
    std::uint32_t bits = 0;
    int used = 0;
    const auto put = [&](std::uint32_t value, int length) {  // least significant bit first
        bits |= value << used;
        used += length;
        while (used >= 8) {
            out.push_back(static_cast<char>(bits & 0xFF));
            bits >>= 8;
            used -= 8;
        }
    };
    const auto code = [&](std::uint32_t value, int length) {  // Huffman codes: most first
        for (int i = length - 1; i >= 0; --i) {
            put((value >> i) & 1U, 1);
        }
    };
    put(1, 1);  // final block
    put(1, 2);  // fixed Huffman codes
    std::uint64_t left = count;
    if (left > 0) {
        code(0x30, 8);  // literal 0
        --left;
    }
    for (; left >= 258; left -= 258) {
        code(0xC5, 8);  // length 258 (code 285)
        code(0, 5);     // distance 1
    }
    for (; left > 0; --left) {
        code(0x30, 8);
    }
    code(0, 7);  // end of block
    if (used > 0) {
        out.push_back(static_cast<char>(bits & 0xFF));
    }
    return out;
}

/// One member of a hand-written archive: stored bytes, or a deflated run of zeros whose
/// directory entry declares `declared` bytes while the data inflates to `inflated`.
struct ArchiveMember {
    std::string name;
    std::string stored;
    bool deflatedZeros = false;
    std::uint64_t declared = 0;
    std::uint64_t inflated = 0;
};

/// The bytes of a zip archive of `members`. The CRC-32 of a zeros member is that of its
/// declared size, computed only up to 16 MiB: a larger member is refused by its size before
/// its data is read, and the sum would cost a pass over all of it.
inline std::string HostileArchive(const std::vector<ArchiveMember>& members) {
    std::string file;
    std::string central;
    const auto put = [](std::string& out, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        }
    };
    for (const ArchiveMember& member : members) {
        const std::string data =
            member.deflatedZeros ? DeflatedZeros(member.inflated) : member.stored;
        const std::uint64_t size = member.deflatedZeros ? member.declared : data.size();
        std::uint32_t crc = 0;
        if (!member.deflatedZeros) {
            crc = satchel::Crc32(data.data(), data.size());
        } else if (size <= (std::uint64_t{16} << 20)) {
            const std::string zeros(1 << 16, '\0');
            for (std::uint64_t left = size; left > 0;) {
                const auto piece =
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
                crc = satchel::Crc32(zeros.data(), piece, crc);
                left -= piece;
            }
        }
        const std::uint16_t method = member.deflatedZeros ? 8 : 0;
        const std::uint64_t offset = file.size();
        for (std::string* out : {&file, &central}) {
            const bool local = out == &file;
            put(*out, local ? 0x04034b50 : 0x02014b50, 4);
            if (!local) {
                put(*out, (3 << 8) | 20, 2);  // made by: Unix
            }
            put(*out, 20, 2);
            put(*out, 0, 2);
            put(*out, method, 2);
            put(*out, 0, 2);     // time
            put(*out, 0x21, 2);  // date: 1980-01-01
            put(*out, crc, 4);
            put(*out, data.size(), 4);
            put(*out, size, 4);
            put(*out, member.name.size(), 2);
            put(*out, 0, 2);
            if (!local) {
                put(*out, 0, 2);  // comment
                put(*out, 0, 2);  // disk
                put(*out, 0, 2);  // internal attributes
                put(*out, 0, 4);  // external attributes
                put(*out, offset, 4);
            }
            *out += member.name;
            if (local) {
                *out += data;
            }
        }
    }
    const std::uint64_t centralOffset = file.size();
    file += central;
    put(file, 0x06054b50, 4);
    put(file, 0, 4);
    put(file, members.size(), 2);
    put(file, members.size(), 2);
    put(file, central.size(), 4);
    put(file, centralOffset, 4);
    put(file, 0, 2);
    return file;
}

/// Writes HostileArchive(members) to `path`.
inline void WriteHostileArchive(const std::filesystem::path& path,
                                const std::vector<ArchiveMember>& members) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << HostileArchive(members);
}

}  // namespace test
