#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "server/DefaultScenario.h"
#include "server/Scenario.h"
#include "support/Scoped.h"

namespace {

using namespace std::string_literals;
using sim::EventType;
using sim::ParseScenario;

sim::ScenarioError ErrorOf(const std::string& text) {
    const auto result = ParseScenario(text);
    EXPECT_FALSE(result) << "accepted:\n" << text;
    return result.error;
}

TEST(ScenarioReader, ReadsEveryKindOfStatementWithItsFields) {
    const auto result = ParseScenario(
        "# a comment line\n"
        "title \"Test # square\"   # the hash inside quotes is text\n"
        "loop 2s\n"
        "\n"
        "0      player 1 appear x=10 y=20.5\n"
        "0ms    npc 18446744073709551615 appear name=\"Smith \\\"Iron\\\" Gao\" x=-1 y=2 kind=3 "
        "quest=42\n"
        "500    player 1 move x=11 y=21\n"
        "500    npc 18446744073709551615 update quest=-1 name=\"Gao\"\n"
        "1s     npc 18446744073709551615 move x=3 y=4\n"
        "1s     player 1 leave\n"
        "1s     npc 18446744073709551615 leave\n"
        "1500   clear\r\n"
        "1500   role-reset\n");
    ASSERT_TRUE(result) << result.error.Text();
    const sim::Scenario& s = *result.scenario;
    EXPECT_EQ(s.title, "Test # square");
    EXPECT_EQ(s.loopMs, 2000);
    ASSERT_EQ(s.events.size(), 9u);

    EXPECT_EQ(s.events[0].type, EventType::PlayerAppear);
    EXPECT_EQ(s.events[0].id, 1u);
    EXPECT_EQ(*s.events[0].x, 10.0f);
    EXPECT_EQ(*s.events[0].y, 20.5f);
    EXPECT_EQ(s.events[0].line, 5);

    const sim::ScenarioEvent& npc = s.events[1];
    EXPECT_EQ(npc.type, EventType::NpcAppear);
    EXPECT_EQ(npc.id, UINT64_MAX);
    EXPECT_EQ(*npc.name, "Smith \"Iron\" Gao");
    EXPECT_EQ(*npc.x, -1.0f);
    EXPECT_EQ(*npc.kind, 3);
    EXPECT_EQ(*npc.quest, 42);

    EXPECT_EQ(s.events[2].type, EventType::PlayerMove);
    EXPECT_EQ(s.events[2].timeMs, 500);
    EXPECT_EQ(s.events[3].type, EventType::NpcUpdate);
    EXPECT_EQ(*s.events[3].quest, -1);
    EXPECT_EQ(*s.events[3].name, "Gao");
    EXPECT_FALSE(s.events[3].x.has_value());
    EXPECT_EQ(s.events[4].type, EventType::NpcMove);
    EXPECT_EQ(s.events[4].timeMs, 1000);
    EXPECT_EQ(s.events[5].type, EventType::PlayerLeave);
    EXPECT_EQ(s.events[6].type, EventType::NpcLeave);
    EXPECT_EQ(s.events[7].type, EventType::Clear);
    EXPECT_EQ(s.events[8].type, EventType::RoleReset);
    EXPECT_EQ(s.events[8].line, 13);
}

TEST(ScenarioReader, NpcAppearTakesKindZeroAndNoQuestWhenLeftOut) {
    const auto result = ParseScenario("0 npc 5 appear name=\"A\" x=1 y=2\n");
    ASSERT_TRUE(result) << result.error.Text();
    EXPECT_FALSE(result.scenario->events[0].kind.has_value());
    EXPECT_FALSE(result.scenario->events[0].quest.has_value());
}

// As a Windows editor saves it: a byte-order mark before the first line, CRLF line ends.
TEST(ScenarioReader, ByteOrderMarkAndCrlfAreNoPartOfTheText) {
    const auto result =
        ParseScenario("\xEF\xBB\xBF# saved by Notepad\r\n0 player 1 appear x=1 y=2\r\n");
    ASSERT_TRUE(result) << result.error.Text();
    ASSERT_EQ(result.scenario->events.size(), 1u);
    EXPECT_EQ(result.scenario->events[0].line, 2);
}

TEST(ScenarioReader, EmptyTextIsAnEmptyScenario) {
    const auto result = ParseScenario("");
    ASSERT_TRUE(result);
    EXPECT_TRUE(result.scenario->events.empty());
    EXPECT_EQ(result.scenario->loopMs, 0);
}

TEST(ScenarioReader, ReportsTheLineAndTheReasonOfTheFirstProblem) {
    struct Case {
        const char* text;
        int line;
        const char* fragment;
    };
    const Case cases[] = {
        {"0 player 1 appear x=1 y=2\n0 jump 3\n", 2, "unknown event 'jump'"},
        {"5 clear\n4 clear\n", 2, "earlier than the previous event"},
        {"0 player 1 move x=1 y=2\n", 1, "player 1 is not present"},
        {"0 player 1 appear x=1 y=2\n0 player 1 appear x=1 y=2\n", 2, "already present"},
        {"0 player 1 appear x=1 y=2\n1 clear\n2 player 1 leave\n", 3, "not present"},
        {"0 npc 2 appear x=1 y=2\n", 1, "npc appear needs name="},
        {"0 player 1 appear x=1\n", 1, "player appear needs y="},
        {"0 npc 2 appear name=\"12345678901234567890123456789012345678901234567890123\" x=1 y=2\n",
         1, "longer than 52 bytes"},
        {"0 npc 2 appear name=\"a\\n\" x=1 y=2\n", 1, "unknown escape"},
        {"0 npc 2 appear name=\"open x=1 y=2\n", 1, "not closed"},
        {"0 npc 2 appear name=Smith x=1 y=2\n", 1, "double quotes"},
        {"0 player 1 appear x=nan y=2\n", 1, "finite decimal number for x"},
        {"0 player 1 appear x=inf y=2\n", 1, "finite decimal number for x"},
        {"0 player 1 appear x=1e3 y=2\n", 1, "finite decimal number for x"},
        {"0 player 18446744073709551616 appear x=1 y=2\n", 1, "unsigned 64-bit"},
        {"0 player -1 appear x=1 y=2\n", 1, "unsigned 64-bit"},
        {"0 npc 1 appear name=\"a\" x=1 y=2 kind=2147483648\n", 1, "32-bit integer for kind"},
        {"0 player 1 appear x=1 y=2 x=3\n", 1, "given twice"},
        {"0 player 1 appear x=1 y=2 kind=3\n", 1, "unknown field 'kind'"},
        {"0 player 1 update x=1\n", 1, "unknown action 'update'"},
        {"0 npc 1 appear name=\"a\" x=1 y=2\n1 npc 1 update\n", 2, "at least one of"},
        {"0 player 1 leave now\n", 1, "leave takes nothing"},
        {"0 clear please\n", 1, "clear takes nothing"},
        {"soon clear\n", 1, "expected a time"},
        {"-5 clear\n", 1, "expected a time"},
        {"700000000s clear\n", 1, "beyond one week"},
        {"9223372036854775808 clear\n", 1, "beyond one week"},
        {"0 player 1 appear x=340282356779733661637539395458142568448 y=2\n", 1,
         "x='340282356779733661637539395458142568448' lies beyond what a 32-bit float holds"},
        {"0 player 1 appear\xc2\xa0x=1 y=2\n", 1, "needs appear, move or leave, got 'appear"},
        {"loop 5s\n0 clear\n10s clear\n", 1, "must lie after the last event"},
        {"loop 0\n", 1, "above 0"},
        {"loop 1s\nloop 2s\n", 2, "loop given twice"},
        {"title \"a\"\ntitle \"b\"\n", 2, "title given twice"},
        {"title a\n", 1, "one quoted text"},
        {"0 player\n", 1, "player needs an id"},
        {"0 player 1\n", 1, "needs appear, move or leave"},
        {"0\n", 1, "a time without an event"},
        {"0 npc 1 appear name=\"a\"x=1 y=2\n", 1, "space after the closing quote"},
        {"0 player 1 appear x = 1 y=2\n", 1, "without a name before it (no spaces around '=')"},
        {"0 player 1 appear x= y=2\n", 1, "no value after x="},
    };
    for (const Case& c : cases) {
        const sim::ScenarioError error = ErrorOf(c.text);
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_NE(error.message.find(c.fragment), std::string::npos)
            << "for:\n"
            << c.text << "got: " << error.Text();
    }
}

TEST(ScenarioReader, NulByteInsideALineIsRefusedWithItsLine) {
    const std::string text = std::string("0 clear\n1 cl") + '\0' + "ear\n";
    const sim::ScenarioError error = ErrorOf(text);
    EXPECT_EQ(error.line, 2);
    EXPECT_EQ(error.Text(), "line 2: NUL byte in the text");
}

TEST(ScenarioReader, ErrorTextsQuoteHostileBytesReadablyAndShort) {
    const std::string text = "0 \x01\xff" + std::string(500, 'z') + " 1\n";
    const sim::ScenarioError error = ErrorOf(text);
    EXPECT_NE(error.message.find("\\x01\\xFF"), std::string::npos) << error.message;
    EXPECT_LT(error.message.size(), 120u);
}

// A scenario is read whole: a file that never ends, or a sparse one of gigabytes, must be
// refused within the limit instead of filling the memory first.
TEST(ScenarioReader, FileBeyondTheSizeLimitIsRefusedWithinIt) {
    test::TempDir dir;
    const std::string sparse = (dir / "sparse.scn").string();
    std::ofstream(sparse).close();
    std::filesystem::resize_file(sparse, sim::kMaxScenarioFileBytes + 1);
    for (const std::string& path : {sparse, "/dev/zero"s}) {
        std::string error;
        EXPECT_FALSE(sim::LoadScenario(path, error));
        EXPECT_EQ(error, "cannot read the scenario " + path + ": it is larger than 67108864 bytes");
    }
}

TEST(ScenarioReader, ShippedScenariosAndTheCompiledInDefaultAllRead) {
    const auto fromDefault = ParseScenario(sim::DefaultScenarioText());
    ASSERT_TRUE(fromDefault) << fromDefault.error.Text();
    EXPECT_FALSE(fromDefault.scenario->events.empty());

    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PYR_SCENARIO_DIR)) {
        if (entry.path().extension() != ".scn") {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        const auto result = ParseScenario(text.str());
        EXPECT_TRUE(result) << entry.path() << ": " << result.error.Text();
        ++files;
    }
    EXPECT_GE(files, 3);
}

