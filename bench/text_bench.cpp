// Reading a string table of 100k entries (a few MB of XML with CR LF line ends):
//
//   Text.LoadTable.100k/os          StringTable::LoadTable: the file read from the
//                                   configuration directory, line ends normalised, parsed,
//                                   and every entry stored in the table
//   Text.LoadScrambled.100k/os      XmlDocument::LoadFile of the scrambled (.xmlx) variant of
//                                   the same table: read, unscrambled, normalised, parsed
//   Text.*/tinyxml_parse            TinyXML's own Parse of the same bytes, already in memory:
//                                   the parser alone
//
// Throughput is reported in bytes of the plain file per second for every row, so the rows of
// one group compare directly.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include "text/Scramble.h"
#include "text/StringTable.h"
#include "text/XmlDocument.h"

namespace {

constexpr int kEntries = 100000;
constexpr const char* kTableName = "Bench100k";

/// The generated table files, in a directory of their own that is the configuration
/// directory of this process.
struct TableFiles {
    TableFiles() {
        directory = std::filesystem::temp_directory_path() /
                    ("pyr-bench-text-" + std::to_string(::getpid()));
        const auto tables = directory / "config" / "StringTable";
        std::filesystem::create_directories(tables);

        text = "<?xml version=\"1.0\" ?>\r\n<StringTable>\r\n";
        for (int i = 0; i < kEntries; ++i) {
            const std::string key = "Entry_" + std::to_string(i);
            text += "    <" + key + ">Display text number " + std::to_string(i) +
                    " of the benchmark table</" + key + ">\r\n";
        }
        text += "</StringTable>\r\n";

        plainPath = (tables / (std::string(kTableName) + ".xml")).string();
        scrambledPath = (tables / (std::string(kTableName) + ".xmlx")).string();
        std::ofstream(plainPath, std::ios::binary) << text;
        std::string scrambled = text;
        ScrambleBytes(scrambled.data(), scrambled.size());
        std::ofstream(scrambledPath, std::ios::binary) << scrambled;

        ::setenv("PLINTH_CONFIG_DIR", directory.c_str(), 1);
    }
    ~TableFiles() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::filesystem::path directory;
    std::string text;
    std::string plainPath;
    std::string scrambledPath;
};

const TableFiles& Files() {
    static const TableFiles files;
    return files;
}

// Times `run` on a fresh Object an iteration; making and destroying the object are not timed.
// `run` returns false when it failed, which ends the benchmark with `failure`.
template <class Object, class Run>
void TimeOnFresh(benchmark::State& state, const char* failure, Run run) {
    const TableFiles& files = Files();  // written, and named to the process, on first use
    std::unique_ptr<Object> object;
    for (auto _ : state) {
        state.PauseTiming();
        object = std::make_unique<Object>();
        state.ResumeTiming();
        if (!run(*object)) {
            state.SkipWithError(failure);
            break;
        }
        state.PauseTiming();
        object.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long>(files.text.size()));
}

void LoadTableOs(benchmark::State& state) {
    TimeOnFresh<StringTable>(state, "LoadTable failed",
                             [](StringTable& table) { return table.LoadTable(kTableName); });
    // The table read is the generated one, from the file system.
    StringTable check;
    if (check.GetString(kTableName, "Entry_99999") !=
        "Display text number 99999 of the benchmark table") {
        state.SkipWithError("the table read is not the generated one");
    }
}

void LoadScrambledOs(benchmark::State& state) {
    const TableFiles& files = Files();
    TimeOnFresh<XmlDocument>(state, "LoadFile failed", [&files](XmlDocument& document) {
        if (!document.LoadFile(files.scrambledPath.c_str(), TIXML_ENCODING_UNKNOWN, true)) {
            return false;
        }
        benchmark::DoNotOptimize(document.RootElement());
        return true;
    });
}

void ParseTinyXml(benchmark::State& state) {
    const TableFiles& files = Files();
    TimeOnFresh<TiXmlDocument>(state, "Parse failed", [&files](TiXmlDocument& document) {
        document.Parse(files.text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
        if (document.Error()) {
            return false;
        }
        benchmark::DoNotOptimize(document.RootElement());
        return true;
    });
}

}  // namespace

BENCHMARK(LoadTableOs)->Name("Text.LoadTable.100k/os")->Unit(benchmark::kMillisecond);
BENCHMARK(ParseTinyXml)->Name("Text.LoadTable.100k/tinyxml_parse")->Unit(benchmark::kMillisecond);
BENCHMARK(LoadScrambledOs)->Name("Text.LoadScrambled.100k/os")->Unit(benchmark::kMillisecond);
BENCHMARK(ParseTinyXml)
    ->Name("Text.LoadScrambled.100k/tinyxml_parse")
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
