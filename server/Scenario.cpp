#include "server/Scenario.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <system_error>
#include <utility>

#include "function/EnumName.h"

namespace sim {

namespace {

constexpr std::size_t kNameBytes = 52;

/// One word of a statement: `word`, `"quoted text"` or `key=value` (the value bare or quoted).
struct Token {
    std::string key;  ///< empty unless the token is key=value
    std::string value;
    bool quoted = false;
};

/// Thrown inside the reader only, caught by ParseScenario: keeps every check one line long.
struct Failure {
    std::string message;
};

[[noreturn]] void Fail(std::string message) {
    throw Failure{std::move(message)};
}

/// A piece of the input for an error text: printable ASCII as is, anything else as \xHH,
/// cut after 40 bytes so that a hostile line cannot make the message huge.
std::string Quote(std::string_view text) {
    std::string out = "'";
    std::size_t n = 0;
    for (const char c : text) {
        if (++n > 40) {
            out += "...";
            break;
        }
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        }
    }
    out += "'";
    return out;
}

bool IsSpace(char c) noexcept {
    return c == ' ' || c == '\t';
}

/// Reads a quoted text starting at line[pos] == '"'; leaves pos after the closing quote.
std::string ReadQuoted(std::string_view line, std::size_t& pos) {
    std::string out;
    ++pos;
    while (true) {
        if (pos >= line.size()) {
            Fail("a quoted text is not closed");
        }
        const char c = line[pos++];
        if (c == '"') {
            break;
        }
        if (c == '\\') {
            if (pos >= line.size()) {
                Fail("a quoted text is not closed");
            }
            const char e = line[pos++];
            if (e != '"' && e != '\\') {
                Fail("unknown escape " + Quote(std::string{'\\', e}) + " (only \\\" and \\\\)");
            }
            out += e;
            continue;
        }
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            Fail("control character in a quoted text");
        }
        out += c;
    }
    if (pos < line.size() && !IsSpace(line[pos]) && line[pos] != '#') {
        Fail("expected a space after the closing quote");
    }
    return out;
}

std::vector<Token> Tokenize(std::string_view line) {
    std::vector<Token> tokens;
    std::size_t pos = 0;
    while (true) {
        while (pos < line.size() && IsSpace(line[pos])) {
            ++pos;
        }
        if (pos >= line.size() || line[pos] == '#') {
            return tokens;
        }
        Token token;
        if (line[pos] == '"') {
            token.value = ReadQuoted(line, pos);
            token.quoted = true;
            tokens.push_back(std::move(token));
            continue;
        }
        const std::size_t start = pos;
        while (pos < line.size() && !IsSpace(line[pos]) && line[pos] != '#' && line[pos] != '=' &&
               line[pos] != '"') {
            ++pos;
        }
        std::string word(line.substr(start, pos - start));
        if (pos < line.size() && line[pos] == '"') {
            Fail("unexpected quote after " + Quote(word));
        }
        if (pos < line.size() && line[pos] == '=') {
            if (word.empty()) {
                Fail("'=' without a name before it (no spaces around '=')");
            }
            ++pos;
            token.key = std::move(word);
            if (pos < line.size() && line[pos] == '"') {
                token.value = ReadQuoted(line, pos);
                token.quoted = true;
            } else {
                const std::size_t vstart = pos;
                while (pos < line.size() && !IsSpace(line[pos]) && line[pos] != '#') {
                    if (line[pos] == '"' || line[pos] == '=') {
                        Fail("unexpected " + Quote(line.substr(pos, 1)) + " in the value of " +
                             token.key);
                    }
                    ++pos;
                }
                token.value = std::string(line.substr(vstart, pos - vstart));
                if (token.value.empty()) {
                    Fail("no value after " + token.key + "=");
                }
            }
        } else {
            token.value = std::move(word);
        }
        tokens.push_back(std::move(token));
    }
}

