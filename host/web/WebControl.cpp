#include "host/web/WebControl.h"

#include <charconv>

namespace host::web {

namespace {

constexpr std::size_t kMaxControlBytes = 64;

std::optional<bool> ParseOnOff(std::string_view word) {
    if (word == "on") {
        return true;
    }
    if (word == "off") {
        return false;
    }
    return std::nullopt;
}

}  // namespace

std::optional<WebControl> ParseWebControl(std::string_view text) {
    if (text.size() > kMaxControlBytes) {
        return std::nullopt;
    }
    const std::size_t space = text.find(' ');
    const std::string_view verb = text.substr(0, space);
    const std::string_view rest =
        space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
    const bool hasArgument = space != std::string_view::npos;

    WebControl control;
    if (verb == "reset" && !hasArgument) {
        control.kind = WebControl::Kind::ResetRole;
        return control;
    }
    if ((verb == "poll" || verb == "battle") && hasArgument) {
        const std::optional<bool> on = ParseOnOff(rest);
        if (!on) {
            return std::nullopt;
        }
        control.kind = verb == "poll" ? WebControl::Kind::Poll : WebControl::Kind::Battle;
        control.on = *on;
        return control;
    }
    // One way to write each kind: no '+', no leading zero, a '-' only in -1.
    if (verb == "query" && hasArgument && !rest.empty() && rest.size() <= 3 && rest[0] != '+' &&
        !(rest[0] == '0' && rest.size() > 1) && (rest[0] != '-' || rest == "-1")) {
        std::int32_t kind = 0;
        const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), kind);
        if (ec != std::errc() || end != rest.data() + rest.size() || kind < -1 || kind > 99) {
            return std::nullopt;
        }
        control.kind = WebControl::Kind::Query;
        control.queryKind = kind;
        return control;
    }
    return std::nullopt;
}

}  // namespace host::web
