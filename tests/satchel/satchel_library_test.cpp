// The packed resource library as a client sees it: libSatchel.so opened with dlopen, its four
// entry points looked up by name, archives written by the packer into a temporary folder and
// named through the environment.
#include <fcntl.h>
#include <physfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <latch>
#include <memory>
#include <set>
#include <thread>

#include "SatchelTesting.h"
#include "satchel/ZipPack.h"
#include "support/HostileFiles.h"

namespace satchel_test {
namespace {

struct Member {
    bool isNull = true;
    std::uint32_t size = 0;
    std::string bytes;
};

// One LoadFileData call with the buffer released right away, as the client does.
Member LoadMember(const LoadedLibrary& library, const char* name, int mode = 2) {
    std::uint32_t size = 0xDEADBEEF;
    void* data = library.loadFileData(name, &size, mode);
    Member member{data == nullptr, size, {}};
    if (data != nullptr) {
        member.bytes.assign(static_cast<const char*>(data), size);
    }
    library.freeFileData(data);
    return member;
}

// Loads `name` and expects no buffer and a zero size back, with `fault` said on stderr.
void ExpectNoMember(const LoadedLibrary& library, const char* name, const std::string& fault) {
    StderrCapture errors;
    const Member member = LoadMember(library, name);
    EXPECT_TRUE(member.isNull);
    EXPECT_EQ(member.size, 0U);
    const std::string text = errors.Text();
    EXPECT_NE(text.find(fault), std::string::npos) << text;
}

std::string AllByteValues() {
    std::string bytes;
    for (int round = 0; round < 3; ++round) {
        for (int b = 0; b < 256; ++b) {
            bytes.push_back(static_cast<char>(b));
        }
    }
    return bytes;
}

const std::vector<satchel::ZipMember>& StandardMembers() {
    static const std::vector<satchel::ZipMember> members = {
        {"config/StringTable/common.xml", "<Strings><Hello>Hello</Hello></Strings>\n"},
        {"config/StringTable/PetSystem.xml", "<Strings><Fire>Fire</Fire></Strings>\n"},
        {"empty.txt", ""},
        {"deep/a/b/c/nested.bin", AllByteValues()},
        {"with space/file name.txt", "spaced"},
    };
    return members;
}

fs::path WriteArchive(const fs::path& path, const std::vector<satchel::ZipMember>& members) {
    std::string error;
    EXPECT_TRUE(satchel::WriteZipArchive(path, members, error)) << error;
    return path;
}

// Offset of the first byte of `name`'s data in an archive written by the packer.
std::size_t DataOffset(const std::string& archive, const std::string& name) {
    const std::size_t header = archive.find(name);
    EXPECT_NE(header, std::string::npos);
    return header + name.size();
}

// Offset of the central directory, read from the end record that closes the archive.
std::size_t CentralDirectoryOffset(const std::string& archive) {
    std::uint32_t offset = 0;
    std::memcpy(&offset, archive.data() + archive.size() - 6, 4);
    return offset;
}

class SatchelLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(PHYSFS_isInit(), 0) << "an earlier test left PhysFS running";
    }

    void TearDown() override {
        if (library) {
            EXPECT_TRUE(library->Unload()) << "libSatchel.so stayed loaded";
        }
        EXPECT_EQ(PHYSFS_isInit(), 0) << "unloading libSatchel.so left PhysFS running";
    }

    LoadedLibrary& Open() {
        library = std::make_unique<LoadedLibrary>(SATCHEL_LIBRARY);
        EXPECT_TRUE(library->IsOpen());
        return *library;
    }

    // Opens the library and initialises it with `archive` named through the environment.
    LoadedLibrary& OpenWith(const fs::path& archive) {
        setenv("SATCHEL_ARCHIVE", archive.c_str(), 1);
        LoadedLibrary& opened = Open();
        opened.gameResourcesInitialize();
        return opened;
    }

    fs::path StandardArchive() { return WriteArchive(dir / "resources.zip", StandardMembers()); }

    // Writes `bytes` as the archive `name` and expects initialisation to refuse it, naming
    // `fault` on stderr.
    void ExpectRefused(const std::string& name, const std::string& bytes,
                       const std::string& fault) {
        WriteFile(dir / name, bytes);
        StderrCapture errors;
        EXPECT_FALSE(OpenWith(dir / name).isLoadFromMpq());
        const std::string text = errors.Text();
        EXPECT_NE(text.find(fault), std::string::npos) << text;
    }