template <class T>
bool ParseInteger(std::string_view text, T& out) {
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, 10);
    return ec == std::errc() && end == text.data() + text.size();
}

std::int64_t ParseTime(const Token& token) {
    if (!token.key.empty() || token.quoted) {
        Fail("expected a time, got " + Quote(token.key.empty() ? token.value : token.key + "="));
    }
    std::string_view text = token.value;
    std::int64_t factor = 1;
    if (text.size() > 2 && text.substr(text.size() - 2) == "ms") {
        text.remove_suffix(2);
    } else if (text.size() > 1 && text.back() == 's') {
        text.remove_suffix(1);
        factor = 1000;
    }
    // Only digits: a count, however many (too many for 64 bits is beyond a week too).
    const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; });
    std::int64_t value = 0;
    if (!digits) {
        Fail("expected a time in milliseconds (1500, 1500ms) or seconds (2s), got " +
             Quote(token.value));
    }
    if (!ParseInteger(text, value) || value > kMaxScenarioTimeMs / factor) {
        Fail("time " + Quote(token.value) + " is beyond one week");
    }
    return value * factor;
}

std::uint64_t ParseId(const Token& token) {
    std::uint64_t id = 0;
    if (!token.key.empty() || token.quoted || !ParseInteger(std::string_view(token.value), id)) {
        Fail("expected an id (unsigned 64-bit decimal), got " +
             Quote(token.key.empty() ? token.value : token.key + "=" + token.value));
    }
    return id;
}

float ParseCoordinate(const Token& token) {
    float value = 0;
    const std::string& text = token.value;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (ec == std::errc::result_out_of_range && !token.quoted && end == text.data() + text.size()) {
        Fail(token.key + "=" + Quote(text) + " lies beyond what a 32-bit float holds");
    }
    if (token.quoted || text.empty() || ec != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
        Fail("expected a finite decimal number for " + token.key + ", got " + Quote(text));
    }
    return value;
}

std::int32_t ParseInt32(const Token& token) {
    std::int32_t value = 0;
    if (token.quoted || !ParseInteger(std::string_view(token.value), value)) {
        Fail("expected a 32-bit integer for " + token.key + ", got " + Quote(token.value));
    }
    return value;
}

/// Reads the key=value fields from tokens[first...] into `event`; `allowed` lists the keys
/// this statement takes.
void ParseFields(const std::vector<Token>& tokens, std::size_t first,
                 std::initializer_list<std::string_view> allowed, ScenarioEvent& event) {
    std::set<std::string> seen;
    for (std::size_t i = first; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.key.empty()) {
            Fail("unexpected " + Quote(t.value) + " (fields are written key=value)");
        }
        bool known = false;
        for (const std::string_view k : allowed) {
            known = known || k == t.key;
        }
        if (!known) {
            std::string list;
            for (const std::string_view k : allowed) {
                list += list.empty() ? "" : ", ";
                list += k;
            }
            Fail("unknown field " + Quote(t.key) + " here (allowed: " + list + ")");
        }
        if (!seen.insert(t.key).second) {
            Fail("field " + t.key + " given twice");
        }
        if (t.key == "x") {
            event.x = ParseCoordinate(t);
        } else if (t.key == "y") {
            event.y = ParseCoordinate(t);
        } else if (t.key == "kind") {
            event.kind = ParseInt32(t);
        } else if (t.key == "quest") {
            event.quest = ParseInt32(t);
        } else if (t.key == "name") {
            if (!t.quoted) {
                Fail("a name is written in double quotes: name=\"Smith\"");
            }
            if (t.value.size() > kNameBytes) {
                Fail("name " + Quote(t.value) + " is longer than 52 bytes");
            }
            event.name = t.value;
        }
    }
}

void Require(bool present, const char* field, const char* statement) {
    if (!present) {
        Fail(std::string(statement) + " needs " + field + "=");
    }
}

