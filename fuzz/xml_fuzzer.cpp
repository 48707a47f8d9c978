// Fuzz target: the XML document loader (XmlDocument) and the string table loader over it,
// with plain and scrambled bytes.
//
// TinyXML is the system's library and carries no sanitizer, so a read past the parse buffer
// would go unseen: the parse buffer is therefore placed right before a page that may not be
// touched (tests/text/GuardedArray.h), and a read past it ends the run with SIGSEGV.
//
// Input: the first byte chooses the route (bits 0-1) and the encoding given to the parser
// (bits 2-3: unknown, UTF-8, legacy); the rest is the document's text.
//   0  LoadFromMemory. Must give what it gives for the same text with its line ends made LF
//      and for the text cut at its first NUL byte. A text beyond the limits of
//      text/XmlLimits.h is refused with error 1 and nothing parsed; any other text that
//      parses has the nesting depth and attribute count the limits' walk found.
//   1  LoadScrambledFile on an open file that holds the text scrambled. Must give what
//      LoadFromMemory gives for the text.
//   2  StringTable::LoadTable on a table file holding the text. True exactly when the text is
//      a document with a root element; loading it again keeps every stored text at its
//      address; a missing key is the one shared empty text.
//   3  LoadFile by name on a ".XmLx" file holding the text scrambled. Must give what
//      LoadFromMemory gives for the text.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fuzz/FuzzTarget.h"
#include "plinth/Log.h"
#include "support/NoCopy.h"
#include "text/GuardedArray.h"
#include "text/Scramble.h"
#include "text/StringTable.h"
#include "text/XmlDocument.h"
#include "text/XmlLimits.h"

namespace {

namespace fs = std::filesystem;

class QuietLog : public os::ILogSink {
public:
    void Write(const os::LogRecord&) override {}
};

fs::path configDir;

// What a load came to: its verdict, error id and the document as TinyXML prints it.
struct Outcome {
    bool loaded = false;
    int errorId = 0;
    std::string printed;
    bool operator==(const Outcome&) const = default;
};

Outcome Describe(const XmlDocument& document, bool loaded) {
    FUZZ_CHECK(loaded == !document.Error());
    Outcome outcome{loaded, document.ErrorId(), {}};
    if (loaded) {
        TiXmlPrinter printer;
        document.Accept(&printer);
        outcome.printed = printer.Str();
    }
    return outcome;
}

// For its scope, places the parse buffer of a load of `size` bytes (the text and a few NUL
// bytes) before a guard page. Loading from a file reads the file first into a buffer of
// size + 1 bytes, which is left alone there. Disarmed at the end of the scope, so that no
// other allocation ever takes the guard.
class ParseBufferGuard : test::NoCopy {
public:
    ParseBufferGuard(std::size_t size, bool fromFile) {
        text_test::GuardNextArray(size + (fromFile ? 2 : 1), size + 64);
    }
    ~ParseBufferGuard() { text_test::GuardNextArray(0, 0); }

    /// Whether the parse buffer was placed before the guard page.
    bool Placed() const { return text_test::GuardedArrayWasAllocated(); }
};

std::string LineEndsAsLf(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            out += text[i];
        }
    }
    return out;
}

// Deepest element nesting and most attributes on one element below `node`.
void Measure(const TiXmlNode& node, std::size_t level, std::size_t& depth,
             std::size_t& attributes) {
    for (const TiXmlElement* e = node.FirstChildElement(); e != nullptr;
         e = e->NextSiblingElement()) {
        depth = std::max(depth, level + 1);
        std::size_t count = 0;
        for (const TiXmlAttribute* a = e->FirstAttribute(); a != nullptr; a = a->Next()) {
            ++count;
        }
        attributes = std::max(attributes, count);
        Measure(*e, level + 1, depth, attributes);
    }
}

// The walk before the parse reads the text as TinyXML does: a text it refuses records error 1
// and leaves the document empty; a text TinyXML then parses has exactly the deepest nesting
// and the most attributes on one element that the walk found.
void CheckLimitsAgree(const std::string& text, TiXmlEncoding encoding, const XmlDocument& document,
                      bool loaded) {
    std::string normalised = LineEndsAsLf(text.substr(0, text.find('\0')));
    normalised.append(4, '\0');
    const xml_limits::Check check = xml_limits::CheckXmlLimits(normalised.data(), encoding);
    if (check.breach != xml_limits::Breach::kNone) {
        FUZZ_CHECK(!loaded && document.ErrorId() == TiXmlBase::TIXML_ERROR &&
                   document.FirstChild() == nullptr);
        return;
    }
    if (loaded) {
        std::size_t depth = 0;
        std::size_t attributes = 0;
        Measure(document, 0, depth, attributes);
        FUZZ_CHECK(check.complete && check.maxDepth == depth && check.maxAttributes == attributes);
    }
}

Outcome FromMemory(const std::string& text, TiXmlEncoding encoding) {
    XmlDocument document;
    const ParseBufferGuard guard(text.size(), false);
    const bool loaded =
        document.LoadFromMemory(text.data(), static_cast<int>(text.size()), encoding);
    if (text.empty()) {
        FUZZ_CHECK(!loaded && document.ErrorId() == TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY);
    } else {
        FUZZ_CHECK(guard.Placed());
        CheckLimitsAgree(text, encoding, document, loaded);
    }
    return Describe(document, loaded);
}