    TempDir dir;
    ScopedEnv archiveVariable{"SATCHEL_ARCHIVE", nullptr};
    ScopedEnv modeVariable{"SATCHEL_MODE", nullptr};
    std::unique_ptr<LoadedLibrary> library;
};

TEST_F(SatchelLibrary, ExportsExactlyTheFourEntryPoints) {
    std::vector<std::string> exported = ExportedSymbols(SATCHEL_LIBRARY);
    std::sort(exported.begin(), exported.end());
    EXPECT_EQ(exported, (std::vector<std::string>{"FreeFileData", "GameResourcesInitialize",
                                                  "IsLoadFromMpq", "LoadFileData"}));
}

TEST_F(SatchelLibrary, ArchiveNamedByTheEnvironmentServesEveryKindOfMember) {
    const fs::path archive = StandardArchive();
    StderrCapture errors;
    LoadedLibrary& satchel = OpenWith(archive);
    EXPECT_TRUE(satchel.isLoadFromMpq());

    for (const satchel::ZipMember& expected : StandardMembers()) {
        if (expected.data.empty()) {
            continue;
        }
        const Member member = LoadMember(satchel, expected.name.c_str());
        EXPECT_FALSE(member.isNull) << expected.name;
        EXPECT_EQ(member.size, expected.data.size()) << expected.name;
        EXPECT_EQ(member.bytes, expected.data) << expected.name;
    }
    EXPECT_EQ(errors.Text(), "");
}

TEST_F(SatchelLibrary, BackslashSeparatorsAreAcceptedAsNativeNames) {
    LoadedLibrary& satchel = OpenWith(StandardArchive());
    const Member member = LoadMember(satchel, "config\\StringTable\\common.xml");
    EXPECT_EQ(member.bytes, StandardMembers()[0].data);
    EXPECT_EQ(LoadMember(satchel, "with space\\file name.txt").bytes, "spaced");
}

TEST_F(SatchelLibrary, EmptyMemberGivesNullWithoutAnErrorWhileAMissingOneIsReported) {
    LoadedLibrary& satchel = OpenWith(StandardArchive());
    StderrCapture emptyErrors;
    const Member empty = LoadMember(satchel, "empty.txt");
    EXPECT_TRUE(empty.isNull);
    EXPECT_EQ(empty.size, 0U);
    EXPECT_EQ(emptyErrors.Text(), "");

    ExpectNoMember(satchel, "config/StringTable/Missing.xml",
                   "Satchel: LoadFileData(config/StringTable/Missing.xml): not found in ");
}

TEST_F(SatchelLibrary, DirectoryIsNotAFile) {
    LoadedLibrary& satchel = OpenWith(StandardArchive());
    StderrCapture errors;
    EXPECT_TRUE(LoadMember(satchel, "deep/a").isNull);
    EXPECT_NE(errors.Text().find("LoadFileData(deep/a): not a file"), std::string::npos);
}

TEST_F(SatchelLibrary, NamesThatAreAbsoluteOrLeaveTheArchiveAreRefused) {
    LoadedLibrary& satchel = OpenWith(StandardArchive());
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"../x", "name has a '..' component"},
        {"config/../../etc/passwd", "name has a '..' component"},
        {"..\\config\\StringTable\\common.xml", "name has a '..' component"},
        {"/etc/passwd", "name is absolute"},
        {"\\config\\StringTable\\common.xml", "name is absolute"},
        {"C:\\config\\StringTable\\common.xml", "name contains ':'"},
        {"./empty.txt", "name has a '.' component"},
        {"config//StringTable/common.xml", "name has an empty component"},
        {"", "empty name"},
    };
    for (const auto& [name, why] : cases) {
        StderrCapture errors;
        const Member member = LoadMember(satchel, name);
        EXPECT_TRUE(member.isNull) << name;
        EXPECT_EQ(member.size, 0U) << name;
        EXPECT_EQ(errors.Text(), "Satchel: LoadFileData(" + std::string(name) + "): refused: " +
                                     why + " (names are relative to the archive)\n");
    }
}

