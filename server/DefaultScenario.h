// The simulator's default scenario, compiled in from scenarios/village.scn so that the server
// and the client's embedded server need no file to start, and the one way both read theirs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "server/Scenario.h"

namespace sim {

/// The text of scenarios/village.scn as it was at build time.
std::string_view DefaultScenarioText();
/// "scenarios/village.scn": where the text came from, for messages.
const char* DefaultScenarioSource();

/// Where the scenario of `path` comes from, for messages: `path` itself, or the default
/// scenario's source when `path` is empty.
std::string ScenarioSource(const std::string& path);

/// The scenario in the file at `path`, or the default scenario when `path` is empty. On
/// failure there is none, and `error` says what went wrong, naming the file.
std::optional<Scenario> LoadScenario(const std::string& path, std::string& error);

}  // namespace sim
