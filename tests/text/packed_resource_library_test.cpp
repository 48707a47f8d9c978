#include "text/PackedResourceLibrary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TextTesting.h"
#include "plinth/SharedLibrary.h"
#include "satchel/SatchelRecording.h"

namespace {

using text_test::TempDir;

// A private copy of a packed library double, so each test sees fresh state and can tell
// whether the copy is still mapped.
class PackedLibraryCopy {
public:
    explicit PackedLibraryCopy(const char* library) : path((dir / "libSatchel.so").string()) {
        std::filesystem::copy_file(library, path);
    }
    const std::string& Path() const { return path; }
    bool Mapped() const { return os::IsSharedLibraryLoaded(path); }

private:
    TempDir dir;
    std::string path;
};

template <class Fn>
Fn Export(void* library, const char* name) {
    return reinterpret_cast<Fn>(os::FindSharedLibrarySymbol(library, name));
}

void ExpectEmpty(const PackedResourceLibrary& record) {
    EXPECT_FALSE(record.IsLoaded());
    EXPECT_FALSE(record.IsLoadFromArchive());
    EXPECT_EQ(record.handle, nullptr);
    EXPECT_EQ(record.IsLoadFromMpq, nullptr);
    EXPECT_EQ(record.LoadFileData, nullptr);
    EXPECT_EQ(record.FreeFileData, nullptr);
    EXPECT_EQ(record.GameResourcesInitialize, nullptr);
}

TEST(PackedResourceLibrary, WithoutALibraryTheRecordStaysEmpty) {
    TempDir dir;
    PackedResourceLibrary missing((dir / "libSatchel.so").string());
    ExpectEmpty(missing);
    missing.Unload();
    ExpectEmpty(missing);

    // An empty name would make the loader hand back the main program.
    PackedResourceLibrary unnamed{std::string()};
    ExpectEmpty(unnamed);
}

TEST(PackedResourceLibrary, LibraryWithoutFreeFileDataIsReleasedAndNeverInitialised) {
    PackedLibraryCopy copy(SATCHEL_MISSING_FREE_LIBRARY);
    // The test holds the library itself, so its counter outlives the record's release.
    void* held = os::LoadSharedLibrary(copy.Path());
    ASSERT_NE(held, nullptr);

    PackedResourceLibrary record(copy.Path());
    ExpectEmpty(record);
    EXPECT_EQ(Export<satchel_test::CountFn>(held, "SatchelMissingFreeCalls")(), 0);

    os::FreeSharedLibrary(held);
    EXPECT_FALSE(copy.Mapped()) << "the record kept a reference to an incomplete library";
}

TEST(PackedResourceLibrary, LibraryWithoutArchiveStaysLoadedAndIsInitialisedOnce) {
    PackedLibraryCopy copy(SATCHEL_NO_ARCHIVE_LIBRARY);
    PackedResourceLibrary record(copy.Path());
    ASSERT_TRUE(record.IsLoaded());
    EXPECT_NE(record.LoadFileData, nullptr);
    EXPECT_NE(record.FreeFileData, nullptr);
    EXPECT_FALSE(record.IsLoadFromArchive());
    EXPECT_EQ(Export<satchel_test::CountFn>(record.handle, "SatchelNoArchiveInitializeCount")(), 1);

    record.Unload();
    ExpectEmpty(record);
    EXPECT_FALSE(copy.Mapped());
    record.Unload();
    ExpectEmpty(record);
}

TEST(PackedResourceLibrary, ArchiveModeIsAskedAnewEachTime) {
    PackedLibraryCopy copy(SATCHEL_RECORDING_LIBRARY);
    PackedResourceLibrary record(copy.Path());
    ASSERT_TRUE(record.IsLoaded());
    void* library = record.handle;
    EXPECT_EQ(Export<satchel_test::CountFn>(library, "SatchelRecordingInitializeCount")(), 1);

    const auto asked = Export<satchel_test::CountFn>(library, "SatchelRecordingIsLoadFromMpqCount");
    const int before = asked();
    EXPECT_TRUE(record.IsLoadFromArchive());
    Export<satchel_test::SetLoadFromMpqFn>(library, "SatchelRecordingSetLoadFromMpq")(false);
    EXPECT_FALSE(record.IsLoadFromArchive());
    EXPECT_EQ(asked() - before, 2);
    record.Unload();
}

TEST(PackedResourceLibrary, ModuleRecordIsTheLibraryBesideTheModule) {
    // The test program's own record: the recording double copied beside it.
    const PackedResourceLibrary& record = PackedResourceLibrary::Instance();
    ASSERT_TRUE(record.IsLoaded());
    EXPECT_NE(os::FindSharedLibrarySymbol(record.handle, "SatchelRecordingReset"), nullptr);
    EXPECT_EQ(&PackedResourceLibrary::Instance(), &record);
}

}  // namespace