TEST_F(SatchelLibrary, UnknownModesAndNullArgumentsAreRefusedCleanly) {
    LoadedLibrary& satchel = OpenWith(StandardArchive());
    for (const int mode : {0, 1, 3, -1, 0x102}) {
        StderrCapture errors;
        const Member member = LoadMember(satchel, "config/StringTable/common.xml", mode);
        EXPECT_TRUE(member.isNull) << mode;
        EXPECT_EQ(member.size, 0U) << mode;
        EXPECT_NE(errors.Text().find("unknown mode " + std::to_string(mode)), std::string::npos);
    }
    StderrCapture errors;
    std::uint32_t size = 7;
    EXPECT_EQ(satchel.loadFileData(nullptr, &size, 2), nullptr);
    EXPECT_EQ(size, 0U);
    EXPECT_EQ(satchel.loadFileData("config/StringTable/common.xml", nullptr, 2), nullptr);
    satchel.freeFileData(nullptr);
    EXPECT_EQ(errors.Text(),
              "Satchel: LoadFileData: null file name\n"
              "Satchel: LoadFileData(config/StringTable/common.xml): null size pointer\n");
}

TEST_F(SatchelLibrary, FreeingAForeignOrAlreadyFreedPointerIsRefusedAndHarmless) {
    LoadedLibrary& satchel = OpenWith(StandardArchive());
    std::uint32_t size = 0;
    void* data = satchel.loadFileData("with space/file name.txt", &size, 2);
    ASSERT_NE(data, nullptr);
    satchel.freeFileData(data);

    StderrCapture errors;
    satchel.freeFileData(data);  // a second time
    int local = 0;
    satchel.freeFileData(&local);
    const std::string text = errors.Text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_NE(text.find("FreeFileData: refusing a pointer"), std::string::npos);
}

TEST_F(SatchelLibrary, WithoutAnyArchiveResourcesComeFromLooseFilesSilently) {
    StderrCapture errors;
    LoadedLibrary& satchel = Open();
    EXPECT_FALSE(satchel.isLoadFromMpq()) << "before initialisation";
    satchel.gameResourcesInitialize();
    EXPECT_FALSE(satchel.isLoadFromMpq());
    EXPECT_EQ(errors.Text(), "");
    EXPECT_EQ(PHYSFS_isInit(), 0) << "PhysFS started without an archive to mount";

    StderrCapture loadErrors;
    EXPECT_TRUE(LoadMember(satchel, "config/StringTable/common.xml").isNull);
    EXPECT_NE(loadErrors.Text().find("no archive is mounted"), std::string::npos);
}

TEST_F(SatchelLibrary, ReadingBeforeInitialisationFindsNoArchive) {
    const fs::path archive = StandardArchive();
    setenv("SATCHEL_ARCHIVE", archive.c_str(), 1);
    LoadedLibrary& satchel = Open();
    StderrCapture errors;
    EXPECT_TRUE(LoadMember(satchel, "config/StringTable/common.xml").isNull);
    EXPECT_NE(errors.Text().find("no archive is mounted"), std::string::npos);
}

TEST_F(SatchelLibrary, ArchiveNamedByTheEnvironmentButMissingIsReported) {
    StderrCapture errors;
    LoadedLibrary& satchel = OpenWith(dir / "nowhere.zip");
    EXPECT_FALSE(satchel.isLoadFromMpq());
    EXPECT_EQ(errors.Text(), "Satchel: SATCHEL_ARCHIVE names " + (dir / "nowhere.zip").string() +
                                 ", which does not exist; resources come from loose files\n");
}

TEST_F(SatchelLibrary, DirectoryNamedAsTheArchiveIsRefused) {
    StderrCapture errors;
    LoadedLibrary& satchel = OpenWith(dir.Path());
    EXPECT_FALSE(satchel.isLoadFromMpq());
    EXPECT_NE(errors.Text().find("is not a regular file"), std::string::npos);
    EXPECT_EQ(PHYSFS_isInit(), 0);
}

TEST_F(SatchelLibrary, ModeFilesReportsLooseFilesButKeepsTheArchiveReadable) {
    setenv("SATCHEL_MODE", "files", 1);
    LoadedLibrary& satchel = OpenWith(StandardArchive());
    EXPECT_FALSE(satchel.isLoadFromMpq());
    EXPECT_EQ(LoadMember(satchel, "with space/file name.txt").bytes, "spaced");
}

