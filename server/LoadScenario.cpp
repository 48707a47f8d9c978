#include "server/DefaultScenario.h"

#include "plinth/Path.h"

namespace sim {

std::string ScenarioSource(const std::string& path) {
    return path.empty() ? DefaultScenarioSource() : path;
}

std::optional<Scenario> LoadScenario(const std::string& path, std::string& error) {
    std::string text;
    if (path.empty()) {
        text = DefaultScenarioText();
    } else if (!os::ReadWholeFile(path, kMaxScenarioFileBytes, text, "the scenario " + path,
                                  error)) {
        return std::nullopt;
    }
    ScenarioParseResult parsed = ParseScenario(text);
    if (!parsed) {
        error = ScenarioSource(path) + ": " + parsed.error.Text();
        return std::nullopt;
    }
    return std::move(parsed.scenario);
}

}  // namespace sim
