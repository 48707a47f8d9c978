// Fuzz target: the scenario reader of the game-server simulator, which takes files that
// anyone can edit.
//
// Input: the scenario's text, any bytes. The reader must never crash or throw, and must hold
// to what it promises of a scenario it accepts: events in time order within one week, at most
// one event per line and no more than the limit, a loop time after the last event, names of
// at most 52 bytes without control characters, finite coordinates, and ids that appear only
// while absent and move, change or leave only while present. A refusal names a line of the
// text. Reading the same text twice gives the same answer.
#include <cmath>
#include <set>
#include <string_view>

#include "fuzz/FuzzTarget.h"
#include "server/Scenario.h"

namespace {

int CountLines(std::string_view text) {
    int lines = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        ++lines;
        const std::size_t end = text.find('\n', pos);
        pos = end == std::string_view::npos ? text.size() : end + 1;
    }
    return lines;
}

void CheckName(const std::string& name) {
    FUZZ_CHECK(name.size() <= 52);
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        FUZZ_CHECK(u >= 0x20 && u != 0x7F);
    }
}

void CheckAccepted(const sim::Scenario& scenario, int lines) {
    FUZZ_CHECK(scenario.events.size() <= sim::kMaxScenarioEvents);
    FUZZ_CHECK(scenario.loopMs >= 0 && scenario.loopMs <= sim::kMaxScenarioTimeMs);
    if (scenario.loopMs != 0 && !scenario.events.empty()) {
        FUZZ_CHECK(scenario.loopMs > scenario.events.back().timeMs);
    }
    for (const char c : scenario.title) {
        FUZZ_CHECK(c != '\0' && c != '\n');
    }

    std::set<std::uint64_t> players;
    std::set<std::uint64_t> npcs;
    std::int64_t lastTime = 0;
    int lastLine = 0;
    for (const sim::ScenarioEvent& e : scenario.events) {
        FUZZ_CHECK(e.timeMs >= lastTime && e.timeMs <= sim::kMaxScenarioTimeMs);
        FUZZ_CHECK(e.line > lastLine && e.line <= lines);
        lastTime = e.timeMs;
        lastLine = e.line;
        if (e.x) {
            FUZZ_CHECK(std::isfinite(*e.x));
        }
        if (e.y) {
            FUZZ_CHECK(std::isfinite(*e.y));
        }
        if (e.name) {
            CheckName(*e.name);
        }
        // Appear only while absent; move, change or leave only while present.
        using sim::EventType;
        const bool player = e.type == EventType::PlayerAppear || e.type == EventType::PlayerMove ||
                            e.type == EventType::PlayerLeave;
        std::set<std::uint64_t>& present = player ? players : npcs;
        switch (e.type) {
            case EventType::PlayerAppear:
            case EventType::NpcAppear:
                FUZZ_CHECK(present.insert(e.id).second);
                break;
            case EventType::PlayerMove:
            case EventType::NpcMove:
            case EventType::NpcUpdate:
                FUZZ_CHECK(present.count(e.id) == 1);
                break;
            case EventType::PlayerLeave:
            case EventType::NpcLeave:
                FUZZ_CHECK(present.erase(e.id) == 1);
                break;
            case EventType::Clear:
                FUZZ_CHECK(e.id == 0);
                players.clear();
                npcs.clear();
                break;
            case EventType::RoleReset:
                FUZZ_CHECK(e.id == 0);
                break;
        }
        // The fields each event needs.
        if (e.type == EventType::NpcUpdate) {
            FUZZ_CHECK(e.name || e.x || e.y || e.kind || e.quest);
        } else if (e.type == EventType::NpcAppear) {
            FUZZ_CHECK(e.name && e.x && e.y);
        } else if (e.type == EventType::PlayerAppear || e.type == EventType::PlayerMove ||
                   e.type == EventType::NpcMove) {
            FUZZ_CHECK(e.x && e.y);
        }
        FUZZ_CHECK(std::string_view(sim::ToString(e.type)).size() > 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const int lines = CountLines(text);
    const sim::ScenarioParseResult result = sim::ParseScenario(text);
    if (result) {
        CheckAccepted(*result.scenario, lines);
    } else {
        FUZZ_CHECK(result.error.line >= 1 && result.error.line <= lines);
        FUZZ_CHECK(!result.error.message.empty());
        FUZZ_CHECK(
            result.error.Text().rfind("line " + std::to_string(result.error.line) + ": ", 0) == 0);
    }

    const sim::ScenarioParseResult again = sim::ParseScenario(text);
    FUZZ_CHECK(static_cast<bool>(again) == static_cast<bool>(result));
    if (!result) {
        FUZZ_CHECK(again.error.line == result.error.line);
        FUZZ_CHECK(again.error.message == result.error.message);
    } else {
        FUZZ_CHECK(again.scenario->events.size() == result.scenario->events.size());
    }
    return 0;
}
