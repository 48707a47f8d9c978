#include <fstream>
#include <sstream>

#include "server/DefaultScenario.h"

namespace sim {

std::optional<Scenario> LoadScenario(const std::string& path, std::string& error) {
    std::string text(DefaultScenarioText());
    std::string source = DefaultScenarioSource();
    if (!path.empty()) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        if (!in || !(out << in.rdbuf()) || in.bad()) {
            error = "cannot read the scenario " + path;
            return std::nullopt;
        }
        text = out.str();
        source = path;
    }
    ScenarioParseResult parsed = ParseScenario(text);
    if (!parsed) {
        error = source + ": " + parsed.error.Text();
        return std::nullopt;
    }
    return std::move(parsed.scenario);
}

}  // namespace sim
