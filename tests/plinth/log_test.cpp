#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/stacktrace.hpp>

#include "plinth/Log.h"
#include "support/LogCapture.h"

namespace {

constexpr std::uint32_t Bit(int level) {
    return 1u << level;
}

// ---------------------------------------------------------------------------------------
// Levels and records, seen through a sink

TEST(Log, LevelsOutsideZeroToThirtyOneAreNeverEnabledAndCannotBeSwitched) {
    test::LogCapture capture(~0u);
    os::Log& log = os::Log::GetInstance();
    for (int level : {-1, 32, 1000}) {
        EXPECT_FALSE(log.IsLevelEnable(level)) << level;
        log.SetLevelEnable(level, true);
        EXPECT_FALSE(log.IsLevelEnable(level)) << level;
    }
    EXPECT_EQ(log.GetEnabledLevels(), ~0u);
    os::WriteLog(32, 0, "too high", -1);
    os::WriteLog(-1, 0, "too low", -1);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(Log, SetLevelEnableSwitchesOneLevelAndSetEnabledLevelsTheWholeMask) {
    test::LogCapture capture(Bit(3));
    os::Log& log = os::Log::GetInstance();
    log.SetLevelEnable(2, true);
    EXPECT_EQ(log.GetEnabledLevels(), Bit(2) | Bit(3));
    log.SetLevelEnable(3, false);
    EXPECT_EQ(log.GetEnabledLevels(), Bit(2));
    EXPECT_TRUE(log.IsLevelEnable(2));
    EXPECT_FALSE(log.IsLevelEnable(3));
    log.SetEnabledLevels(Bit(0) | Bit(31));
    EXPECT_TRUE(log.IsLevelEnable(0));
    EXPECT_TRUE(log.IsLevelEnable(31));
    EXPECT_FALSE(log.IsLevelEnable(2));
}

TEST(Log, LevelLineIsWrittenOnlyWhileItsLevelIsEnabledWithExactlyTheGivenBytes) {
    test::LogCapture capture(Bit(2) | Bit(3));
    os::WriteLog(1, 0, "level one is off", -1);
    os::WriteLog(2, 0, "up to the NUL", -1);
    os::WriteLog(3, 0, "only this part, not the rest", 14);
    os::WriteLog(3, 0, "a\0b", 3);
    os::WriteLog(3, 0, "", 0);
    os::WriteLog(3, 0, nullptr, 5);
    os::Log::GetInstance().SetLevelEnable(2, false);
    os::WriteLog(2, 0, "level two is off now", -1);

    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].kind, os::LogKind::Line);
    EXPECT_EQ(records[0].level, 2);
    EXPECT_EQ(records[0].text, "up to the NUL");
    EXPECT_EQ(records[1].level, 3);
    EXPECT_EQ(records[1].text, "only this part");
    EXPECT_EQ(records[2].text, std::string("a\0b", 3));
    EXPECT_EQ(records[3].text, "");
}

TEST(Log, LinesWithoutALevelAreWrittenEvenWithEveryLevelDisabled) {
    test::LogCapture capture(0);
    os::WriteLog("plain from char pointer");
    os::WriteLog(std::string("plain from string"));
    os::WriteLog(static_cast<const char*>(nullptr));
    os::DebugLog("caught: bad format");
    os::DebugLog(nullptr);

    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].kind, os::LogKind::Plain);
    EXPECT_EQ(records[0].level, -1);
    EXPECT_EQ(records[0].text, "plain from char pointer");
    EXPECT_EQ(records[1].kind, os::LogKind::Plain);
    EXPECT_EQ(records[1].text, "plain from string");
    EXPECT_EQ(records[2].kind, os::LogKind::Debug);
    EXPECT_EQ(records[2].level, -1);
    EXPECT_EQ(records[2].text, "caught: bad format");
}

// Not inlined, so that it has a frame of its own in the stack.
[[gnu::noinline]] void FunctionThatShowsTheCallStack() {
    os::ShowCallStack();
    asm volatile("");  // keeps the call from becoming a tail call
}

