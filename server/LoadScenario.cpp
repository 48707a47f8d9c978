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
    } else {
        switch (os::ReadWholeFile(path, kMaxScenarioFileBytes, text)) {
            case os::ReadFileResult::Read:
                break;
            case os::ReadFileResult::TooLarge:
                error = "cannot read the scenario " + path + ": it is larger than " +
                        std::to_string(kMaxScenarioFileBytes) + " bytes";
                return std::nullopt;
            case os::ReadFileResult::Unreadable:
                error = "cannot read the scenario " + path;
                return std::nullopt;
        }
    }
    ScenarioParseResult parsed = ParseScenario(text);
    if (!parsed) {
        error = ScenarioSource(path) + ": " + parsed.error.Text();
        return std::nullopt;
    }
    return std::move(parsed.scenario);
}

}  // namespace sim
