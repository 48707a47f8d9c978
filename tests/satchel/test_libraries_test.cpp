// The test doubles that client tests put in place of the packed resource library: each must
// present exactly the face its name promises.
#include "SatchelTesting.h"
#include "satchel/SatchelRecording.h"

namespace satchel_test {
namespace {

TEST(SatchelTestLibraries, MissingFreeLacksOnlyFreeFileData) {
    LoadedLibrary library(SATCHEL_MISSING_FREE_LIBRARY);
    EXPECT_NE(library.isLoadFromMpq, nullptr);
    EXPECT_NE(library.gameResourcesInitialize, nullptr);
    EXPECT_NE(library.loadFileData, nullptr);
    EXPECT_EQ(library.freeFileData, nullptr);
    EXPECT_EQ(library.Get<CountFn>("SatchelMissingFreeCalls")(), 0);
}

TEST(SatchelTestLibraries, NoArchiveIsCompleteAndReportsLooseFiles) {
    LoadedLibrary library(SATCHEL_NO_ARCHIVE_LIBRARY);
    ASSERT_NE(library.freeFileData, nullptr);
    library.gameResourcesInitialize();
    EXPECT_FALSE(library.isLoadFromMpq());
    EXPECT_EQ(library.Get<CountFn>("SatchelNoArchiveInitializeCount")(), 1);
}

TEST(SatchelTestLibraries, RecordingServesItsFilesAndRecordsEveryCall) {
    LoadedLibrary library(SATCHEL_RECORDING_LIBRARY);
    library.Get<ResetFn>("SatchelRecordingReset")();
    const auto setFile = library.Get<SetFileFn>("SatchelRecordingSetFile");
    setFile("config/StringTable/common.xml", "<T/>", 4);
    setFile("empty.xml", "", 0);

    library.gameResourcesInitialize();
    EXPECT_TRUE(library.isLoadFromMpq());
    library.Get<SetLoadFromMpqFn>("SatchelRecordingSetLoadFromMpq")(false);
    EXPECT_FALSE(library.isLoadFromMpq());

    std::uint32_t size = 0;
    void* common = library.loadFileData("config/StringTable/common.xml", &size, 2);
    ASSERT_NE(common, nullptr);
    EXPECT_EQ(std::string(static_cast<char*>(common), size), "<T/>");
    void* empty = library.loadFileData("empty.xml", &size, 2);
    EXPECT_NE(empty, nullptr);
    EXPECT_EQ(size, 0U);
    EXPECT_EQ(library.loadFileData("missing.xml", &size, 7), nullptr);
    EXPECT_EQ(library.Get<CountFn>("SatchelRecordingOutstandingBuffers")(), 2);
    library.freeFileData(common);
    library.freeFileData(empty);
    library.freeFileData(empty);  // not counted twice

    EXPECT_EQ(library.Get<CountFn>("SatchelRecordingInitializeCount")(), 1);
    EXPECT_EQ(library.Get<CountFn>("SatchelRecordingIsLoadFromMpqCount")(), 2);
    EXPECT_EQ(library.Get<CountFn>("SatchelRecordingFreeCount")(), 2);
    EXPECT_EQ(library.Get<CountFn>("SatchelRecordingOutstandingBuffers")(), 0);
    ASSERT_EQ(library.Get<CountFn>("SatchelRecordingLoadCount")(), 3);
    const auto call = library.Get<LoadCallFn>("SatchelRecordingLoadCall");
    const char* name = nullptr;
    int mode = 0;
    ASSERT_TRUE(call(2, &name, &mode));
    EXPECT_STREQ(name, "missing.xml");
    EXPECT_EQ(mode, 7);
    EXPECT_FALSE(call(3, &name, &mode));
}

}  // namespace
}  // namespace satchel_test
