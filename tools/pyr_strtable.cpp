// pyr-strtable: the content author's tool for string table files.
//
//   pyr-strtable scramble IN OUT          IN's bytes, scrambled, to OUT (an ".xmlx" file)
//   pyr-strtable unscramble IN OUT        the reverse
//   pyr-strtable pack CONFIG_DIR ARCHIVE  the tree under CONFIG_DIR into a zip ARCHIVE
//   pyr-strtable lookup TABLE KEY         KEY's text in TABLE, read as the client reads it
//   pyr-strtable check TABLE              where the client reads TABLE otherwise than it says
//   pyr-strtable help | --help | --version
//
// The commands are CLI11 subcommands (cli/CommandLine.h), parsed like every other program's
// options. Exit status: 0 on success, 1 when the operation failed, 2 on a usage error; nothing
// else, whatever the paths name. Inputs must be regular files (or links to them). Outputs are
// written to a new temporary file beside their final name and renamed into place, so a failed
// run never leaves a half-written file behind and nothing planted beside the output is written
// through (satchel/WholeFile.h).
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/CommandLine.h"
#include "plinth/Path.h"
#include "satchel/WholeFile.h"
#include "satchel/ZipPack.h"
#include "text/Scramble.h"
#include "text/StringTable.h"
#include "text/TableCheck.h"

namespace {

namespace fs = std::filesystem;
using satchel::ReadWholeFile;
using satchel::WriteWholeFile;

constexpr int kOk = 0;
constexpr int kFailed = 1;

constexpr const char* kDescription = "pyr-strtable: the content author's tool for string tables";

constexpr const char* kFooter =
    "IN and the files under CONFIG_DIR must be regular files or links to them; a directory,\n"
    "FIFO or device is refused. OUT and ARCHIVE are written to a new file beside them\n"
    "(\"OUT.partial.XXXXXX\") that is renamed into place once complete. An OUT that is a\n"
    "symbolic link to a file is replaced by the new file, not written through; an OUT that\n"
    "is, or links to, a directory, FIFO, device or a process's open file (/dev/stdout, also\n"
    "when the output is sent to a file) is refused. A path that begins with '-' follows\n"
    "\"--\".\n"
    "\n"
    "exit status: 0 success, 1 failure, 2 usage error\n";

// CLI11's help, with the tool's own usage line and every command listed with its arguments
// ("pack CONFIG_DIR ARCHIVE"): an author reads the whole synopsis in one place.
class CommandFormatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App* app, std::string name) const override {
        if (app->get_parent() == nullptr) {
            return "usage: " + name + " COMMAND ARGUMENTS\n";
        }
        return "usage: " + name + Arguments(*app) + "\n";
    }

    std::string make_subcommand(const CLI::App* command) const override {
        std::stringstream out;
        CLI::detail::format_help(out, command->get_name() + Arguments(*command),
                                 command->get_description(), get_column_width());
        return out.str();
    }

private:
    /// " IN OUT": the command's arguments, in order.
    static std::string Arguments(const CLI::App& command) {
        std::string names;
        for (const CLI::Option* argument :
             command.get_options([](const CLI::Option* o) { return o->get_positional(); })) {
            names += " " + argument->get_name();
        }
        return names;
    }
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "pyr-strtable: %s\n", message.c_str());
    return kFailed;
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

using text_check::TableSource;

// The table is read through the client's own loader, so what this prints is what the client
// shows. An empty element is not stored by the loader, so it reads as a missing key.
/// Says on standard error when the archive the environment names cannot be read.
void WarnIfArchiveNotRead() {
    if (const std::string why = text_check::ArchiveNotRead(); !why.empty()) {
        std::fprintf(stderr, "pyr-strtable: %s\n", why.c_str());
    }
}

int Lookup(const std::string& table, const std::string& key) {
    WarnIfArchiveNotRead();
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
    return cli::StandardOutputWritten("pyr-strtable") ? kOk : kFailed;
}

// One line per finding, "SOURCE:LINE: what" as a compiler says it, so that an editor can go
// there; nothing when every text reads as written.
int Check(const std::string& table) {
    WarnIfArchiveNotRead();
    std::string bytes;
    std::string error;
    if (!text_check::ReadTableFile(table, bytes, error)) {
        return Fail("check: " + error);
    }
    const std::string source = TableSource(table);
    const text_check::TableReport report = text_check::CheckTableText(bytes);
    for (const text_check::Finding& finding : report.findings) {
        const std::string where =
            finding.line > 0 ? source + ":" + std::to_string(finding.line) + ":" : source + ":";
        std::printf("%s %s\n", where.c_str(), finding.text.c_str());
    }
    if (std::fflush(stdout) != 0) {
        return kFailed;
    }
    return report.findings.empty() ? kOk : kFailed;
}

