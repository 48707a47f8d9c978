// Hostile string tables: nesting and attributes beyond what TinyXML survives, refused before it
// parses them, whichever way the text arrives and on whatever stack the read runs.
#include "text/XmlLimits.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TextTesting.h"
#include "support/HostileFiles.h"
#include "support/LogCapture.h"
#include "text/StringTable.h"
#include "text/XmlDocument.h"

namespace {

using text_test::RecordingArchive;
using text_test::ScopedEnv;
using text_test::TempDir;

// Runs `work` on a thread of its own with a stack of `stackBytes`, and waits for it.
void RunOnStack(std::size_t stackBytes, const std::function<void()>& work) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, stackBytes), 0);
    pthread_t thread;
    auto* job = new std::function<void()>(work);
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* arg) -> void* {
                      std::unique_ptr<std::function<void()>> owned(
                          static_cast<std::function<void()>*>(arg));
                      (*owned)();
                      return nullptr;
                  },
                  job),
              0);
    pthread_attr_destroy(&attributes);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

// 64 KiB, a small thread stack; the sanitizers' frames are several times larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kSmallStack = 256 * 1024;
#else
constexpr std::size_t kSmallStack = 64 * 1024;
#endif

enum class Route { kMemory, kFile, kArchive };
enum class Stack { kMain, kSmall };

struct Case {
    Route route;
    Stack stack;
};

std::string Name(const ::testing::TestParamInfo<Case>& info) {
    const char* route = info.param.route == Route::kMemory ? "Memory"
                        : info.param.route == Route::kFile ? "File"
                                                           : "Archive";
    return std::string(route) +
           (info.param.stack == Stack::kMain ? "OnTheMainThread" : "OnASmallStack");
}

// A table read through the route and on the stack of the case: memory through
// XmlDocument::LoadFromMemory, a file and an archive member through StringTable::LoadTable.
class HostileXml : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { archive.SetLoadFromMpq(GetParam().route == Route::kArchive); }

    struct Result {
        bool loaded = false;
        std::string metal = "(not read)";
        int errorId = -1;
        std::vector<std::string> lines;
    };

    Result Read(const std::string& xml) {
        Result result;
        const auto work = [&] {
            test::LogCapture log;
            switch (GetParam().route) {
                case Route::kMemory: {
                    XmlDocument document;
                    result.loaded =
                        document.LoadFromMemory(xml.data(), static_cast<int>(xml.size()));
                    result.errorId = document.ErrorId();
                    break;
                }
                case Route::kFile:
                case Route::kArchive: {
                    if (GetParam().route == Route::kFile) {
                        text_test::WriteTable(config.Path(), "common", xml);
                    } else {
                        archive.Serve("config/StringTable/common.xml", xml);
                    }
                    StringTable table;
                    result.loaded = table.LoadTable("common");
                    result.metal = table.GetString("common", "FiveElements_Metal");
                    break;
                }
            }
            result.lines = log.Lines();
        };
        if (GetParam().stack == Stack::kMain) {
            work();
        } else {
            RunOnStack(kSmallStack, work);
        }
        return result;
    }

    // The refusal line names the file (or the document) and what was exceeded.
    void ExpectRefused(const Result& result, const std::string& what) {
        EXPECT_FALSE(result.loaded);
        ASSERT_EQ(result.lines.size(), 1U);
        const std::string& line = result.lines[0];
        if (GetParam().route == Route::kMemory) {
            EXPECT_EQ(result.errorId, TiXmlBase::TIXML_ERROR);
            EXPECT_EQ(line.rfind("TiXmlDocument::Parse() error : document refused: " + what, 0), 0U)
                << line;
        } else {
            EXPECT_EQ(result.metal, "") << "a refused table stays empty";
            EXPECT_NE(line.find("TiXmlDocument::LoadFile() error : load "), std::string::npos)
                << line;
            EXPECT_NE(line.find("config/StringTable/common.xml refused: " + what),
                      std::string::npos)
                << line;
        }
    }

    RecordingArchive archive;
    TempDir config;
    ScopedEnv configDir{"PLINTH_CONFIG_DIR", config.Path().c_str()};
};

TEST_P(HostileXml, SixtyThousandLevelsOfNestingAreRefusedBeforeTheParserRecurses) {
    ExpectRefused(Read(test::DeepTable(60000)), "elements nested deeper than 64 levels (line 1)");
}

TEST_P(HostileXml, NestingUpToTheLimitIsReadAndOneLevelMoreIsRefused) {
    // The nested elements begin at the second level, under the root.
    const Result atLimit = Read(test::DeepTable(xml_limits::kMaxDepth - 1));
    EXPECT_TRUE(atLimit.loaded);
    EXPECT_TRUE(atLimit.lines.empty());
    if (GetParam().route != Route::kMemory) {
        EXPECT_EQ(atLimit.metal, "x");
    }
    ExpectRefused(Read(test::DeepTable(xml_limits::kMaxDepth)),
                  "elements nested deeper than 64 levels");
}

