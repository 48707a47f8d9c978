// The control messages a browser sends over the live view's WebSocket, and their parser.
//
// A message is one short text frame, ASCII, fields apart by one space:
//     poll on | poll off | battle on | battle off | query KIND | reset
// KIND is an NPC kind from -1 (all) to 99, as the map's [ and ] keys choose it. Everything
// from the page is untrusted: anything else (another word, a missing or extra field, a number
// out of range or with a sign or digit too many, bytes over 64) parses as nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace host::web {

struct WebControl {
    enum class Kind : std::uint8_t { Poll, Battle, Query, ResetRole };
    Kind kind = Kind::Poll;
    /// Poll and Battle: the state asked for.
    bool on = false;
    /// Query: the NPC kind asked for (-1: all).
    std::int32_t queryKind = -1;
};

/// The control the text asks for; nullopt when it is not exactly one of the forms above.
std::optional<WebControl> ParseWebControl(std::string_view text);

}  // namespace host::web