/// The statement after the time: tokens[1...].
ScenarioEvent ParseEvent(const std::vector<Token>& tokens) {
    ScenarioEvent event;
    event.timeMs = ParseTime(tokens[0]);
    if (tokens.size() < 2) {
        Fail("a time without an event");
    }
    const Token& subject = tokens[1];
    if (!subject.key.empty() || subject.quoted) {
        Fail("expected player, npc, clear or role-reset after the time");
    }
    if (subject.value == "clear" || subject.value == "role-reset") {
        event.type = subject.value == "clear" ? EventType::Clear : EventType::RoleReset;
        if (tokens.size() > 2) {
            Fail(subject.value + " takes nothing after it");
        }
        return event;
    }
    const bool player = subject.value == "player";
    if (!player && subject.value != "npc") {
        Fail("unknown event " + Quote(subject.value) +
             " (expected player, npc, clear or role-reset)");
    }
    if (tokens.size() < 3) {
        Fail(subject.value + " needs an id");
    }
    event.id = ParseId(tokens[2]);
    if (tokens.size() < 4 || !tokens[3].key.empty() || tokens[3].quoted) {
        Fail(subject.value + " " + tokens[2].value +
             (player ? " needs appear, move or leave" : " needs appear, move, update or leave") +
             (tokens.size() < 4 ? std::string()
                                : ", got " + Quote(tokens[3].key + "=" + tokens[3].value)));
    }
    const std::string& verb = tokens[3].value;
    if (verb == "appear") {
        if (player) {
            event.type = EventType::PlayerAppear;
            ParseFields(tokens, 4, {"x", "y"}, event);
        } else {
            event.type = EventType::NpcAppear;
            ParseFields(tokens, 4, {"name", "x", "y", "kind", "quest"}, event);
            Require(event.name.has_value(), "name", "npc appear");
        }
        Require(event.x.has_value(), "x", player ? "player appear" : "npc appear");
        Require(event.y.has_value(), "y", player ? "player appear" : "npc appear");
    } else if (verb == "move") {
        event.type = player ? EventType::PlayerMove : EventType::NpcMove;
        ParseFields(tokens, 4, {"x", "y"}, event);
        Require(event.x.has_value(), "x", "move");
        Require(event.y.has_value(), "y", "move");
    } else if (verb == "update" && !player) {
        event.type = EventType::NpcUpdate;
        ParseFields(tokens, 4, {"name", "x", "y", "kind", "quest"}, event);
        if (!event.name && !event.x && !event.y && !event.kind && !event.quest) {
            Fail("npc update needs at least one of name, x, y, kind, quest");
        }
    } else if (verb == "leave") {
        event.type = player ? EventType::PlayerLeave : EventType::NpcLeave;
        if (tokens.size() > 4) {
            Fail("leave takes nothing after it");
        }
    } else {
        Fail("unknown action " + Quote(verb) +
             (player ? " (expected appear, move or leave)"
                     : " (expected appear, move, update or leave)"));
    }
    return event;
}

/// Which ids are present as the events play in order, to refuse events that make no sense.
struct Presence {
    std::set<std::uint64_t> players;
    std::set<std::uint64_t> npcs;

    /// `kind` ("player ", "npc ") starts the failure's text.
    static void Appear(std::set<std::uint64_t>& present, const char* kind, std::uint64_t id) {
        if (!present.insert(id).second) {
            Fail(kind + std::to_string(id) + " is already present");
        }
    }

    static void Change(std::set<std::uint64_t>& present, const char* kind, std::uint64_t id,
                       bool leaves) {
        if (present.count(id) == 0) {
            Fail(kind + std::to_string(id) + " is not present");
        }
        if (leaves) {
            present.erase(id);
        }
    }