TEST_F(SatchelLibrary, ModeArchiveAndAnUnknownModeUseTheArchiveTheLatterWithAWarning) {
    setenv("SATCHEL_MODE", "archive", 1);
    {
        StderrCapture errors;
        EXPECT_TRUE(OpenWith(StandardArchive()).isLoadFromMpq());
        EXPECT_EQ(errors.Text(), "");
    }
    ASSERT_TRUE(library->Unload());

    setenv("SATCHEL_MODE", "Files", 1);
    StderrCapture errors;
    EXPECT_TRUE(OpenWith(StandardArchive()).isLoadFromMpq());
    EXPECT_EQ(errors.Text(),
              "Satchel: unknown SATCHEL_MODE \"Files\" (known: archive, files); using the "
              "archive\n");
}

TEST_F(SatchelLibrary, LaterInitialisationsKeepTheFirstConfiguration) {
    LoadedLibrary& satchel = OpenWith(StandardArchive());
    const fs::path other = WriteArchive(dir / "other.zip", {{"other.txt", "other"}});
    setenv("SATCHEL_ARCHIVE", other.c_str(), 1);
    setenv("SATCHEL_MODE", "files", 1);
    satchel.gameResourcesInitialize();
    satchel.gameResourcesInitialize();
    EXPECT_TRUE(satchel.isLoadFromMpq());
    EXPECT_EQ(LoadMember(satchel, "with space/file name.txt").bytes, "spaced");
    StderrCapture errors;
    EXPECT_TRUE(LoadMember(satchel, "other.txt").isNull);
    EXPECT_EQ(errors.Text(), "Satchel: LoadFileData(other.txt): not found in " +
                                 (dir / "resources.zip").string() + "\n");
}

TEST_F(SatchelLibrary, OwnPhysFsKeepsOnlyTheZipArchiverAndStopsWhenTheLibraryIsUnloaded) {
    LoadedLibrary& satchel = OpenWith(StandardArchive());
    ASSERT_TRUE(satchel.isLoadFromMpq());
    EXPECT_NE(PHYSFS_isInit(), 0);
    std::vector<std::string> types;
    for (const PHYSFS_ArchiveInfo** type = PHYSFS_supportedArchiveTypes(); *type != nullptr;
         ++type) {
        types.emplace_back((*type)->extension);
    }
    EXPECT_EQ(types, std::vector<std::string>{"ZIP"});
    EXPECT_EQ(PHYSFS_getWriteDir(), nullptr) << "the archive must stay read-only";

    ASSERT_TRUE(library->Unload());
    EXPECT_EQ(PHYSFS_isInit(), 0);
}

TEST_F(SatchelLibrary, PhysFsStartedByTheHostIsUsedAndLeftRunningWithItsArchivers) {
    ASSERT_NE(PHYSFS_init(nullptr), 0) << PHYSFS_getErrorByCode(PHYSFS_getLastErrorCode());
    std::size_t hostTypes = 0;
    for (const PHYSFS_ArchiveInfo** type = PHYSFS_supportedArchiveTypes(); *type != nullptr;
         ++type) {
        ++hostTypes;
    }
    ASSERT_GT(hostTypes, 1U);

    LoadedLibrary& satchel = OpenWith(StandardArchive());
    EXPECT_TRUE(satchel.isLoadFromMpq());
    EXPECT_EQ(LoadMember(satchel, "with space/file name.txt").bytes, "spaced");
    ASSERT_TRUE(library->Unload());

    EXPECT_NE(PHYSFS_isInit(), 0) << "the host's PhysFS was shut down";
    std::size_t typesAfter = 0;
    for (const PHYSFS_ArchiveInfo** type = PHYSFS_supportedArchiveTypes(); *type != nullptr;
         ++type) {
        ++typesAfter;
    }
    EXPECT_EQ(typesAfter, hostTypes);
    char** searchPath = PHYSFS_getSearchPath();
    EXPECT_EQ(searchPath[0], nullptr) << "the archive stayed mounted: " << searchPath[0];
    PHYSFS_freeList(searchPath);
    EXPECT_NE(PHYSFS_deinit(), 0);
}

TEST_F(SatchelLibrary, ReloadedLibraryStartsAfreshAndMountsAgain) {
    const fs::path archive = StandardArchive();
    EXPECT_EQ(LoadMember(OpenWith(archive), "with space/file name.txt").bytes, "spaced");
    ASSERT_TRUE(library->Unload());
    EXPECT_EQ(LoadMember(OpenWith(archive), "with space/file name.txt").bytes, "spaced");
}

