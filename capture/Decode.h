// Decoding one message of the wire format into named fields, and the two ways pyr-netdump
// prints a captured item: a text line and a JSON object (schema in docs/capture.md).
//
// Field names are those of the Wireshark dissector without its "pyrmm." prefix (type, id,
// length, op, selector, player.x, npc.name, ...), so what the dissector shows and what the
// JSON holds compare field by field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/CaptureReader.h"

namespace capture {

struct Field {
    enum class Type : std::uint8_t { Unsigned, Signed, Float, Text, Name };
    std::string name;
    Type type = Type::Unsigned;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    float f = 0;
    /// Text, or a name's raw bytes (up to its first NUL).
    std::string text;
};

struct ChunkInfo {
    std::uint16_t id = 0;
    std::uint16_t size = 0;  ///< the whole chunk, header included
};

struct DecodedMessage {
    std::uint16_t type = 0;
    std::uint16_t id = 0;
    std::uint16_t length = 0;
    /// "Set", "Remove", "Clear", "QueryResult", "QueryEnd", "Poll", "Query", "Hello",
    /// "RoleReset", "Tick", "Sync", "Request" (an operation code outside the protocol's), or
    /// "Other"; "Malformed" when the parser refused the message.
    std::string name;
    std::vector<Field> fields;
    std::vector<ChunkInfo> chunks;
    bool malformed = false;
    /// The parser's text for a malformed message; for a well-formed one, what keeps a
    /// receiver from reading it (a missing or wrongly sized chunk).
    std::string error;
};

/// Decodes a message's bytes (any bytes: a malformed message is reported as such).
DecodedMessage DecodeMessage(const std::string& bytes);

/// The text that pyr-netdump prints for an item (one or two lines, newline-terminated).
/// `originNs` is the capture's start, from which times are counted.
std::string FormatText(const CapturedItem& item, std::int64_t originNs);
/// The item's JSON object, one line without the newline.
std::string FormatJson(const CapturedItem& item, std::int64_t originNs);

/// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
std::size_t Utf8Length(std::string_view text, std::size_t i);
/// Bytes as "20 00 fe 00".
std::string Hex(const std::string& bytes);
/// A name's bytes as text: valid UTF-8 kept; quote, backslash, control characters and
/// invalid bytes as \", \\, \xNN (a control character U+0080 to U+009F as its two bytes,
/// \xc2\xNN).
std::string EscapeText(const std::string& bytes);
/// A JSON string, quotes included: control characters (U+0080 to U+009F too) as \u00NN,
/// invalid bytes as the code point of the same value.
std::string JsonString(const std::string& bytes);
/// The shortest text that reads back as the same float, ".0" added to whole numbers; null
/// when not finite.
std::string JsonFloat(float value);

}  // namespace capture