std::string Scrambled(std::string text) {
    ScrambleBytes(text.data(), text.size());
    return text;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(static_cast<bool>(out));
}

void FuzzMemory(const std::string& text, TiXmlEncoding encoding) {
    const Outcome outcome = FromMemory(text, encoding);
    const std::string lf = LineEndsAsLf(text);
    if (lf != text) {
        FUZZ_CHECK(FromMemory(lf, encoding) == outcome);
    }
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos && nul > 0) {
        FUZZ_CHECK(FromMemory(text.substr(0, nul), encoding) == outcome);
    }
}

void FuzzScrambledOpenFile(const std::string& text, TiXmlEncoding encoding) {
    if (text.empty()) {
        return;  // an open file of no bytes is the route-3 case of an empty file
    }
    std::string scrambled = Scrambled(text);
    FILE* file = fmemopen(scrambled.data(), scrambled.size(), "rb");
    FUZZ_CHECK(file != nullptr);
    XmlDocument document;
    bool loaded = false;
    {
        const ParseBufferGuard guard(text.size(), true);
        loaded = document.LoadScrambledFile(file, encoding);
        FUZZ_CHECK(guard.Placed());
    }
    std::fclose(file);
    FUZZ_CHECK(Describe(document, loaded) == FromMemory(text, encoding));
}

void FuzzScrambledFileByName(const std::string& text, TiXmlEncoding encoding) {
    const fs::path path = configDir / "document.XmLx";
    WriteFile(path, Scrambled(text));
    XmlDocument document;
    bool loaded = false;
    {
        const ParseBufferGuard guard(text.size(), true);
        loaded = document.LoadFile(path.string(), encoding);
        FUZZ_CHECK(text.empty() || guard.Placed());
    }
    FUZZ_CHECK(document.ValueStr() == path.string());
    if (text.empty()) {
        FUZZ_CHECK(!loaded && document.ErrorId() == TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY);
        return;
    }
    FUZZ_CHECK(Describe(document, loaded) == FromMemory(text, encoding));
}

void FuzzStringTable(const std::string& text) {
    WriteFile(configDir / "config" / "StringTable" / "fuzz.xml", text);

    // A table loads when the text is a document with a root element.
    XmlDocument reference;
    const bool parsed =
        !text.empty() && reference.LoadFromMemory(text.data(), static_cast<int>(text.size()),
                                                  TIXML_ENCODING_UNKNOWN);
    const TiXmlElement* root = parsed ? reference.RootElement() : nullptr;
    std::vector<std::string> keys;
    if (root != nullptr) {
        for (const TiXmlElement* e = root->FirstChildElement(); e != nullptr;
             e = e->NextSiblingElement()) {
            keys.push_back(e->ValueStr());
        }
    }

    StringTable table;
    bool loaded = false;
    {
        const ParseBufferGuard guard(text.size(), true);
        loaded = table.LoadTable("fuzz");
        FUZZ_CHECK(text.empty() || guard.Placed());
    }
    FUZZ_CHECK(loaded == (root != nullptr));

    std::map<std::string, const std::string*> stored;
    for (const std::string& key : keys) {
        stored[key] = &table.GetString("fuzz", key);
    }
    const std::string& missing = table.GetString("fuzz", "\x01 not a key");
    FUZZ_CHECK(missing.empty());
    FUZZ_CHECK(&table.GetString("no such table", "key") == &missing);

    // Reading the same file again moves no stored text.
    FUZZ_CHECK(table.LoadTable("fuzz") == loaded);
    for (const auto& [key, text] : stored) {
        const std::string& again = table.GetString("fuzz", key);
        FUZZ_CHECK(&again == text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    static QuietLog quiet;
    os::Log::GetInstance().SetSink(&quiet);
    // A folder per process, named by its id. libFuzzer ends a bounded run or a crash without
    // running exit handlers, so the folders of processes that are gone are removed here.
    const fs::path temp = fs::temp_directory_path();
    const std::string prefix = "pyr-xml-fuzz-";
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(temp, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) {
            const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
            if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                fs::remove_all(entry.path(), ignored);
            }
        }
    }
    configDir = temp / (prefix + std::to_string(getpid()));
    fs::remove_all(configDir, ignored);
    fs::create_directories(configDir / "config" / "StringTable");
    // Table files come from this folder, never from a packed archive.
    setenv("PLINTH_CONFIG_DIR", configDir.c_str(), 1);
    setenv("SATCHEL_MODE", "files", 1);
    std::atexit([] {
        std::error_code error;
        fs::remove_all(configDir, error);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader in(data, size);
    const std::uint8_t mode = in.Byte();
    std::size_t length = 0;
    const std::uint8_t* rest = in.Rest(length);
    const std::string text(reinterpret_cast<const char*>(rest), length);
    static constexpr TiXmlEncoding kEncodings[] = {TIXML_ENCODING_UNKNOWN, TIXML_ENCODING_UTF8,
                                                   TIXML_ENCODING_LEGACY, TIXML_ENCODING_UNKNOWN};
    const TiXmlEncoding encoding = kEncodings[(mode >> 2) & 3];
    switch (mode & 3) {
        case 0:
            FuzzMemory(text, encoding);
            break;
        case 1:
            FuzzScrambledOpenFile(text, encoding);
            break;
        case 2:
            FuzzStringTable(text);
            break;
        default:
            FuzzScrambledFileByName(text, encoding);
            break;
    }
    return 0;
}