    void Apply(const ScenarioEvent& e) {
        switch (e.type) {
            case EventType::PlayerAppear:
                Appear(players, "player ", e.id);
                break;
            case EventType::NpcAppear:
                Appear(npcs, "npc ", e.id);
                break;
            case EventType::PlayerMove:
            case EventType::PlayerLeave:
                Change(players, "player ", e.id, e.type == EventType::PlayerLeave);
                break;
            case EventType::NpcMove:
            case EventType::NpcUpdate:
            case EventType::NpcLeave:
                Change(npcs, "npc ", e.id, e.type == EventType::NpcLeave);
                break;
            case EventType::Clear:
                players.clear();
                npcs.clear();
                break;
            case EventType::RoleReset:
                break;
        }
    }
};

}  // namespace

const char* ToString(EventType type) noexcept {
    static constexpr const char* kNames[] = {"player appear", "player move", "player leave",
                                             "npc appear",    "npc move",    "npc update",
                                             "npc leave",     "clear",       "role-reset"};
    return os::EnumName<EventType::RoleReset>(type, kNames, "?");
}

std::string ScenarioError::Text() const {
    return "line " + std::to_string(line) + ": " + message;
}

ScenarioParseResult ParseScenario(std::string_view text) {
    ScenarioParseResult result;
    Scenario scenario;
    Presence presence;
    bool haveTitle = false;
    bool haveLoop = false;
    int loopLine = 0;
    int lineNumber = 0;
    // A UTF-8 byte-order mark, which Windows editors put before the first line, is no text.
    std::size_t pos = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    try {
        while (pos < text.size()) {
            ++lineNumber;
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            if (line.find('\0') != std::string_view::npos) {
                Fail("NUL byte in the text");
            }
            const std::vector<Token> tokens = Tokenize(line);
            if (tokens.empty()) {
                continue;
            }
            const Token& head = tokens[0];
            if (head.key.empty() && !head.quoted && head.value == "title") {
                if (haveTitle) {
                    Fail("title given twice");
                }
                if (tokens.size() != 2 || !tokens[1].quoted || !tokens[1].key.empty()) {
                    Fail("title needs one quoted text: title \"Village square\"");
                }
                scenario.title = tokens[1].value;
                haveTitle = true;
                continue;
            }
            if (head.key.empty() && !head.quoted && head.value == "loop") {
                if (haveLoop) {
                    Fail("loop given twice");
                }
                if (tokens.size() != 2) {
                    Fail("loop needs one time: loop 60s");
                }
                scenario.loopMs = ParseTime(tokens[1]);
                if (scenario.loopMs == 0) {
                    Fail("a loop time must be above 0");
                }
                haveLoop = true;
                loopLine = lineNumber;
                continue;
            }
            ScenarioEvent event = ParseEvent(tokens);
            event.line = lineNumber;
            if (!scenario.events.empty() && event.timeMs < scenario.events.back().timeMs) {
                Fail("time " + std::to_string(event.timeMs) +
                     " ms is earlier than the previous event's " +
                     std::to_string(scenario.events.back().timeMs) + " ms");
            }
            if (scenario.events.size() >= kMaxScenarioEvents) {
                Fail("more than " + std::to_string(kMaxScenarioEvents) + " events");
            }
            presence.Apply(event);
            scenario.events.push_back(std::move(event));
        }
        if (haveLoop && !scenario.events.empty() &&
            scenario.loopMs <= scenario.events.back().timeMs) {
            lineNumber = loopLine;
            Fail("the loop time " + std::to_string(scenario.loopMs) +
                 " ms must lie after the last event (" +
                 std::to_string(scenario.events.back().timeMs) + " ms)");
        }
    } catch (const Failure& failure) {
        result.error = ScenarioError{lineNumber, failure.message};
        return result;
    } catch (const std::exception& e) {
        // Only allocation can fail here; report it like any other problem.
        result.error = ScenarioError{lineNumber, std::string("cannot read: ") + e.what()};
        return result;
    }
    result.scenario = std::move(scenario);
    return result;
}

}  // namespace sim
