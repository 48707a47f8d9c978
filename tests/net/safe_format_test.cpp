#include <atomic>
#include <cstdlib>
#include <locale>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/format.hpp>

#include "net/LogFormat.h"
#include "net/SafeFormat.h"
#include "support/LogCapture.h"

// Every allocation of the test process is counted, so a test can show that a path allocates
// nothing. The replacement forwards to malloc and free and changes nothing else. The deletes
// are kept out of line: inlined next to a new expression, g++ takes the free() for a mismatch.
namespace {
std::atomic<std::size_t> allocationCount{0};
}  // namespace

void* operator new(std::size_t size) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using os::LogKind;

constexpr std::uint32_t kOnlyLevel2 = 1u << 2;

const std::string kTooFewArgs = boost::io::too_few_args(1, 2).what();
const std::string kTooManyArgs = boost::io::too_many_args(2, 1).what();
const std::string kBadFormat = boost::io::bad_format_string(5, 5).what();

/// The records as (kind, level, text) for whole-sequence comparisons.
struct Rec {
    LogKind kind;
    int level;
    std::string text;
    friend bool operator==(const Rec&, const Rec&) = default;
};

std::ostream& operator<<(std::ostream& out, const Rec& r) {
    return out << "{" << static_cast<int>(r.kind) << ", " << r.level << ", \"" << r.text << "\"}";
}

/// The records with call-stack texts blanked: their content is the core library's business.
std::vector<Rec> Records(const test::LogCapture& capture) {
    std::vector<Rec> out;
    for (const auto& r : capture.Records()) {
        out.push_back(Rec{r.kind, r.level, r.kind == LogKind::CallStack ? "" : r.text});
    }
    return out;
}

Rec Line(int level, std::string text) {
    return Rec{LogKind::Line, level, std::move(text)};
}
Rec Plain(std::string text) {
    return Rec{LogKind::Plain, -1, std::move(text)};
}
Rec Stack() {
    return Rec{LogKind::CallStack, -1, ""};
}

/// Converts to a text only by throwing, so the failure happens outside SafeFormat's guards.
struct ThrowsOnConversion {
    operator std::string() const {  // NOLINT(google-explicit-constructor)
        throw std::runtime_error("conversion to text failed");
    }
};

/// A global locale that groups thousands with ',' for the scope of a test.
class GroupingGlobalLocale {
public:
    GroupingGlobalLocale()
        : previous(std::locale::global(std::locale(std::locale::classic(), new Grouping))) {}
    ~GroupingGlobalLocale() { std::locale::global(previous); }

private:
    struct Grouping : std::numpunct<char> {
        char do_thousands_sep() const override { return ','; }
        std::string do_grouping() const override { return "\3"; }
    };
    std::locale previous;
};

TEST(LogFormatted, DisabledLevelFormatsNothingWritesNothingAndAllocatesNothing) {
    test::LogCapture capture(kOnlyLevel2);
    const std::string name = "a name long enough to defeat the small-string buffer";

    const std::size_t before = allocationCount.load();
    LogFormatted(3, "%s() error : load %s fail", "TiXmlDocument::LoadFile", name);
    LogFormatted(3, "malformed %", "x");  // would report a fault if it were parsed
    LogFormatted(3, "%s %s", static_cast<const char*>(nullptr));
    LogText(3, "IPluginContainer::RegisterChildContainer() error : cpc==NULL");
    const std::size_t after = allocationCount.load();

    EXPECT_EQ(after - before, 0u);
    EXPECT_TRUE(capture.Records().empty());
}

TEST(LogFormatted, LoadFailureLineCarriesBothValuesAtItsLevel) {
    test::LogCapture capture;
    LogFormatted(3, "%s() error : load %s fail", "TiXmlDocument::LoadFile", "common.xml");
    LogFormatted(2, "start %s %s :: DoParentStart()", std::string("host"), std::string("Host"));
    EXPECT_EQ(Records(capture),
              (std::vector<Rec>{Line(3, "TiXmlDocument::LoadFile() error : load common.xml fail"),
                                Line(2, "start host Host :: DoParentStart()")}));
}

TEST(LogFormatted, NullArgumentReportsTooFewArgsWithCallStackThenWritesAnEmptyLine) {
    test::LogCapture capture;
    const char* name = nullptr;
    LogFormatted(3, "%s() error : load %s fail", "TiXmlDocument::LoadFile", name);
    EXPECT_EQ(Records(capture), (std::vector<Rec>{Plain(kTooFewArgs), Stack(), Line(3, "")}));
}

TEST(LogFormatted, LoneTrailingPercentReportsTheMalformedFormatAndStillWritesALine) {
    test::LogCapture capture;
    LogFormatted(3, "progress 100%");
    EXPECT_EQ(Records(capture), (std::vector<Rec>{Plain(kBadFormat), Stack(), Line(3, "")}));
}

TEST(LogFormatted, UnsignedShortArgumentsPrintAsDecimalNumbers) {
    test::LogCapture capture;
    const unsigned short id = 3;
    const unsigned short size = 84;
    LogFormatted(3, "VerifyChunk() error : class=%s ChunkID==%d ChunkSize=%d", "NetMsg", id, size);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{
                                   "VerifyChunk() error : class=NetMsg ChunkID==3 ChunkSize=84"});
}

