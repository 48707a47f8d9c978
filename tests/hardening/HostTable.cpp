// The test program plays a client core that has used the string table before it loads any
// module: its own copy of the text library creates the process-wide table, so the table runs
// the program's code and a module that only uses it may be unloaded. Every test of this
// program starts so, before anything else: the clock is manual, the configuration directory
// is the sample one, and a first text has been looked up.
#include <gtest/gtest.h>

#include <cstdlib>

#include "plinth/Timer.h"
#include "text/StringTable.h"

namespace {

class HostTableEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(os::GetTimer()->SetClockMode(os::ClockMode::Manual));
        setenv("PLINTH_CONFIG_DIR", SAMPLE_CONFIG_DIR, 1);
        ASSERT_FALSE(GetCommonString("FiveElements_Metal").empty())
            << "the sample tables in " << SAMPLE_CONFIG_DIR << " should name the element";
    }
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new HostTableEnvironment);

}  // namespace