// Any bytes at all: random texts and random damage to a real scenario. The reader must
// return (no crash, no throw, no sanitizer report), and a refusal must name a line of the text.
TEST(ScenarioReader, SurvivesRandomBytesAndDamagedScenarios) {
    std::mt19937 random(20240611);
    const std::string base(sim::DefaultScenarioText());
    const std::string alphabet =
        "0123456789 \t\n\r\"\\=#.-+esmxyplayernpcquestkindname\xff"s + '\0';
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        if (round % 2 == 0) {
            const std::size_t size = random() % 200;
            for (std::size_t i = 0; i < size; ++i) {
                text += round % 4 == 0 ? static_cast<char>(random() & 0xFF)
                                       : alphabet[random() % alphabet.size()];
            }
        } else {
            text = base;
            const int edits = 1 + static_cast<int>(random() % 4);
            for (int e = 0; e < edits; ++e) {
                const std::size_t at = random() % text.size();
                switch (random() % 3) {
                    case 0:
                        text[at] = alphabet[random() % alphabet.size()];
                        break;
                    case 1:
                        text.erase(at, random() % 8);
                        break;
                    default:
                        text.insert(at, 1, alphabet[random() % alphabet.size()]);
                        break;
                }
            }
        }
        const auto result = ParseScenario(text);
        if (!result) {
            const long lines = std::count(text.begin(), text.end(), '\n') + 1;
            EXPECT_GE(result.error.line, 1);
            EXPECT_LE(result.error.line, lines);
            EXPECT_FALSE(result.error.message.empty());
        }
    }
}

}  // namespace
