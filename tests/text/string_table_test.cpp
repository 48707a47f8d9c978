#include "text/StringTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "AllocationFaults.h"
#include "TextTesting.h"
#include "function/Function.h"

namespace {

using text_test::RecordingArchive;
using text_test::ScopedEnv;
using text_test::TempDir;
using text_test::WriteTable;

// Counts the reads that lookups cause.
class CountingTable : public StringTable {
public:
    bool LoadTable(const std::string& tableName) override {
        ++loads;
        return StringTable::LoadTable(tableName);
    }
    std::atomic<int> loads{0};
};

// The size of one entry's map node: the one allocation that storing a short key and text (kept
// inside their strings) makes in a map with room for them.
std::size_t EntryNodeSize() {
    std::unordered_map<std::string, std::string> probe;
    probe.reserve(4);
    probe.emplace("k", "v");
    return text_test::LastAllocationSize();
}

// How many allocations of `size` a successful LoadTable of `tableName` into `table` makes.
int AllocationsOfLoad(StringTable& table, const std::string& tableName, std::size_t size) {
    text_test::WatchAllocations(size, 0);
    const bool loaded = table.LoadTable(tableName);
    const int count = text_test::WatchedAllocations();
    text_test::StopWatchingAllocations();
    EXPECT_TRUE(loaded);
    return count;
}

// Tables come from a fresh configuration directory; the test program's packed library says
// "no archive" unless a test turns archive mode on.
class StringTableTest : public ::testing::Test {
protected:
    void SetUp() override { archive.SetLoadFromMpq(false); }

    void Write(const std::string& table, const std::string& xml) {
        WriteTable(config.Path(), table, xml);
    }

    struct Lookup {
        const char* table;
        const char* key;
        const char* text;
    };

    // Writes `xml` as table "t" and expects every lookup, in order, of one StringTable.
    void ExpectLookups(const std::string& xml, std::initializer_list<Lookup> lookups) {
        Write("t", xml);
        StringTable table;
        for (const Lookup& lookup : lookups) {
            EXPECT_EQ(table.GetString(lookup.table, lookup.key), lookup.text)
                << lookup.table << "/" << lookup.key;
        }
    }