/// A command: its name, what the help says of it, and its arguments, all required.
struct Command {
    const char* name;
    const char* description;
    std::vector<const char*> arguments;
    std::function<int(const std::vector<std::string>&)> run;
};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"scramble",
         "write IN scrambled to OUT (the \".xmlx\" form of an XML file)",
         {"IN", "OUT"},
         [](const std::vector<std::string>& a) { return Scramble(a[0], a[1]); }},
        {"unscramble",
         "write IN unscrambled to OUT (IN and OUT may be the same file)",
         {"IN", "OUT"},
         [](const std::vector<std::string>& a) { return Scramble(a[0], a[1]); }},
        {"pack",
         "pack every file under CONFIG_DIR into the zip ARCHIVE, named\n"
         "relative to CONFIG_DIR (\"config/StringTable/common.xml\")",
         {"CONFIG_DIR", "ARCHIVE"},
         [](const std::vector<std::string>& a) { return Pack(a[0], a[1]); }},
        {"lookup",
         "print KEY's text in the string table TABLE, read the way the\n"
         "client reads it: from the packed archive when the packed\n"
         "resource library (beside this tool, or in the lib/ folder\n"
         "of its prefix) says so, else from\n"
         "CONFIG/config/StringTable/TABLE.xml, where CONFIG is\n"
         "$PLINTH_CONFIG_DIR, else this tool's folder if it holds\n"
         "config/, else share/PyrMiniMap of its prefix",
         {"TABLE", "KEY"},
         [](const std::vector<std::string>& a) { return Lookup(a[0], a[1]); }},
        {"check",
         "say where the client reads the string table TABLE (found as\n"
         "lookup finds it) otherwise than its file says: a text cut,\n"
         "condensed or lost, character references read as single\n"
         "bytes, a key given twice, an \"&\" that is dropped, the parse\n"
         "error; one line each, exit status 1 when there is any",
         {"TABLE"},
         [](const std::vector<std::string>& a) { return Check(a[0]); }},
    };
    return commands;
}

bool IsCommand(CLI::App& app, const std::string& word) {
    return !app.get_subcommands([&word](CLI::App* command) { return command->check_name(word); })
                .empty();
}

int Run(int argc, char** argv) {
    CLI::App app{kDescription};
    app.formatter(std::make_shared<CommandFormatter>());
    cli::Prepare(app, "pyr-strtable");
    app.footer(kFooter);
    // At most one command: once it is given, a later word that names a command ("lookup common
    // pack") is an argument.
    app.require_subcommand(0, 1);

    // Whichever command is given fills these, its arguments in order.
    std::vector<std::string> values(2);
    std::vector<std::pair<CLI::App*, const Command*>> parsers;
    for (const Command& command : Commands()) {
        CLI::App* parser = app.add_subcommand(command.name, command.description);
        parser->group("Commands");
        for (std::size_t i = 0; i < command.arguments.size(); ++i) {
            parser->add_option(command.arguments[i], values[i])->required()->type_name("");
        }
        parsers.emplace_back(parser, &command);
    }
    CLI::App* help = app.add_subcommand("help", "show this text (also --help)")->group("Commands");

    // CLI11 would call a missing command "a subcommand" and a mistyped one an argument it did
    // not expect: an author is told in the tool's own words.
    if (argc < 2) {
        return cli::UsageError(app, "no command given");
    }
    const std::string first = argv[1];
    if (first.empty() || (first.front() != '-' && !IsCommand(app, first))) {
        return cli::UsageError(app, "unknown command \"" + first + "\"");
    }
    if (const int exitCode = cli::Parse(app, argc, argv); exitCode >= 0) {
        return exitCode;
    }
    if (help->parsed()) {
        std::cout << cli::Help(app);
        return cli::StandardOutputWritten("pyr-strtable") ? kOk : kFailed;
    }
    for (const auto& [parser, command] : parsers) {
        if (parser->parsed()) {
            return command->run(values);
        }
    }
    return cli::UsageError(app, "no command given");
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output must not be the number of the archive that pack writes.
    cli::OpenClosedStandardStreams();
    // Whatever fails on the way (memory, above all) is an ordinary failure with its reason,
    // never an abort with a status outside 0, 1 and 2.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        return Fail(std::string("unexpected failure: ") + e.what());
    }
}