TEST_P(HostileXml, TwoHundredThousandAttributesAreRefusedAndTheLimitIsRead) {
    ExpectRefused(Read(test::AttributeTable(200000)), "an element with more than 64 attributes");
    const Result atLimit = Read(test::AttributeTable(xml_limits::kMaxAttributes));
    EXPECT_TRUE(atLimit.loaded);
    ExpectRefused(Read(test::AttributeTable(xml_limits::kMaxAttributes + 1)),
                  "an element with more than 64 attributes");
}

INSTANTIATE_TEST_SUITE_P(
    Routes, HostileXml,
    ::testing::Values(Case{Route::kMemory, Stack::kMain}, Case{Route::kMemory, Stack::kSmall},
                      Case{Route::kFile, Stack::kMain}, Case{Route::kFile, Stack::kSmall},
                      Case{Route::kArchive, Stack::kMain}, Case{Route::kArchive, Stack::kSmall}),
    Name);

// Nesting that a reader which does not read exactly as TinyXML does would miss, and markup
// that only looks nested. Each text is repeated 100 times inside a root.
struct Disguise {
    const char* name;
    const char* prefix;  // before the root
    const char* repeated;
    bool nested;  // what TinyXML makes of it
};

class HostileXmlDisguise : public ::testing::TestWithParam<Disguise> {};

// The elements of a parsed tree, `node` included when it is one.
std::size_t CountElements(const TiXmlNode& node) {
    std::size_t count = node.ToElement() != nullptr ? 1 : 0;
    for (const TiXmlNode* child = node.FirstChild(); child != nullptr;
         child = child->NextSibling()) {
        count += CountElements(*child);
    }
    return count;
}

TEST_P(HostileXmlDisguise, NestingIsCountedAsTheParserReadsIt) {
    std::string xml = std::string(GetParam().prefix) + "<r>";
    for (int i = 0; i < 100; ++i) {
        xml += GetParam().repeated;
    }
    xml += "</r>";
    std::vector<char> buffer(xml.begin(), xml.end());
    buffer.resize(xml.size() + 4, '\0');
    const xml_limits::Check check =
        xml_limits::CheckXmlLimits(buffer.data(), TIXML_ENCODING_UNKNOWN);
    EXPECT_EQ(check.breach == xml_limits::Breach::kDepth, GetParam().nested)
        << "deepest " << check.maxDepth;
    if (!GetParam().nested) {
        // What is accepted, TinyXML parses as shallow as the walk said.
        XmlDocument document;
        test::LogCapture log;
        EXPECT_EQ(document.LoadFromMemory(xml.data(), static_cast<int>(xml.size())),
                  check.complete);
        EXPECT_TRUE(log.Lines().empty());
        // The element count a reader reserves by is the parsed tree's, markup in comments and
        // CDATA sections left out; nothing of a document that failed.
        EXPECT_EQ(document.ParsedElementCount(), check.complete ? CountElements(document) : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HostileXmlDisguise,
    ::testing::Values(
        // In UTF-8 (a byte-order mark) a three-byte lead swallows the "</" after it...
        Disguise{"LeadByteSwallowsTheEndTagInUtf8", "\xEF\xBB\xBF", "<a>\xE5</a>", true},
        // ...while without one every byte stands alone.
        Disguise{"LeadByteIsOneByteWithoutAnEncoding", "", "<a>\xE5</a>", false},
        Disguise{"DeclaredUtf8", "<?xml version=\"1.0\" encoding=\"utf-8\"?>", "<a>\xE5</a>", true},
        Disguise{"DeclaredLegacy", "<?xml version=\"1.0\" encoding=\"GBK\"?>", "<a>\xE5</a>",
                 false},
        // A numeric entity runs to its ';' and checks its digits only back to the 'x'.
        Disguise{"NumericEntitySwallowsTheEndTag", "", "<a>&#x</a>x;", true},
        Disguise{"EndOfEmptyTagInsideAQuotedValue", "", "<a v=\"/>\">", true},
        Disguise{"ElementsInsideAComment", "", "<!--<a><a>-->", false},
        Disguise{"ElementsInsideCdata", "", "<![CDATA[<a><a>]]>", false},
        Disguise{"ClosedElements", "", "<a v='>'>t</a><b/>", false}),
    [](const ::testing::TestParamInfo<Disguise>& info) { return info.param.name; });

// Elements after the root are parsed too, however little the table uses them.
TEST(HostileXmlAfterTheRoot, NestingAfterTheRootIsRefused) {
    std::string xml = "<r><k>v</k></r>";
    for (int i = 0; i < 1000; ++i) {
        xml += "<a>";
    }
    test::LogCapture log;
    XmlDocument document;
    EXPECT_FALSE(document.LoadFromMemory(xml.data(), static_cast<int>(xml.size())));
    EXPECT_EQ(document.ErrorId(), TiXmlBase::TIXML_ERROR);
}

}  // namespace