    TempDir config;
    ScopedEnv configDir{"PLINTH_CONFIG_DIR", config.Path().c_str()};
    RecordingArchive archive;
};

TEST_F(StringTableTest, ReadsTheConfigurationDirectorysFileWithoutTheArchive) {
    Write("common", "<common><Hello>world</Hello></common>");
    StringTable table;
    EXPECT_EQ(table.GetString("common", "Hello"), "world");
    EXPECT_EQ(archive.Loads(), 0);
}

TEST_F(StringTableTest, ReadsTheArchivePathWholeAndTouchesNoFileInArchiveMode) {
    Write("common", "<common><Hello>loose file</Hello></common>");
    archive.SetLoadFromMpq(true);
    archive.Serve("config/StringTable/common.xml", "<common><Hello>archived</Hello></common>");
    StringTable table;
    EXPECT_EQ(table.GetString("common", "Hello"), "archived");
    ASSERT_EQ(archive.Loads(), 1);
    EXPECT_EQ(archive.LoadCall(0), std::make_pair(std::string("config/StringTable/common.xml"), 2));
    EXPECT_EQ(archive.Outstanding(), 0);
}

TEST_F(StringTableTest, EntriesAreTheRootsChildElementsWithText) {
    // K with text, an empty L, M holding only an element, and K again: exactly K = z.
    ExpectLookups("<root><K>x</K><L/><M><N>y</N></M><K>z</K></root>",
                  {{"t", "K", "z"}, {"t", "L", ""}, {"t", "M", ""}, {"t", "N", ""}});
}

TEST_F(StringTableTest, DeclarationAndCommentMayPrecedeTheRootAndLaterTopLevelElementsAreIgnored) {
    ExpectLookups(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- texts -->\n"
        "<root><a>1</a></root>\n<more><b>2</b></more>\n",
        {{"t", "a", "1"}, {"t", "b", ""}});
}

TEST_F(StringTableTest, KeysAndTableNamesAreExactBytes) {
    ExpectLookups(
        "<root><Key>upper</Key><key>lower</key><sp> padded </sp></root>",
        {{"t", "Key", "upper"}, {"t", "key", "lower"}, {"t", "KEY", ""}, {"T", "Key", ""}});
}

TEST_F(StringTableTest, TwoLookupsReturnTheSameStoredText) {
    Write("t", "<root><a>1</a><b>2</b></root>");
    StringTable table;
    const std::string& first = table.GetString("t", "a");
    table.GetString("t", "b");
    EXPECT_EQ(&table.GetString("t", "a"), &first);
}

TEST_F(StringTableTest, MissingTextsShareOneEmptyText) {
    Write("t", "<root><a>1</a><empty></empty></root>");
    StringTable table;
    const std::string& missingKey = table.GetString("t", "nope");
    EXPECT_EQ(missingKey, "");
    EXPECT_EQ(&table.GetString("t", "empty"), &missingKey);
    EXPECT_EQ(&table.GetString("absent", "a"), &missingKey);
}

TEST_F(StringTableTest, MissingTableIsReadOnce) {
    CountingTable table;
    EXPECT_EQ(table.GetString("absent", "a"), "");
    EXPECT_EQ(table.GetString("absent", "b"), "");
    Write("absent", "<root><a>late</a></root>");
    EXPECT_EQ(table.GetString("absent", "a"), "");
    EXPECT_EQ(table.loads, 1);
}

TEST_F(StringTableTest, MalformedTableStoresNothingAndIsReadOnce) {
    Write("bad", "<root><a>1</a><b>2</root>");
    CountingTable table;
    EXPECT_EQ(table.GetString("bad", "a"), "");
    EXPECT_EQ(table.GetString("bad", "b"), "");
    EXPECT_EQ(table.loads, 1);
}

TEST_F(StringTableTest, TableWithoutAnyElementDoesNotLoad) {
    Write("bare", "<?xml version=\"1.0\"?><!-- nothing here -->");
    Write("blank", "");
    StringTable table;
    EXPECT_FALSE(table.LoadTable("bare"));
    EXPECT_FALSE(table.LoadTable("blank"));
}

TEST_F(StringTableTest, ReloadKeepsTheStorageOfUnchangedTextsAndKeepsVanishedKeys) {
    Write("t",
          "<root><same>kept text long enough to live on the heap</same><moved>1</moved>"
          "<gone>3</gone></root>");
    StringTable table;
    const char* same = table.GetString("t", "same").c_str();
    Write("t",
          "<root><same>kept text long enough to live on the heap</same><moved>2</moved>"
          "</root>");
    ASSERT_TRUE(table.LoadTable("t"));
    EXPECT_EQ(table.GetString("t", "same").c_str(), same);
    EXPECT_EQ(table.GetString("t", "moved"), "2");
    EXPECT_EQ(table.GetString("t", "gone"), "3");
}

TEST_F(StringTableTest, ReloadTakesTheLastOfRepeatedKeysAndAddsNewOnes) {
    Write("t", "<root><a>1</a><b>2</b></root>");
    StringTable table;
    ASSERT_EQ(table.GetString("t", "a"), "1");
    Write("t", "<root><b>x</b><c>3</c><b>2</b><c>4</c><a>1</a></root>");
    ASSERT_TRUE(table.LoadTable("t"));
    EXPECT_EQ(table.GetString("t", "a"), "1");
    EXPECT_EQ(table.GetString("t", "b"), "2");
    EXPECT_EQ(table.GetString("t", "c"), "4");
}

// The entries' map nodes are the last allocations of their size in a read: failing each in
// turn runs out of memory at every point of the fill.
TEST_F(StringTableTest, FirstReadThatRunsOutOfMemoryHalfWayLeavesTheTableEmpty) {
    Write("t", "<root><a>1</a><b>2</b><a>3</a><c>4</c></root>");
    constexpr int kEntries = 3;
    const std::size_t nodeSize = EntryNodeSize();
    StringTable probe;
    const int total = AllocationsOfLoad(probe, "t", nodeSize);
    ASSERT_GE(total, kEntries);
    for (int failing = total - kEntries + 1; failing <= total; ++failing) {
        SCOPED_TRACE(failing);
        StringTable table;
        text_test::WatchAllocations(nodeSize, failing);
        const bool loaded = table.LoadTable("t");
        text_test::StopWatchingAllocations();
        ASSERT_TRUE(text_test::WatchedAllocationFailed());
        EXPECT_FALSE(loaded);
        // The table stays present, and empty: it is not read again.
        for (const char* key : {"a", "b", "c"}) {
            EXPECT_EQ(table.GetString("t", key), "") << key;
        }
    }
}

TEST_F(StringTableTest, ReloadThatRunsOutOfMemoryHalfWayChangesNothing) {
    const std::string before =
        "<root><a>kept text long enough to live on the heap</a><b>old</b></root>";
    const std::string after =
        "<root><a>kept text long enough to live on the heap</a><b>new</b><c>added</c>"
        "<d>added too</d></root>";
    constexpr int kEntries = 4;
    const std::size_t nodeSize = EntryNodeSize();
    int total = 0;
    {
        Write("t", before);
        StringTable probe;
        ASSERT_TRUE(probe.LoadTable("t"));
        Write("t", after);
        total = AllocationsOfLoad(probe, "t", nodeSize);
    }
    ASSERT_GE(total, kEntries);
    for (int failing = total - kEntries + 1; failing <= total; ++failing) {
        SCOPED_TRACE(failing);
        Write("t", before);
        StringTable table;
        const char* kept = table.GetString("t", "a").c_str();
        Write("t", after);
        text_test::WatchAllocations(nodeSize, failing);
        const bool loaded = table.LoadTable("t");
        text_test::StopWatchingAllocations();
        ASSERT_TRUE(text_test::WatchedAllocationFailed());
        EXPECT_FALSE(loaded);
        EXPECT_EQ(table.GetString("t", "a").c_str(), kept);
        EXPECT_EQ(table.GetString("t", "b"), "old");
        EXPECT_EQ(table.GetString("t", "c"), "");
        EXPECT_EQ(table.GetString("t", "d"), "");

        ASSERT_TRUE(table.LoadTable("t"));
        EXPECT_EQ(table.GetString("t", "a").c_str(), kept);
        EXPECT_EQ(table.GetString("t", "b"), "new");
        EXPECT_EQ(table.GetString("t", "c"), "added");
        EXPECT_EQ(table.GetString("t", "d"), "added too");
    }
}

TEST_F(StringTableTest, CommonStringIsTheProcessWideCommonTable) {
    Write("common", "<common><Hello>world</Hello></common>");
    const std::string& common = GetCommonString("Hello");
    EXPECT_EQ(common, "world");
    EXPECT_EQ(&GetTableString("common", "Hello"), &common);
}

TEST(StringTableCreator, MakesANewTableEachCallAndCreatorsCompareEqual) {
    const os::Function<void*()> one{StringTableCreator()};
    const os::Function<void*()> two{StringTableCreator()};
    EXPECT_TRUE(one == two);

    auto* first = static_cast<StringTable*>(StringTableCreator()());
    auto* second = static_cast<StringTable*>(StringTableCreator()());
    EXPECT_NE(first, nullptr);
    EXPECT_NE(first, second);
    // The client never destroys a table; the test gives its two back the way they were made.
    for (StringTable* table : {first, second}) {
        std::destroy_at(table);
        ::operator delete(table);
    }
}

TEST(StringTableThreads, RacingFirstLookupsReadTheTableOnceAndAgreeOnTheText) {
    TempDir config;
    ScopedEnv configDir{"PLINTH_CONFIG_DIR", config.Path().c_str()};
    RecordingArchive archive;
    archive.SetLoadFromMpq(false);
    WriteTable(config.Path(), "t", "<root><a>shared</a></root>");

    CountingTable table;
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<const std::string*> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[static_cast<std::size_t>(i)] = &table.GetString("t", "a");
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(table.loads, 1);
    for (const std::string* text : seen) {
        EXPECT_EQ(text, seen.front());
        EXPECT_EQ(*text, "shared");
    }
}

}  // namespace