TEST(Log, ShowCallStackWritesTheCallersStackAsOneRecord) {
    test::LogCapture capture(0);
    FunctionThatShowsTheCallStack();
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, os::LogKind::CallStack);
    const std::string& text = records[0].text;
    ASSERT_NE(text.find("0#"), std::string::npos) << text;
    // Tests are built with debug information, so frames carry function names; the
    // innermost frame is the caller, not the log's own machinery.
    const auto frame0 = text.find("0#");
    const auto firstFrame = text.substr(frame0, text.find('\n', frame0) - frame0);
    EXPECT_NE(firstFrame.find("FunctionThatShowsTheCallStack"), std::string::npos) << text;
    EXPECT_NE(text.find("ShowCallStackWritesTheCallersStackAsOneRecord"), std::string::npos)
        << text;
}

// Shows the call stack, then gives Boost.Stacktrace's text of the same stack as seen right
// after (frame 0, this function, at another line; the callers the same).
[[gnu::noinline]] std::string ShowTheCallStackAndTellBoostsText() {
    os::ShowCallStack();
    std::string boostText = boost::stacktrace::to_string(boost::stacktrace::stacktrace());
    asm volatile("");
    return boostText;
}

// The text after the first frame's line.
std::string CallersOf(const std::string& stackText) {
    const auto frame1 = stackText.find("\n 1# ");
    return frame1 == std::string::npos ? std::string() : stackText.substr(frame1);
}

// A check that fails again and again shows the same stack each time: it comes from the cache
// of symbolised frames then, and must be byte for byte what symbolising it gives.
TEST(HostileLog, RepeatedCallStackIsTheTextBoostStacktraceGivesForIt) {
    test::LogCapture capture(0);
    std::vector<std::string> boostTexts;
    for (int i = 0; i < 3; ++i) {
        boostTexts.push_back(ShowTheCallStackAndTellBoostsText());
    }
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const std::string& text = records[i].text;
        ASSERT_EQ(text.rfind("call stack:\n 0# ", 0), 0u) << text;
        EXPECT_EQ(text, records[0].text) << "shown " << i + 1 << " times";
        ASSERT_NE(CallersOf(text), "") << text;
        EXPECT_EQ(CallersOf(text), CallersOf(boostTexts[i]));
        const auto frame0 = text.substr(0, text.find('\n', 12));
        EXPECT_NE(frame0.find("ShowTheCallStackAndTellBoostsText"), std::string::npos) << text;
    }
}

class CountingSink : public os::ILogSink {
public:
    void Write(const os::LogRecord&) override { ++count; }
    int count = 0;
};

TEST(Log, SetSinkReturnsThePreviousSinkAndRestoringItStopsDelivery) {
    CountingSink first;
    CountingSink second;
    os::ILogSink* original = os::Log::GetInstance().SetSink(&first);
    os::WriteLog("to first");
    EXPECT_EQ(os::Log::GetInstance().SetSink(&second), &first);
    os::WriteLog("to second");
    EXPECT_EQ(os::Log::GetInstance().SetSink(original), &second);
    os::WriteLog("sink test: to the original output");
    EXPECT_EQ(first.count, 1);
    EXPECT_EQ(second.count, 1);
}

// ---------------------------------------------------------------------------------------
// The environment, read at first use: each case runs the probe in a fresh process.

struct ProbeResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class LogEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info->name();
        std::replace(name.begin(), name.end(), '/', '_');  // a parameterised case's name
        directory = std::filesystem::temp_directory_path() /
                    ("plinth_log_" + name + "_" + std::to_string(getpid()));
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory);
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    // Runs the probe with this process's PLINTH_* log and timer settings removed and `env`
    // added.
    ProbeResult RunProbe(const std::string& args,
                         const std::vector<std::pair<std::string, std::string>>& env) {
        // Killed if it outlives a minute, so that a hang fails the test instead of stalling it.
        std::string command =
            "timeout -s KILL 60 env -u PLINTH_LOG_LEVEL -u PLINTH_LOG_FILE -u PLINTH_TIMER_SCALE";
        for (const auto& [name, value] : env) {
            command += " " + name + "='" + value + "'";
        }
        const auto outPath = directory / "stdout";
        const auto errPath = directory / "stderr";
        command += std::string(" " PLINTH_LOG_PROBE_PATH " ") + args + " >" + outPath.string() +
                   " 2>" + errPath.string();
        const int status = std::system(command.c_str());
        return ProbeResult{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(outPath),
                           ReadFile(errPath)};
    }

    std::filesystem::path directory;
};

