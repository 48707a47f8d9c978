// Scenarios of the game-server simulator: a readable text of timed marker events.
//
// One statement per line; `#` starts a comment (outside a quoted name); blank lines are
// ignored. Times are milliseconds from the start of the scenario (`1500`, `1500ms`) or whole
// seconds (`2s`); the simulator multiplies them by the core timer's scale like every timer.
// Events come in non-decreasing time order.
//
//     title "Village square"                # optional, once
//     loop 60s                              # optional, once: start over after this time
//     0s    player 1 appear x=10 y=20
//     0s    npc 7 appear name="Smith" x=1 y=2 kind=3 quest=-1    # kind 0, quest -1 by default
//     5s    player 1 move x=12 y=22
//     5s    npc 7 update quest=42             # any of name, x, y, kind, quest
//     6s    npc 7 move x=3 y=4
//     10s   player 1 leave
//     15s   clear                             # every marker disappears
//     20s   role-reset                        # the clients' current role changes
//
// Ids are unsigned 64-bit decimals; x and y finite decimal numbers; kind and quest 32-bit
// integers; a name is a double-quoted text of at most 52 bytes, with \" and \\ as the only
// escapes and no control characters. The reader checks that the events make sense in order:
// an id appears only while absent, and moves, updates or leaves only while present (a clear
// makes every id absent). A loop time must lie after the last event.
//
// The reader takes any bytes: it never throws, never crashes, and reports the first problem
// with its line number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class EventType : std::uint8_t {
    PlayerAppear,
    PlayerMove,
    PlayerLeave,
    NpcAppear,
    NpcMove,
    NpcUpdate,
    NpcLeave,
    Clear,
    RoleReset,
};

/// "player appear", "clear", ...: the statement's words.
const char* ToString(EventType type) noexcept;

struct ScenarioEvent {
    std::int64_t timeMs = 0;
    EventType type = EventType::Clear;
    /// The marker's id; 0 for clear and role-reset.
    std::uint64_t id = 0;
    /// The fields the statement gives; absent ones keep their value (update) or take their
    /// default (appear).
    std::optional<float> x;
    std::optional<float> y;
    std::optional<std::string> name;
    std::optional<std::int32_t> kind;
    std::optional<std::int32_t> quest;
    /// The line it came from, counting from 1.
    int line = 0;
};

struct Scenario {
    std::string title;
    /// Start over after this many milliseconds; 0: play once and keep the last state.
    std::int64_t loopMs = 0;
    /// In time order.
    std::vector<ScenarioEvent> events;
};

struct ScenarioError {
    /// The offending line, counting from 1.
    int line = 0;
    std::string message;

    /// "line 4: ..."
    std::string Text() const;
};

struct ScenarioParseResult {
    std::optional<Scenario> scenario;
    /// Set when `scenario` is empty.
    ScenarioError error;

    explicit operator bool() const noexcept { return scenario.has_value(); }
};

/// Most events in one scenario, so that a hostile file cannot make the simulator hoard memory.
inline constexpr std::size_t kMaxScenarioEvents = 100000;
/// The largest scenario file read: the most events, on lines of several hundred bytes each, stay
/// below it. A larger file (a sparse one, a device that never ends) would otherwise take all
/// the memory there is before the reader could refuse it.
inline constexpr std::size_t kMaxScenarioFileBytes = std::size_t{64} << 20;
/// Latest time of an event or loop: one week.
inline constexpr std::int64_t kMaxScenarioTimeMs = 7LL * 24 * 3600 * 1000;

/// Reads a scenario from its text. On failure the result holds no scenario and the error
/// names the first offending line.
ScenarioParseResult ParseScenario(std::string_view text);

}  // namespace sim