// Its own suite name, so that the thread sanitizer preset selects it.
class SatchelThreads : public SatchelLibrary {};

TEST_F(SatchelThreads, ConcurrentReadersAllGetTheirBytes) {
    LoadedLibrary& satchel = OpenWith(StandardArchive());
    constexpr int kThreads = 4;
    constexpr int kReads = 50;
    std::latch start(kThreads);
    std::vector<int> good(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kReads; ++i) {
                const satchel::ZipMember& expected = StandardMembers()[(t + i) % 2 == 0 ? 0 : 3];
                good[t] += LoadMember(satchel, expected.name.c_str()).bytes == expected.data;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(good, std::vector<int>(kThreads, kReads));
}

// Damaged archives: nothing from the file may crash the process; each fault is named.

TEST_F(SatchelLibrary, TruncatedArchiveIsRefusedAtInitialisation) {
    const std::string whole = ReadFile(StandardArchive());
    for (const std::size_t keep : {whole.size() - 1, whole.size() / 2, std::size_t{10}}) {
        WriteFile(dir / "cut.zip", whole.substr(0, keep));
        StderrCapture errors;
        LoadedLibrary& satchel = OpenWith(dir / "cut.zip");
        EXPECT_FALSE(satchel.isLoadFromMpq()) << keep;
        EXPECT_TRUE(LoadMember(satchel, "with space/file name.txt").isNull);
        const std::string text = errors.Text();
        EXPECT_NE(text.find("cannot use archive " + (dir / "cut.zip").string()), std::string::npos)
            << text;
        EXPECT_TRUE(text.find("no end of central directory record") != std::string::npos ||
                    text.find("too short for a zip archive") != std::string::npos)
            << text;
        ASSERT_TRUE(library->Unload());
    }
}

TEST_F(SatchelLibrary, FlippedDataByteFailsTheChecksumAndOtherMembersStillRead) {
    std::string bytes = ReadFile(StandardArchive());
    bytes[DataOffset(bytes, "deep/a/b/c/nested.bin") + 100] ^= 0x01;
    WriteFile(dir / "flipped.zip", bytes);

    LoadedLibrary& satchel = OpenWith(dir / "flipped.zip");
    ASSERT_TRUE(satchel.isLoadFromMpq());
    ExpectNoMember(satchel, "deep/a/b/c/nested.bin",
                   "LoadFileData(deep/a/b/c/nested.bin): checksum mismatch");
    EXPECT_EQ(LoadMember(satchel, "with space/file name.txt").bytes, "spaced");
}

TEST_F(SatchelLibrary, GarbageInTheCentralDirectoryIsRefused) {
    std::string bytes = ReadFile(StandardArchive());
    const std::size_t central = CentralDirectoryOffset(bytes);
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(central),
              bytes.begin() + static_cast<std::ptrdiff_t>(central + 60), '\xA5');
    ExpectRefused("garbage.zip", bytes, "central directory entry 0: bad signature");
}

TEST_F(SatchelLibrary, EndRecordPointingOutsideTheFileIsRefused) {
    std::string bytes = ReadFile(StandardArchive());
    const std::uint32_t wrong = static_cast<std::uint32_t>(bytes.size()) + 1000;
    std::memcpy(bytes.data() + bytes.size() - 6, &wrong, 4);
    ExpectRefused("pointer.zip", bytes, "does not end where the end record lies");
}

TEST_F(SatchelLibrary, DamagedLocalHeaderIsRefused) {
    std::string bytes = ReadFile(StandardArchive());
    const std::size_t header = bytes.find("with space/file name.txt") - 30;
    bytes[header] = 'X';
    ExpectRefused("local.zip", bytes,
                  "member \"with space/file name.txt\": local header is damaged");
}

TEST_F(SatchelLibrary, ArbitraryBytesAreNotAnArchive) {
    ExpectRefused("noise.zip", std::string(4096, '\x50'), "no end of central directory record");
}

