// pyr-strtable: the content author's tool for string table files.
//
//   pyr-strtable scramble IN OUT          IN's bytes, scrambled, to OUT (an ".xmlx" file)
//   pyr-strtable unscramble IN OUT        the reverse
//   pyr-strtable pack CONFIG_DIR ARCHIVE  the tree under CONFIG_DIR into a zip ARCHIVE
//   pyr-strtable lookup TABLE KEY         KEY's text in TABLE, read as the client reads it
//   pyr-strtable help | --help | --version
//
// Exit status: 0 on success, 1 when the operation failed, 2 on a usage error; nothing else,
// whatever the paths name. Inputs must be regular files (or links to them). Outputs are
// written to a new temporary file beside their final name and renamed into place, so a failed
// run never leaves a half-written file behind and nothing planted beside the output is written
// through (satchel/WholeFile.h).
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "PyrMiniMapVersion.h"
#include "plinth/Path.h"
#include "satchel/WholeFile.h"
#include "satchel/ZipPack.h"
#include "text/PackedResourceLibrary.h"
#include "text/Scramble.h"
#include "text/StringTable.h"

namespace {

namespace fs = std::filesystem;
using satchel::ReadWholeFile;
using satchel::WriteWholeFile;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "usage: pyr-strtable COMMAND ARGUMENTS\n"
    "\n"
    "commands:\n"
    "  scramble IN OUT          write IN scrambled to OUT (the \".xmlx\" form of an XML file)\n"
    "  unscramble IN OUT        write IN unscrambled to OUT (IN and OUT may be the same file)\n"
    "  pack CONFIG_DIR ARCHIVE  pack every file under CONFIG_DIR into the zip ARCHIVE, named\n"
    "                           relative to CONFIG_DIR (\"config/StringTable/common.xml\")\n"
    "  lookup TABLE KEY         print KEY's text in the string table TABLE, read the way the\n"
    "                           client reads it: from the packed archive when the packed\n"
    "                           resource library (beside this tool, or in the lib/ folder\n"
    "                           of its prefix) says so, else from\n"
    "                           $PLINTH_CONFIG_DIR/config/StringTable/TABLE.xml\n"
    "  help                     show this text (also --help)\n"
    "  --version                show the version\n"
    "\n"
    "IN and the files under CONFIG_DIR must be regular files or links to them; a directory,\n"
    "FIFO or device is refused. OUT and ARCHIVE are written to a new file beside them\n"
    "(\"OUT.partial.XXXXXX\") that is renamed into place once complete. An OUT that is a\n"
    "symbolic link to a file is replaced by the new file, not written through; an OUT that\n"
    "is, or links to, a directory, FIFO or device (/dev/stdout) is refused.\n"
    "\n"
    "exit status: 0 success, 1 failure, 2 usage error\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "pyr-strtable: %s\n", message.c_str());
    return kFailed;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "pyr-strtable: %s\n\n%s", message.c_str(), kUsageText);
    return kUsage;
}

// Scrambling is its own inverse; both commands run this.
int Scramble(const fs::path& in, const fs::path& out) {
    std::string data;
    std::string error;
    if (!ReadWholeFile(in, data, error)) {
        return Fail(error);
    }
    ScrambleBytes(data.data(), data.size());
    if (!WriteWholeFile(out, data, error)) {
        return Fail(error);
    }
    return kOk;
}

int Pack(const fs::path& directory, const fs::path& archive) {
    std::string error;
    if (!satchel::PackDirectory(directory, archive, error)) {
        return Fail("pack: " + error);
    }
    return kOk;
}

// Where the client would read the table from, for messages.
std::string TableSource(const std::string& table) {
    const std::string member = "config/StringTable/" + table + ".xml";
    if (PackedResourceLibrary::Instance().IsLoadFromArchive()) {
        return "archive member " + member;
    }
    return os::GetConfigDirectory() + "/" + member;
}

// The table is read through the client's own loader, so what this prints is what the client
// shows. An empty element is not stored by the loader, so it reads as a missing key.
int Lookup(const std::string& table, const std::string& key) {
    StringTable strings;
    if (!strings.LoadTable(table)) {
        return Fail("cannot read table \"" + table + "\" from " + TableSource(table) +
                    " (missing, empty, malformed or without a root element)");
    }
    const std::string& text = strings.GetString(table, key);
    if (text.empty()) {
        return Fail("no text for key \"" + key + "\" in table \"" + table + "\" (" +
                    TableSource(table) + ")");
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    return std::fflush(stdout) == 0 ? kOk : kFailed;
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        return Usage("no command given");
    }
    const std::string_view command = argv[1];
    const int arguments = argc - 2;
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    if (command == "--version") {
        std::puts("pyr-strtable " PYR_MINIMAP_VERSION_STRING);
        return kOk;
    }
    if (command == "scramble" || command == "unscramble") {
        if (arguments != 2) {
            return Usage(std::string(command) + " takes IN and OUT");
        }
        return Scramble(argv[2], argv[3]);
    }
    if (command == "pack") {
        if (arguments != 2) {
            return Usage("pack takes CONFIG_DIR and ARCHIVE");
        }
        return Pack(argv[2], argv[3]);
    }
    if (command == "lookup") {
        if (arguments != 2) {
            return Usage("lookup takes TABLE and KEY");
        }
        return Lookup(argv[2], argv[3]);
    }
    return Usage("unknown command \"" + std::string(command) + "\"");
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever fails on the way (memory, above all) is an ordinary failure with its reason,
    // never an abort with a status outside 0, 1 and 2.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        return Fail(std::string("unexpected failure: ") + e.what());
    }
}
