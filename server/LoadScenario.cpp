#include <fstream>
#include <sstream>

#include "server/DefaultScenario.h"

namespace sim {

std::string ScenarioSource(const std::string& path) {
    return path.empty() ? DefaultScenarioSource() : path;
}

std::optional<Scenario> LoadScenario(const std::string& path, std::string& error) {
    std::string text;
    if (path.empty()) {
        text = DefaultScenarioText();
    } else {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        if (!in || !(out << in.rdbuf()) || in.bad()) {
            error = "cannot read the scenario " + path;
            return std::nullopt;
        }
        text = std::move(out).str();
    }
    ScenarioParseResult parsed = ParseScenario(text);
    if (!parsed) {
        error = ScenarioSource(path) + ": " + parsed.error.Text();
        return std::nullopt;
    }
    return std::move(parsed.scenario);
}

}  // namespace sim
