#include "text/XmlDocument.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "GuardedArray.h"
#include "TextTesting.h"
#include "support/LogCapture.h"
#include "text/Scramble.h"

namespace {

using text_test::ReadFile;
using text_test::RecordingArchive;
using text_test::TempDir;
using text_test::WriteFile;

std::string Scrambled(std::string bytes) {
    ScrambleBytes(bytes.data(), bytes.size());
    return bytes;
}

// The text of the first child element named `name` of the document's root, or "(none)".
std::string ChildText(const TiXmlDocument& document, const char* name) {
    const TiXmlElement* root = document.RootElement();
    const TiXmlElement* child = root != nullptr ? root->FirstChildElement(name) : nullptr;
    const char* text = child != nullptr ? child->GetText() : nullptr;
    return text != nullptr ? text : "(none)";
}

int ChildRow(const TiXmlDocument& document, const char* name) {
    const TiXmlElement* child = document.RootElement()->FirstChildElement(name);
    return child != nullptr ? child->Row() : -1;
}

// Loads through the file system: the test program's packed library says "no archive".
class XmlDocumentFile : public ::testing::Test {
protected:
    void SetUp() override { archive.SetLoadFromMpq(false); }

    RecordingArchive archive;
    TempDir dir;
};

TEST_F(XmlDocumentFile, CrLfAndLoneCrAreLineFeeds) {
    for (const std::string end : {"\n", "\r\n", "\r"}) {
        SCOPED_TRACE(end == "\n" ? "LF" : end == "\r\n" ? "CR LF" : "CR");
        const std::string path = (dir / "lines.xml").string();
        WriteFile(path, "<r>" + end + "<a><![CDATA[1" + end + "2]]></a>" + end + "<b/>" + end +
                            "<c/></r>");
        XmlDocument document;
        ASSERT_TRUE(document.LoadFile(path)) << document.ErrorDesc();
        EXPECT_EQ(ChildText(document, "a"), "1\n2");
        EXPECT_EQ(ChildRow(document, "b"), 4);
        EXPECT_EQ(ChildRow(document, "c"), 5);
    }
}

// A file is normalised inside its read buffer, memory in a copy: both must give the same text.
TEST_F(XmlDocumentFile, FileAndMemoryNormaliseRunsOfCrAndStopAtTheFirstNulAlike) {
    const std::string text(
        "<r>\r\r\n<a><![CDATA[\r1\r\r2\r\n\r\n3\n\r]]></a>\r\n\r<b/></r>\r\0<junk\r\n", 57);
    const std::string expected = "\n1\n\n2\n\n3\n\n";
    XmlDocument fromMemory;
    ASSERT_TRUE(fromMemory.LoadFromMemory(text.data(), static_cast<int>(text.size())))
        << fromMemory.ErrorDesc();
    EXPECT_EQ(ChildText(fromMemory, "a"), expected);
    EXPECT_EQ(ChildRow(fromMemory, "b"), 12);
    for (const bool scrambled : {false, true}) {
        const std::string name = scrambled ? "runs.xmlx" : "runs.xml";
        SCOPED_TRACE(name);
        WriteFile(dir / name, scrambled ? Scrambled(text) : text);
        XmlDocument fromFile;
        ASSERT_TRUE(fromFile.LoadFile((dir / name).string())) << fromFile.ErrorDesc();
        EXPECT_EQ(ChildText(fromFile, "a"), expected);
        EXPECT_EQ(ChildRow(fromFile, "b"), 12);
    }
}

TEST(XmlDocumentMemory, BytesAfterTheFirstNulAreIgnored) {
    const std::string data("<r><a>x</a></r>\0<<<not xml", 26);
    XmlDocument document;
    ASSERT_TRUE(document.LoadFromMemory(data.data(), static_cast<int>(data.size())))
        << document.ErrorDesc();
    EXPECT_EQ(ChildText(document, "a"), "x");

    const std::string leadingNul("\0<r/>", 5);
    EXPECT_FALSE(document.LoadFromMemory(leadingNul.data(), static_cast<int>(leadingNul.size())));
    EXPECT_EQ(document.ErrorId(), TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY);
}

// UTF-8 documents that end inside a multi-byte character. TinyXML steps over a whole character
// at a time, and so stepped over a single NUL that ended the parse buffer and read on.
const std::vector<std::string> kCutCharacters = {
    "<?xml version='1.0'?><a>x\xD5",
    "\xEF\xBB\xBF<a>x\xD5",
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xF0",
    "\xEF\xBB\xBF<a x='\xF0",
    "\xEF\xBB\xBF<a>x\xE4",
};

// The parse buffer lies right before a page that may not be read (the system's TinyXML is not
// instrumented, so no sanitizer would see its reads): reading past the buffer kills the child.
TEST(XmlDocumentMemoryDeathTest, ParseOfInputEndingInsideMultiByteCharacterStaysInItsBuffer) {
    for (const std::string& text : kCutCharacters) {
        SCOPED_TRACE(text);
        EXPECT_EXIT(
            {
                XmlDocument document;
                text_test::GuardNextArray(text.size() + 1, text.size() + 64);
                const bool loaded =
                    document.LoadFromMemory(text.data(), static_cast<int>(text.size()));
                std::_Exit(text_test::GuardedArrayWasAllocated() && !loaded ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

TEST_F(XmlDocumentFile, FileEndingInsideMultiByteCharacterFailsCleanly) {
    const std::string path = (dir / "cut.xml").string();
    WriteFile(path, kCutCharacters.front());
    XmlDocument document;
    EXPECT_FALSE(document.LoadFile(path));
    EXPECT_TRUE(document.Error());
}

TEST_F(XmlDocumentFile, ErrorsCarryTinyXmlIdsAndTextsWithoutLocation) {
    XmlDocument missing;
    EXPECT_FALSE(missing.LoadFile((dir / "missing.xml").string()));
    EXPECT_EQ(missing.ErrorId(), 2);
    EXPECT_STREQ(missing.ErrorDesc(), "Failed to open file");
    EXPECT_EQ(missing.ErrorRow(), 0);  // location row -1, column -1
    EXPECT_EQ(missing.ErrorCol(), 0);

    WriteFile(dir / "empty.xml", "");
    XmlDocument empty;
    EXPECT_FALSE(empty.LoadFile((dir / "empty.xml").string()));
    EXPECT_EQ(empty.ErrorId(), 12);
    EXPECT_STREQ(empty.ErrorDesc(), "Error document empty.");

    XmlDocument noFile;
    EXPECT_FALSE(noFile.LoadFile(static_cast<FILE*>(nullptr)));
    EXPECT_EQ(noFile.ErrorId(), 2);

    XmlDocument noData;
    EXPECT_FALSE(noData.LoadFromMemory(nullptr, 10));
    EXPECT_EQ(noData.ErrorId(), 12);
    XmlDocument noLength;
    EXPECT_FALSE(noLength.LoadFromMemory("<r/>", 0));
    EXPECT_EQ(noLength.ErrorId(), 12);
}

TEST_F(XmlDocumentFile, DirectoryIsAFailedReadNotAnEmptyDocument) {
    XmlDocument document;
    EXPECT_FALSE(document.LoadFile(dir.Path().string()));
    EXPECT_EQ(document.ErrorId(), 2);
}

TEST_F(XmlDocumentFile, FileTooLargeForAnIntIsAFailedRead) {
    const auto path = dir / "huge.xml";
    WriteFile(path, "<r/>");
    std::filesystem::resize_file(path, 0x80000010ULL);  // sparse: no disk space is used
    XmlDocument document;
    EXPECT_FALSE(document.LoadFile(path.string()));
    EXPECT_EQ(document.ErrorId(), 2);
}

TEST_F(XmlDocumentFile, FirstErrorSticksUntilTheNextParse) {
    XmlDocument document;
    EXPECT_FALSE(document.LoadFile((dir / "missing.xml").string()));
    EXPECT_FALSE(document.LoadFromMemory(nullptr, 1));
    EXPECT_EQ(document.ErrorId(), 2);

    EXPECT_TRUE(document.LoadFromMemory("<r/>", 4));
    EXPECT_FALSE(document.Error());
}

TEST_F(XmlDocumentFile, NullFileNameFailsAndLeavesTheErrorStateAsItWas) {
    XmlDocument fresh;
    EXPECT_FALSE(fresh.LoadFile(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(fresh.Error());

    XmlDocument failed;
    EXPECT_FALSE(failed.LoadFromMemory(nullptr, 0));
    EXPECT_FALSE(failed.LoadFile(static_cast<const char*>(nullptr)));
    EXPECT_EQ(failed.ErrorId(), 12);
}

TEST_F(XmlDocumentFile, ValueIsTheNativeNameAndLoadsAndSavesThatFile) {
    WriteFile(dir / "sub" / "t.xml", "<r><a>1</a></r>");
    const std::string windowsStyle = dir.Path().string() + "\\sub\\t.xml";
    XmlDocument document;
    ASSERT_TRUE(document.LoadFile(windowsStyle));
    EXPECT_EQ(document.ValueStr(), (dir / "sub" / "t.xml").string());

    WriteFile(dir / "sub" / "t.xml", "<r><a>2</a></r>");
    ASSERT_TRUE(document.LoadFile());
    EXPECT_EQ(ChildText(document, "a"), "2");

    document.RootElement()->FirstChildElement("a")->FirstChild()->SetValue("3");
    ASSERT_TRUE(document.SaveFile());
    XmlDocument reread;
    ASSERT_TRUE(reread.LoadFile((dir / "sub" / "t.xml").string()));
    EXPECT_EQ(ChildText(reread, "a"), "3");
}

TEST_F(XmlDocumentFile, XmlxInAnyLetterCaseIsUnscrambledAndXmlIsNot) {
    const std::string text = "<r><a>secret</a></r>";
    for (const char* name : {"t.xmlx", "t.XMLX", "t.XmLx"}) {
        SCOPED_TRACE(name);
        WriteFile(dir / name, Scrambled(text));
        XmlDocument document;
        ASSERT_TRUE(document.LoadFile((dir / name).string())) << document.ErrorDesc();
        EXPECT_EQ(ChildText(document, "a"), "secret");
    }

    WriteFile(dir / "plain.xml", Scrambled(text));
    XmlDocument scrambledAsPlain;
    EXPECT_FALSE(scrambledAsPlain.LoadFile((dir / "plain.xml").string()));

    WriteFile(dir / "plain.xmlx", text);
    XmlDocument plainAsScrambled;
    EXPECT_FALSE(plainAsScrambled.LoadFile((dir / "plain.xmlx").string()));
}

TEST_F(XmlDocumentFile, LoadingAgainKeepsOnlyTheSecondFilesNodes) {
    WriteFile(dir / "one.xml", "<one><a>1</a></one>");
    WriteFile(dir / "two.xml", "<two><b>2</b></two>");
    XmlDocument document;
    ASSERT_TRUE(document.LoadFile((dir / "one.xml").string()));
    ASSERT_TRUE(document.LoadFile((dir / "two.xml").string()));
    ASSERT_NE(document.RootElement(), nullptr);
    EXPECT_EQ(document.RootElement()->ValueStr(), "two");
    EXPECT_EQ(document.RootElement()->NextSibling(), nullptr);
}

TEST_F(XmlDocumentFile, SavedPlainAndScrambledFilesReadBackTheSame) {
    XmlDocument original;
    const std::string text = "\xEF\xBB\xBF<?xml version=\"1.0\"?><r><a>\xE4\xB8\xAD</a></r>";
    ASSERT_TRUE(original.LoadFromMemory(text.data(), static_cast<int>(text.size())));

    const std::string plain = (dir / "out.xml").string();
    const std::string scrambled = (dir / "out.XMLX").string();
    ASSERT_TRUE(original.SaveFile(plain));
    ASSERT_TRUE(original.SaveFile(scrambled));

    const std::string plainBytes = ReadFile(plain);
    EXPECT_EQ(plainBytes.substr(0, 3), "\xEF\xBB\xBF");  // the byte-order mark is kept
    EXPECT_EQ(ReadFile(scrambled), Scrambled(plainBytes));

    for (const std::string& path : {plain, scrambled}) {
        XmlDocument copy;
        ASSERT_TRUE(copy.LoadFile(path)) << path << ": " << copy.ErrorDesc();
        EXPECT_EQ(ChildText(copy, "a"), "\xE4\xB8\xAD");
    }
}

TEST_F(XmlDocumentFile, SaveReportsFailures) {
    XmlDocument document;
    ASSERT_TRUE(document.LoadFromMemory("<r><a>1</a></r>", 15));
    EXPECT_FALSE(document.SaveFile(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(document.SaveFile((dir / "no" / "such" / "folder.xml").string()));
    // The device takes the open but refuses the data: the failure shows when the file is
    // closed, and must not be reported as success.
    EXPECT_FALSE(document.SaveFile("/dev/full"));
}

TEST_F(XmlDocumentFile, FailedScramblingPassIsReported) {
    // A ".xmlx" name for a pipe: the document is written, but the file cannot be read back
    // and rewritten in place, so the saved text stays unscrambled.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const auto name = dir / "pipe.xmlx";
    std::filesystem::create_symlink("/proc/self/fd/" + std::to_string(ends[1]), name);
    XmlDocument document;
    ASSERT_TRUE(document.LoadFromMemory("<r><a>1</a></r>", 15));
    EXPECT_FALSE(document.SaveFile(name.string()));
    close(ends[0]);
    close(ends[1]);
}

// Loads through the packed archive: the test program's packed library serves files from memory.
class XmlDocumentArchive : public ::testing::Test {
protected:
    RecordingArchive archive;
    TempDir dir;
};

TEST_F(XmlDocumentArchive, ReadsTheNativeNameWholeAndGivesTheBufferBack) {
    archive.Serve("config/t.xml", "<r><a>archived</a></r>");
    XmlDocument document;
    ASSERT_TRUE(document.LoadFile("config\\t.xml")) << document.ErrorDesc();
    EXPECT_EQ(ChildText(document, "a"), "archived");
    ASSERT_EQ(archive.Loads(), 1);
    EXPECT_EQ(archive.LoadCall(0), std::make_pair(std::string("config/t.xml"), 2));
    EXPECT_EQ(archive.Frees(), 1);
    EXPECT_EQ(archive.Outstanding(), 0);
}

TEST_F(XmlDocumentArchive, MissingFileIsErrorTwoWithALogLine) {
    test::LogCapture capture;
    XmlDocument document;
    EXPECT_FALSE(document.LoadFile("config\\none.xml"));
    EXPECT_EQ(document.ErrorId(), 2);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{
                                   "TiXmlDocument::LoadFile() error : load config/none.xml fail"});
    const auto records = capture.Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().level, 3);
}

TEST_F(XmlDocumentArchive, EmptyBufferIsAFailedReadAndIsStillGivenBack) {
    archive.Serve("config/empty.xml", "");
    test::LogCapture capture;
    XmlDocument document;
    EXPECT_FALSE(document.LoadFile("config/empty.xml"));
    EXPECT_EQ(document.ErrorId(), 2);
    EXPECT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(archive.Outstanding(), 0);
}

TEST_F(XmlDocumentArchive, FileSystemIsReadWhenNoArchiveIsForcedOrArchiveModeEnds) {
    WriteFile(dir / "t.xml", "<r><a>loose</a></r>");
    const std::string name = (dir / "t.xml").string();
    archive.Serve(name, "<r><a>archived</a></r>");
    XmlDocument document;
    ASSERT_TRUE(document.LoadFile(name));
    EXPECT_EQ(ChildText(document, "a"), "archived");

    ASSERT_TRUE(document.LoadFile(name.c_str(), TIXML_DEFAULT_ENCODING, true));
    EXPECT_EQ(ChildText(document, "a"), "loose");

    archive.SetLoadFromMpq(false);  // asked on every load, not once
    ASSERT_TRUE(document.LoadFile(name));
    EXPECT_EQ(ChildText(document, "a"), "loose");
    EXPECT_EQ(archive.Loads(), 1);
}

}  // namespace
