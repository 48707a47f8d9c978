// pyr-netdump: prints the messages of a capture file (pcapng or pcap), one line each, or one
// JSON object each with --json. See docs/capture.md.
//
// Exit status: 0 after the whole file (a file cut inside its last block is read up to the
// last whole block, with a warning on standard error); 1 when the file is damaged (what was
// read before the damage is printed, then the error with its offset) or cannot be read; 2
// for a wrong command line.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "capture/CaptureReader.h"
#include "capture/Decode.h"
#include "cli/CommandLine.h"

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (cli::OpenClosedStandardStreams()) {
        std::cerr << "pyr-netdump: standard output is closed\n";
        return 1;
    }
    CLI::App app{"pyr-netdump: the minimap protocol's messages in a capture file"};
    cli::Prepare(app, "pyr-netdump");
    std::string path;
    bool json = false;
    std::string direction;
    std::vector<std::string> ops;
    int serverPort = 0;
    app.add_option("FILE", path, "the capture (pcapng or pcap); - reads standard input")
        ->check(cli::kPath)
        ->type_name("FILE");
    app.add_flag("--json", json, "one JSON object per line (schema in docs/capture.md)");
    app.add_option("--direction", direction, "only messages of one direction")
        ->check(CLI::IsMember({"c2s", "s2c"}).description(""))
        ->type_name("c2s|s2c");
    // Every name the decoder gives a message. A name outside them (a typo) would match
    // nothing and print an empty capture, so it is refused.
    const std::vector<std::string> opNames = {"Set",  "Remove",  "Clear", "QueryResult", "QueryEnd",
                                              "Poll", "Query",   "Hello", "RoleReset",   "Tick",
                                              "Sync", "Request", "Other", "Malformed"};
    std::string opList;
    for (const std::string& name : opNames) {
        opList += (opList.empty() ? "" : ", ") + name;
    }
    // One name an --op, as many --op as wanted: a vector option would otherwise take every
    // word after it, the capture's name included.
    app.add_option("--op", ops, "only these messages (" + opList + "); repeatable")
        ->check(CLI::IsMember(opNames, CLI::ignore_case).description(""))
        ->allow_extra_args(false)
        ->type_name("OP");
    app.add_option("--server-port", serverPort,
                   "the server's TCP port (default: 7450, or found from the conversation)")
        ->check(CLI::Range(1, 65535).description(""))
        ->type_name("PORT")
        ->default_str("");  // 0 only means "not given"
    if (const int exitCode = cli::Parse(app, argc, argv); exitCode >= 0) {
        return exitCode;
    }
    // Checked here rather than by CLI11, which would report a missing FILE before it names an
    // unknown option.
    if (path.empty()) {
        return cli::UsageError(app, "FILE is required");
    }
    for (std::string& op : ops) {
        op = Lower(op);
    }

    // Read as it comes: a pipe from a live capture (`tcpdump -U -w - | pyr-netdump -`) shows
    // each message once its packet is in, and a file of any size takes no more memory than
    // its open conversations. "-" is standard input.
    const std::string name = path == "-" ? "/dev/stdin" : path;
    const int fd = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::cerr << "pyr-netdump: cannot read " << name << "\n";
        return 1;
    }
    capture::CaptureReaderOptions options;
    if (serverPort != 0) {
        options.serverPort = static_cast<std::uint16_t>(serverPort);
    }
    capture::CaptureReader reader(options);
    capture::CapturedItem item;
    std::string out;
    const bool filtered = !direction.empty() || !ops.empty();
    std::vector<char> chunk(std::size_t{1} << 16);
    while (true) {
        while (reader.Next(item)) {
            const std::int64_t origin = reader.GetOriginNs().value_or(item.timeNs);
            const bool message = item.kind == capture::CapturedItem::Kind::Message;
            if (!message && (item.kind != capture::CapturedItem::Kind::Problem || !ops.empty()) &&
                filtered) {
                continue;
            }
            if (!direction.empty() && direction != capture::ToString(item.direction)) {
                continue;
            }
            if (message && !ops.empty() &&
                std::find(ops.begin(), ops.end(), Lower(capture::DecodeMessage(item.bytes).name)) ==
                    ops.end()) {
                continue;
            }
            out =
                json ? capture::FormatJson(item, origin) + "\n" : capture::FormatText(item, origin);
            std::fwrite(out.data(), 1, out.size(), stdout);
        }
        if (!reader.NeedsInput()) {
            break;
        }
        std::fflush(stdout);  // what is read so far, before waiting for more
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got > 0) {
            reader.Append(std::string_view(chunk.data(), static_cast<std::size_t>(got)));
        } else if (got == 0) {
            reader.EndInput();
        } else if (errno != EINTR) {
            std::fflush(stdout);
            std::cerr << "pyr-netdump: cannot read " << name << "\n";
            return 1;
        }
    }
    std::fflush(stdout);
    if (!reader.GetError().empty()) {
        std::cerr << "pyr-netdump: " << path << ": " << reader.GetError() << "\n";
        return 1;
    }
    if (!reader.GetWarning().empty()) {
        std::cerr << "pyr-netdump: " << path << ": " << reader.GetWarning() << "\n";
    }
    return cli::StandardOutputWritten("pyr-netdump") ? 0 : 1;
}