TEST(LogFormatted, ExceptionOutsideTheFormatStepsGoesToTheDebugLog) {
    test::LogCapture capture;
    LogFormatted(3, "%s", ThrowsOnConversion{});
    EXPECT_EQ(Records(capture),
              (std::vector<Rec>{Rec{LogKind::Debug, -1, "conversion to text failed"}}));
}

TEST(LogText, WritesTheTextVerbatimAtItsLevelAndNullWritesNothing) {
    test::LogCapture capture;
    LogText(3, nullptr);
    LogFormatted(3, nullptr, "x");
    LogText(3, "IPluginContainer::RegisterChildContainer() error : cpc==NULL");
    LogText(3, "100% %s unformatted");
    EXPECT_EQ(
        Records(capture),
        (std::vector<Rec>{Line(3, "IPluginContainer::RegisterChildContainer() error : cpc==NULL"),
                          Line(3, "100% %s unformatted")}));
}

TEST(FormatText, NullFormatGivesNullStringWithoutAReportAndSafeFormatAnEmptyText) {
    test::LogCapture capture;
    EXPECT_EQ(FormatText(nullptr), "NullString");
    EXPECT_EQ(FormatText(nullptr, "a", "b"), "NullString");
    EXPECT_EQ(SafeFormat(nullptr).str(), "");
    EXPECT_TRUE(capture.Records().empty());
}

TEST(FormatText, FormatsTextsAndNumbersInOrder) {
    test::LogCapture capture;
    EXPECT_EQ(FormatText("[%s]:[%s]QuerySiblingContainer()[%s]", "A", std::string("B"), "C"),
              "[A]:[B]QuerySiblingContainer()[C]");
    EXPECT_EQ(FormatText("%d %d %d %d", -7, 7u, -9000000000LL, 18000000000ULL),
              "-7 7 -9000000000 18000000000");
    EXPECT_TRUE(capture.Records().empty());
}

TEST(FormatText, EscapingExceptionGivesItsText) {
    test::LogCapture capture;
    EXPECT_EQ(FormatText("%s", ThrowsOnConversion{}), "conversion to text failed");
}

TEST(SafeFormat, NullTextArgumentIsSkippedNotFed) {
    test::LogCapture capture;
    EXPECT_EQ(FormatText("%s-%s", "a", static_cast<const char*>(nullptr), "b"), "a-b");
    EXPECT_TRUE(capture.Records().empty());
}

// A format fed arguments that do not fit it: the text each of `reads` reads of str() gives,
// and the faults reported meanwhile, each with its call stack.
struct Misfit {
    const char* name;
    const char* format;
    void (*feed)(SafeFormat&);
    int reads;
    std::string text;
    std::vector<std::string> faults;
};

void PrintTo(const Misfit& m, std::ostream* os) {
    *os << m.name;
}

class SafeFormatMisfit : public ::testing::TestWithParam<Misfit> {};

TEST_P(SafeFormatMisfit, IsReportedAndGivesItsText) {
    const Misfit& m = GetParam();
    test::LogCapture capture;
    SafeFormat format(m.format);
    m.feed(format);
    for (int i = 0; i < m.reads; ++i) {
        EXPECT_EQ(format.str(), m.text);
    }
    std::vector<Rec> reports;
    for (const std::string& fault : m.faults) {
        reports.push_back(Plain(fault));
        reports.push_back(Stack());
    }
    EXPECT_EQ(Records(capture), reports);
}

INSTANTIATE_TEST_SUITE_P(
    SafeFormat, SafeFormatMisfit,
    ::testing::Values(Misfit{"EachArgumentBeyondThePlaceholdersIsReportedAndTheRestStands",
                             "%s",
                             [](SafeFormat& f) { f % "a" % "b" % std::string("c"); },
                             1,
                             "a",
                             {kTooManyArgs, kTooManyArgs}},
                      Misfit{"MalformedFormatIsReportedOncePerFailingStepAndGivesAnEmptyText",
                             "abc %",
                             [](SafeFormat& f) { f % "x"; },
                             1,
                             "",
                             {kBadFormat, kTooManyArgs}},
                      Misfit{"TooFewArgumentsGiveAnEmptyTextAndAReportPerAttempt",
                             "%s and %s",
                             [](SafeFormat& f) { f % "one"; },
                             2,
                             "",
                             {kTooFewArgs, kTooFewArgs}}),
    [](const ::testing::TestParamInfo<Misfit>& info) { return std::string(info.param.name); });

TEST(SafeFormat, NumbersIgnoreAGroupingGlobalLocale) {
    GroupingGlobalLocale grouping;
    // The locale really groups: a stream or a format that follows the global locale shows it.
    std::ostringstream stream;
    stream << 64512;
    ASSERT_EQ(stream.str(), "64,512");
    ASSERT_EQ((boost::format("%d") % 64512).str(), "64,512");

    test::LogCapture capture;
    const unsigned short size = 64512;
    EXPECT_EQ(FormatText("%d", size), "64512");
    EXPECT_EQ(FormatText("%d %d %d", 1234567, 1234567890123LL, 4000000000u),
              "1234567 1234567890123 4000000000");
    LogFormatted(3, "ChunkSize=%d", size);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"ChunkSize=64512"});
}

}  // namespace