// A zip64 archive with one stored member of 2^32 + 16 bytes. The data region is a hole in a
// sparse file, so the test needs almost no disk space; the member is refused before any read.
void WriteOversizedArchive(const fs::path& path, std::uint64_t memberSize) {
    const std::string name = "big.bin";
    std::string out;
    const auto put = [&out](std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        }
    };
    const auto zip64Extra = [&] {
        put(0x0001, 2);
        put(16, 2);
        put(memberSize, 8);
        put(memberSize, 8);
    };
    // What the local header and the central directory entry share, from the version needed to
    // the extra field's length: no flags, stored, no time, no checksum, sizes in the extra.
    const auto sharedFields = [&] {
        put(45, 2);
        put(0, 2);
        put(0, 2);
        put(0, 4);
        put(0, 4);
        put(0xFFFFFFFF, 4);
        put(0xFFFFFFFF, 4);
        put(name.size(), 2);
        put(20, 2);
    };
    // Local header.
    put(0x04034b50, 4);
    sharedFields();
    out += name;
    zip64Extra();
    const std::uint64_t centralOffset = out.size() + memberSize;
    // Central directory, written after the hole.
    std::string head = out;
    out.clear();
    put(0x02014b50, 4);
    put((3 << 8) | 45, 2);
    sharedFields();
    put(0, 2);
    put(0, 2);
    put(0, 2);
    put(0, 4);
    put(0, 4);
    out += name;
    zip64Extra();
    const std::uint64_t centralSize = out.size();
    const std::uint64_t zip64EndOffset = centralOffset + centralSize;
    put(0x06064b50, 4);
    put(44, 8);
    put(45, 2);
    put(45, 2);
    put(0, 4);
    put(0, 4);
    put(1, 8);
    put(1, 8);
    put(centralSize, 8);
    put(centralOffset, 8);
    put(0x07064b50, 4);
    put(0, 4);
    put(zip64EndOffset, 8);
    put(1, 4);
    put(0x06054b50, 4);
    put(0, 2);
    put(0, 2);
    put(0xFFFF, 2);
    put(0xFFFF, 2);
    put(0xFFFFFFFF, 4);
    put(0xFFFFFFFF, 4);
    put(0, 2);

    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(file, 0);
    ASSERT_EQ(pwrite(file, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(pwrite(file, out.data(), out.size(), static_cast<off_t>(centralOffset)),
              static_cast<ssize_t>(out.size()));
    close(file);
}

TEST_F(SatchelLibrary, MemberLargerThanA32BitSizeCanCountIsRefused) {
    constexpr std::uint64_t kSize = (1ULL << 32) + 16;
    WriteOversizedArchive(dir / "big.zip", kSize);
    std::string mountErrors;
    LoadedLibrary* opened = nullptr;
    {
        StderrCapture errors;
        opened = &OpenWith(dir / "big.zip");
        mountErrors = errors.Text();
    }
    LoadedLibrary& satchel = *opened;
    if (sizeof(void*) == 4 && !satchel.isLoadFromMpq()) {
        // Debian's i386 PhysFS is built without large-file support: its open() refuses a file
        // of 2 GiB or more (EOVERFLOW). Such an archive is then not mounted, which is said,
        // and the member is refused because resources come from loose files.
        EXPECT_NE(mountErrors.find("PhysFS cannot mount " + (dir / "big.zip").string()),
                  std::string::npos)
            << mountErrors;
        const Member member = LoadMember(satchel, "big.bin");
        EXPECT_TRUE(member.isNull);
        EXPECT_EQ(member.size, 0U);
        return;
    }
    ASSERT_TRUE(satchel.isLoadFromMpq()) << mountErrors;
    StderrCapture errors;
    const Member member = LoadMember(satchel, "big.bin");
    EXPECT_TRUE(member.isNull);
    EXPECT_EQ(member.size, 0U);
    EXPECT_NE(errors.Text().find("LoadFileData(big.bin): member of " + std::to_string(kSize) +
                                 " bytes is larger than a 32-bit size can count; refused"),
              std::string::npos);
}

TEST(SatchelDefaultArchive, ArchiveBesideTheExecutableIsUsedWhenTheEnvironmentNamesNone) {
    TempDir dir;
    ScopedEnv archiveVariable("SATCHEL_ARCHIVE", nullptr);
    ScopedEnv modeVariable("SATCHEL_MODE", nullptr);
    const fs::path probe = dir / "probe";
    fs::copy_file(SATCHEL_PROBE, probe);
    WriteArchive(dir / "resources.zip", StandardMembers());

    const RunResult beside =
        RunProgram({probe.string(), SATCHEL_LIBRARY, "with space/file name.txt"});
    EXPECT_EQ(beside.status, 0) << beside.output;
    EXPECT_EQ(beside.output, "archive=1 size=6 data=spaced\n");

    fs::remove(dir / "resources.zip");
    const RunResult none =
        RunProgram({probe.string(), SATCHEL_LIBRARY, "with space/file name.txt"});
    EXPECT_EQ(none.status, 0) << none.output;
    EXPECT_EQ(none.output,
              "archive=0 Satchel: LoadFileData(with space/file name.txt): no archive is "
              "mounted\nsize=0 null\n");
}

// Archives whose deflated members inflate to far more than the archive's size.
class HostileArchive : public SatchelLibrary {
protected:
    // Opens an archive of deflated zeros: `name` declared and inflating to `size` bytes.
    LoadedLibrary& OpenZeros(const std::vector<test::ArchiveMember>& members) {
        test::WriteHostileArchive(dir / "bomb.zip", members);
        return OpenWith(dir / "bomb.zip");
    }
    static test::ArchiveMember Zeros(const std::string& name, std::uint64_t declared,
                                     std::uint64_t inflated) {
        return {name, {}, true, declared, inflated};
    }

    ScopedEnv limitVariable{"SATCHEL_MAX_MEMBER_SIZE", nullptr};
};

TEST_F(HostileArchive, MemberBeyondTheDefaultLimitIsRefusedBeforeItIsInflated) {
    constexpr std::uint64_t kOver = satchel::kDefaultMaxMemberSize + 1;
    LoadedLibrary& satchel =
        OpenZeros({Zeros("bomb.xml", kOver, kOver), Zeros("small.xml", 4096, 4096)});
    ASSERT_TRUE(satchel.isLoadFromMpq());
    StderrCapture errors;
    const Member bomb = LoadMember(satchel, "bomb.xml");
    EXPECT_TRUE(bomb.isNull);
    EXPECT_EQ(bomb.size, 0U);
    EXPECT_NE(errors.Text().find("Satchel: LoadFileData(bomb.xml): member of 67108865 bytes is "
                                 "larger than the limit of 67108864 bytes "
                                 "(SATCHEL_MAX_MEMBER_SIZE); refused"),
              std::string::npos);
    const Member small = LoadMember(satchel, "small.xml");
    EXPECT_EQ(small.bytes, std::string(4096, '\0'));
}

TEST_F(HostileArchive, LimitFromTheEnvironmentIsExactAndOutOfRangeValuesAreRefusedWithAWarning) {
    const std::vector<test::ArchiveMember> members = {Zeros("at.bin", 4096, 4096),
                                                      Zeros("over.bin", 4097, 4097)};
    {
        setenv("SATCHEL_MAX_MEMBER_SIZE", "4096", 1);
        LoadedLibrary& satchel = OpenZeros(members);
        EXPECT_EQ(LoadMember(satchel, "at.bin").size, 4096U);
        StderrCapture errors;
        EXPECT_TRUE(LoadMember(satchel, "over.bin").isNull);
        EXPECT_NE(errors.Text().find("over.bin): member of 4097 bytes is larger than the limit of "
                                     "4096 bytes"),
                  std::string::npos);
        ASSERT_TRUE(library->Unload());
        library.reset();
    }
    for (const char* value : {"0", "-1", "abc", "4096 ", "4294967296", "99999999999999999999999"}) {
        SCOPED_TRACE(value);
        setenv("SATCHEL_MAX_MEMBER_SIZE", value, 1);
        StderrCapture errors;
        LoadedLibrary& satchel = OpenZeros(members);
        EXPECT_NE(errors.Text().find(std::string("Satchel: SATCHEL_MAX_MEMBER_SIZE \"") + value +
                                     "\" is not a number of bytes from 1 to 4294967295; using "
                                     "67108864"),
                  std::string::npos);
        EXPECT_EQ(LoadMember(satchel, "over.bin").size, 4097U) << "the default limit applies";
        ASSERT_TRUE(library->Unload());
        library.reset();
    }
}

TEST_F(HostileArchive, DataThatInflatesPastItsDeclaredSizeGivesNoMoreThanTheDeclaredBytes) {
    LoadedLibrary& satchel = OpenZeros({Zeros("liar.bin", 4096, 1 << 20)});
    const Member liar = LoadMember(satchel, "liar.bin");
    EXPECT_LE(liar.size, 4096U);
    EXPECT_EQ(liar.bytes, liar.isNull ? std::string() : std::string(4096, '\0'));
}

}  // namespace
}  // namespace satchel_test