TEST_F(LogEnvironment, WithoutPlinthLogLevelLevelsThreeAndAboveAreEnabled) {
    const ProbeResult result = RunProbe("levels", {});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "fffffff8\nfffffff8\n");
    EXPECT_EQ(result.err.find("line at level 2"), std::string::npos) << result.err;
    for (const char* text :
         {"line at level 3", "line at level 4", "line at level 5", "plain line"}) {
        EXPECT_NE(result.err.find(text), std::string::npos) << text << "\n" << result.err;
    }
}

TEST_F(LogEnvironment, PlinthLogLevelEnablesThatLevelAndAboveOnceAtFirstUse) {
    const ProbeResult result = RunProbe("levels", {{"PLINTH_LOG_LEVEL", "1"}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    // The second mask is read after the probe set PLINTH_LOG_LEVEL=0: unchanged.
    EXPECT_EQ(result.out, "fffffffe\nfffffffe\n");
    EXPECT_EQ(result.err.find("line at level 0"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("line at level 1"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("line at level 2"), std::string::npos) << result.err;
}

// A value that is not a number within its bounds: one warning line naming the variable and
// the value, and the default in its place. An infinite, huge or tiny timer scale would make
// every due time fall in the past, and every timer fire at once.
struct BadSetting {
    const char* variable;
    const char* value;
};

void PrintTo(const BadSetting& bad, std::ostream* out) {
    *out << bad.variable << "=" << bad.value;
}

class HostileEnvironment : public LogEnvironment,
                           public ::testing::WithParamInterface<BadSetting> {};

TEST_P(HostileEnvironment, ValueIsRefusedWithOneWarningLineAndTheDefaultIsUsed) {
    const BadSetting bad = GetParam();
    const bool timer = std::string(bad.variable) == "PLINTH_TIMER_SCALE";
    const ProbeResult result = RunProbe(timer ? "timer" : "levels", {{bad.variable, bad.value}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, timer ? "1 due in 5 s\n" : "fffffff8\nfffffff8\n");
    std::vector<std::string> warnings;
    for (const std::string& line : SplitLines(result.err)) {
        if (line.find("warning") != std::string::npos) {
            warnings.push_back(line);
        }
    }
    ASSERT_EQ(warnings.size(), 1u) << result.err;
    EXPECT_NE(warnings[0].find(std::string(bad.variable) + "=\"" + bad.value + "\""),
              std::string::npos)
        << warnings[0];
}

INSTANTIATE_TEST_SUITE_P(
    BadValues, HostileEnvironment,
    ::testing::Values(
        BadSetting{"PLINTH_LOG_LEVEL", "two"}, BadSetting{"PLINTH_LOG_LEVEL", "3x"},
        BadSetting{"PLINTH_LOG_LEVEL", "-1"}, BadSetting{"PLINTH_LOG_LEVEL", "32"},
        BadSetting{"PLINTH_LOG_LEVEL", "99999999999999999999"},
        BadSetting{"PLINTH_TIMER_SCALE", "abc"}, BadSetting{"PLINTH_TIMER_SCALE", "0"},
        BadSetting{"PLINTH_TIMER_SCALE", "-1"}, BadSetting{"PLINTH_TIMER_SCALE", "inf"},
        BadSetting{"PLINTH_TIMER_SCALE", "1e300"}, BadSetting{"PLINTH_TIMER_SCALE", "nan"},
        BadSetting{"PLINTH_TIMER_SCALE", "1e-300"}, BadSetting{"PLINTH_TIMER_SCALE", "0.5x"}));

TEST_F(LogEnvironment, TimerScaleWithinItsBoundsIsTakenWithoutAWarning) {
    for (const char* value : {"0.001", "0.01", "1000"}) {
        const ProbeResult result = RunProbe("timer", {{"PLINTH_TIMER_SCALE", value}});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, std::string(value) + " due in 5 s\n");
        EXPECT_EQ(result.err, "") << value;
    }
}

TEST_F(LogEnvironment, PlinthLogFileGetsTheSameLinesDecoratedWithTimeLevelAndThread) {
    const auto file = directory / "client.log";
    const ProbeResult result = RunProbe("levels", {{"PLINTH_LOG_FILE", file.string()}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto lines = SplitLines(ReadFile(file));
    ASSERT_EQ(lines.size(), 4u) << ReadFile(file);
    const std::regex decorated(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(L\d+|--)\] \[T\d+\] (.*))");
    const char* expected[] = {"line at level 3", "line at level 4", "line at level 5",
                              "plain line"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, decorated)) << lines[i];
        EXPECT_EQ(match[2].str(), expected[i]);
    }
    EXPECT_NE(lines[0].find("[L3]"), std::string::npos) << lines[0];
    // Standard error carries the same lines.
    EXPECT_EQ(result.err, ReadFile(file));
}

// logrotate renames the file, or a person deletes it: the next line goes to a new file under
// the name, not to the renamed one for ever or to a deleted one that holds its disk space.
TEST_F(LogEnvironment, PlinthLogFileRenamedOrDeletedIsOpenedAnewAtTheNextLine) {
    const auto file = directory / "rotated.log";
    const ProbeResult result = RunProbe("rotate", {{"PLINTH_LOG_FILE", file.string()}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto renamed = SplitLines(ReadFile(file.string() + ".1"));
    ASSERT_EQ(renamed.size(), 1u);
    EXPECT_NE(renamed[0].find("first"), std::string::npos) << renamed[0];
    const auto current = SplitLines(ReadFile(file));
    ASSERT_EQ(current.size(), 1u) << "the line after the rename went to the file made anew, "
                                     "which was deleted before the last one";
    EXPECT_NE(current[0].find("third"), std::string::npos) << current[0];
}

TEST_F(LogEnvironment, UnopenablePlinthLogFileIsReportedAndStandardErrorStillGetsTheLines) {
    const auto file = directory / "no-such-directory" / "client.log";
    const ProbeResult result = RunProbe("levels", {{"PLINTH_LOG_FILE", file.string()}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find(file.string()), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("line at level 3"), std::string::npos) << result.err;
}

// A log file that cannot take the lines: a FIFO nobody reads (opening it for writing used to
// wait for a reader for ever, deaf to SIGTERM), a folder, a device that is always full. The
// program goes on, standard error gets every line, and one error line names the file.
class HostileLogFile : public LogEnvironment, public ::testing::WithParamInterface<const char*> {};

TEST_P(HostileLogFile, ProgramGoesOnWithEveryLineOnStandardErrorAndOneErrorLine) {
    std::string path = GetParam();
    if (path == "fifo") {
        path = (directory / "fifo").string();
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    } else if (path == "folder") {
        path = directory.string();
    }
    const ProbeResult result = RunProbe("levels", {{"PLINTH_LOG_FILE", path}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    for (const char* text :
         {"line at level 3", "line at level 4", "line at level 5", "plain line"}) {
        EXPECT_NE(result.err.find(text), std::string::npos) << text << "\n" << result.err;
    }
    std::vector<std::string> errors;
    for (const std::string& line : SplitLines(result.err)) {
        if (line.rfind("os::Log error : ", 0) == 0) {
            errors.push_back(line);
        }
    }
    ASSERT_EQ(errors.size(), 1u) << result.err;
    EXPECT_NE(errors[0].find("PLINTH_LOG_FILE " + path + " : "), std::string::npos) << errors[0];
}

INSTANTIATE_TEST_SUITE_P(Unwritable, HostileLogFile,
                         ::testing::Values("fifo", "folder", "/dev/full"));

// Threads in the probe: named so that the thread sanitizer run picks it up.
using LogFileThreads = LogEnvironment;

TEST_F(LogFileThreads, LinesWrittenFromSeveralThreadsNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kLines = 250;
    const auto file = directory / "threads.log";
    const ProbeResult result =
        RunProbe("threads " + std::to_string(kThreads) + " " + std::to_string(kLines),
                 {{"PLINTH_LOG_FILE", file.string()}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto lines = SplitLines(ReadFile(file));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    const std::regex decorated(R"(.* \[L3\] \[T\d+\] T(\d) (\d+) ([a-z]+))");
    std::vector<int> nextSeq(kThreads, 0);
    for (const auto& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, decorated)) << line;
        const int thread = std::stoi(match[1].str());
        ASSERT_LT(thread, kThreads);
        EXPECT_EQ(std::stoi(match[2].str()), nextSeq[thread]++) << line;
        EXPECT_EQ(match[3].str(), std::string(200, static_cast<char>('a' + thread))) << line;
    }
}

}  // namespace
