// The simulator's default scenario, compiled in from scenarios/village.scn so that the server
// and the client's embedded server need no file to start.
#pragma once

#include <string_view>

namespace sim {

/// The text of scenarios/village.scn as it was at build time.
std::string_view DefaultScenarioText();
/// "scenarios/village.scn": where the text came from, for messages.
const char* DefaultScenarioSource();

}  // namespace sim
