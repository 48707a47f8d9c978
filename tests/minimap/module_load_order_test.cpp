// What loading the module does, in order, seen from a process that loads it exactly once:
// the random generator is seeded four times before the display texts are looked up.
//
// This program defines srand itself and exports it, so the module's calls bind to it; each call
// is recorded in one sequence with the log lines that the string table's reads write (the
// packed archive holds neither table, so each of the two writes its load failure). The order
// must not depend on the order in which the module's objects were linked.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "plinth/Log.h"
#include "satchel/ZipPack.h"
#include "support/Scoped.h"
#include "support/SharedLibrary.h"

namespace {

std::mutex eventsMutex;
std::vector<std::string> events;

void Record(std::string event) {
    std::lock_guard<std::mutex> guard(eventsMutex);
    events.push_back(std::move(event));
}

class RecordingSink : public os::ILogSink {
public:
    void Write(const os::LogRecord& record) override {
        if (record.kind == os::LogKind::Line) {
            Record("log: " + std::string(record.text));
        }
    }
};

}  // namespace

// Default visibility: the tree builds with hidden symbols, and a hidden one cannot be exported.
extern "C" __attribute__((visibility("default"))) void srand(unsigned /*seed*/) noexcept {
    Record("srand");
}

TEST(HostileModuleLoadOrder, RandomGeneratorIsSeededFourTimesBeforeTheDisplayTextsAreRead) {
    test::TempDir folder;
    const std::string archive = (folder / "other.zip").string();
    std::string error;
    ASSERT_TRUE(satchel::WriteZipArchive(archive, {{"config/readme.txt", "no tables here"}}, error))
        << error;
    const test::ScopedEnv archivePath("SATCHEL_ARCHIVE", archive.c_str());
    const test::ScopedEnv archiveMode("SATCHEL_MODE", "archive");
    RecordingSink sink;
    os::ILogSink* previous = os::Log::GetInstance().SetSink(&sink);
    {
        test::SharedLibrary module(PYR_MINIMAP_LIBRARY);
        ASSERT_TRUE(module.IsLoaded()) << module.Error();
    }
    os::Log::GetInstance().SetSink(previous);

    std::lock_guard<std::mutex> guard(eventsMutex);
    ASSERT_GE(events.size(), 6u) << ::testing::PrintToString(events);
    const std::vector<std::string> seeds(events.begin(), events.begin() + 4);
    EXPECT_EQ(seeds, std::vector<std::string>(4, "srand")) << ::testing::PrintToString(events);
    // Both tables were read (and failed), each after the seeding.
    std::size_t tableReads = 0;
    for (std::size_t i = 4; i < events.size(); ++i) {
        EXPECT_NE(events[i], "srand") << ::testing::PrintToString(events);
        tableReads += events[i].find("LoadFile() error : load ") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(tableReads, 2u) << ::testing::PrintToString(events);
}
