// Writes the seed corpora of the fuzz targets: a few dozen small inputs per target, each a
// valid or nearly valid case of what the target reads, so that fuzzing starts from the
// interesting shapes instead of from nothing. Run by the build; the corpora live in the build
// tree only.
//
//     make_seeds OUTPUT_DIR SOURCE_DIR
//
// writes OUTPUT_DIR/<target>/<name> for the targets netmsg, minimap, xml, scenario, capture and
// archive, reading the sample string tables and the scenarios from SOURCE_DIR. Each input's
// format is described at the top of its target's source.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/Pcapng.h"
#include "support/HostileFiles.h"
#include "support/TcpSegment.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

fs::path outputDir;
int written = 0;
bool failed = false;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const fs::path dir = outputDir / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "make_seeds: cannot write %s\n", (dir / name).c_str());
        failed = true;
    }
    ++written;
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "make_seeds: cannot read %s\n", path.c_str());
        failed = true;
        return {};
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void Put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(Bytes& b, std::uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

void Put64(Bytes& b, std::uint64_t v) {
    Put32(b, static_cast<std::uint32_t>(v));
    Put32(b, static_cast<std::uint32_t>(v >> 32));
}

Bytes Int(std::int32_t v) {
    Bytes b;
    Put32(b, static_cast<std::uint32_t>(v));
    return b;
}

Bytes Id(std::uint64_t v) {
    Bytes b;
    Put64(b, v);
    return b;
}

Bytes Selector(std::uint8_t v) {
    return Bytes{v};
}

Bytes Player(std::uint64_t id, std::uint32_t x = 10, std::uint32_t y = 20) {
    Bytes b = Id(id);
    Put32(b, x);
    Put32(b, y);
    return b;
}

Bytes Npc(std::uint64_t id, std::uint8_t fill = 0x41) {
    Bytes b = Id(id);
    b.resize(80, fill);
    return b;
}

/// A message in the wire format, with its chunks numbered from 0; `lengthField` overrides the
/// header's length when not negative.
Bytes Message(unsigned type, unsigned id, const std::vector<Bytes>& chunks, long lengthField = -1) {
    Bytes body;
    unsigned position = 0;
    for (const Bytes& data : chunks) {
        Put16(body, position++);
        Put16(body, static_cast<unsigned>(data.size() + 4));
        body.insert(body.end(), data.begin(), data.end());
    }
    Bytes b;
    Put16(b, type);
    Put16(b, id);
    Put16(b, lengthField >= 0 ? static_cast<unsigned>(lengthField)
                              : static_cast<unsigned>(body.size() + 6));
    return b + body;
}

Bytes Sync(const std::vector<Bytes>& chunks) {
    return Message(32, 254, chunks);
}

void NetMsgSeeds() {
    const auto whole = [](const std::string& name, const Bytes& message) {
        Write("netmsg", "whole-" + name, Bytes{0} + message);
    };
    whole("empty", Message(32, 254, {}));
    whole("poll", Message(32, 255, {Int(5)}));
    whole("query", Message(32, 255, {Int(3), Int(7)}));
    whole("set-player", Sync({Int(0), Selector(1), Player(1)}));
    whole("set-npc", Sync({Int(0), Selector(0), Npc(2)}));
    whole("remove", Sync({Int(1), Selector(1), Id(1)}));
    whole("clear", Sync({Int(2)}));
    whole("query-result", Sync({Int(3), Npc(3)}));
    whole("empty-chunk", Sync({Bytes{}}));
    whole("max-chunks", Message(32, 254, std::vector<Bytes>(256, Bytes{})));
    whole("too-many-chunks", Message(32, 254, std::vector<Bytes>(257, Bytes{})));
    whole("length-below-header", Message(32, 254, {}, 5));
    whole("length-above-limit", Message(32, 254, {}, 64513));
    whole("length-mismatch", Message(32, 254, {Int(2)}, 13));
    whole("header-cut", Bytes{0x20, 0x00, 0xFE, 0x00, 0x06});
    Bytes smallChunk = Message(32, 254, {Int(2)});
    smallChunk[8] = 3;  // chunkSize below its own header
    whole("chunk-size-below-header", smallChunk);
    Bytes longChunk = Message(32, 254, {Int(2)});
    longChunk[8] = 9;  // one byte past the message
    whole("chunk-past-end", longChunk);
    whole("chunk-header-cut", Message(32, 254, {Int(2)}) + Bytes{0x00, 0x00});

    const Bytes stream = Sync({Int(0), Selector(1), Player(1)}) + Sync({Int(2)}) +
                         Message(32, 255, {Int(5)}) + Sync({Int(3), Npc(4)});
    const auto streamed = [](const std::string& name, const Bytes& cuts, const Bytes& bytes) {
        Write("netmsg", "stream-" + name,
              Bytes{1, static_cast<std::uint8_t>(cuts.size())} + cuts + bytes);
    };
    streamed("whole", {}, stream);
    streamed("bytewise", {1}, stream);
    streamed("odd-cuts", {5, 6, 7, 13, 2}, stream);
    streamed("ends-inside-message", {3, 11}, Bytes(stream.begin(), stream.end() - 9));
    streamed("invalid-length-midway", {4, 9},
             Sync({Int(2)}) + Message(32, 254, {}, 3) + Sync({Int(4)}));
    streamed(
        "malformed-then-more", {8},
        Sync({Int(2)}) + Bytes{0x20, 0x00, 0xFE, 0x00, 0x08, 0x00, 0x00, 0x00} + Sync({Int(4)}));
}

// Steps of the minimap target: kind, 16-bit length, payload.
Bytes Step(std::uint8_t kind, const Bytes& payload = {}) {
    Bytes b{kind};
    Put16(b, static_cast<unsigned>(payload.size()));
    return b + payload;
}

// A chunk list: each chunk as its size byte and its data.
Bytes Chunks(const std::vector<Bytes>& chunks) {
    Bytes b;
    for (const Bytes& c : chunks) {
        b.push_back(static_cast<std::uint8_t>(c.size()));
        b.insert(b.end(), c.begin(), c.end());
    }
    return b;
}

Bytes Wire(const Bytes& message) {
    return Step(0, message);
}

Bytes Built(const std::vector<Bytes>& chunks) {
    return Step(1, Chunks(chunks));
}

void MiniMapSeeds() {
    const auto seed = [](const std::string& name, const Bytes& steps) {
        Write("minimap", name, steps);
    };
    seed("set-both-stores", Wire(Sync({Int(0), Selector(1), Player(1)})) +
                                Wire(Sync({Int(0), Selector(0), Npc(1)})) +
                                Built({Int(0), Selector(7), Player(2, 3, 4)}));
    seed("set-replaces", Built({Int(0), Selector(1), Player(5, 1, 1)}) +
                             Built({Int(0), Selector(1), Player(5, 2, 2)}));
    seed("remove-present-and-absent",
         Built({Int(0), Selector(1), Player(9)}) + Built({Int(0), Selector(0), Npc(9)}) +
             Built({Int(1), Selector(1), Id(9)}) + Built({Int(1), Selector(1), Id(9)}) +
             Built({Int(1), Selector(0), Id(8)}));
    seed("clear-keeps-query", Built({Int(3), Npc(4)}) + Built({Int(0), Selector(1), Player(4)}) +
                                  Built({Int(2)}) + Built({Int(2)}));
    seed("query-first-record-stays",
         Built({Int(3), Npc(6, 1)}) + Built({Int(3), Npc(6, 2)}) + Built({Int(4)}));
    seed("unknown-codes", Built({Int(5)}) + Built({Int(255)}) + Built({Int(-1)}));
    seed("malformed",
         Built({Bytes{0, 0}}) + Built({Int(0)}) + Built({Int(0), Selector(1), Npc(1)}) +
             Built({Int(0), Bytes{1, 1}, Player(1)}) + Built({Int(1)}) +
             Built({Int(1), Selector(1), Int(1)}) + Built({Int(3), Player(1)}) + Built({}));
    seed("ids-high-bits", Built({Int(0), Selector(1), Player(0x100000001ULL)}) +
                              Built({Int(0), Selector(1), Player(1)}) +
                              Built({Int(0), Selector(1), Player(0)}));
    Bytes otherId;
    Put16(otherId, 32);
    Put16(otherId, 253);
    Bytes otherType;
    Put16(otherType, 33);
    Put16(otherType, 254);
    seed("other-id-and-type", Step(2, otherId + Chunks({Int(2)})) +
                                  Step(2, otherType + Chunks({Int(0), Selector(1), Player(3)})));
    seed("role-reset", Built({Int(0), Selector(1), Player(1)}) + Built({Int(3), Npc(2)}) + Step(3) +
                           Built({Int(2)}));
    seed("query-request",
         Built({Int(3), Npc(2)}) + Step(4, Int(7) + Bytes{1}) + Step(4, Int(-1) + Bytes{0}));
    seed("polls", Step(5, {0}) + Step(5, {1 | 4 | 8}) + Step(5, {1 | 2 | 4 | 8}) +
                      Step(5, {1 | 4}) + Step(5, {1 | 8}));
    seed("raw-garbage",
         Wire(Bytes{0x20, 0x00, 0xFE, 0x00, 0x07, 0x00, 0x01}) + Wire(Bytes{1, 2, 3}));
}

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

std::string Numbered(const std::string& prefix, const std::string& suffix, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += prefix + std::to_string(i) + suffix;
    }
    return out;
}

void XmlSeeds(const fs::path& source) {
    const auto seed = [](const std::string& name, std::uint8_t mode, const Bytes& text) {
        Write("xml", name, Bytes{mode} + text);
    };
    const fs::path tables = source / "data" / "sample-config" / "config" / "StringTable";
    const Bytes common = ReadFile(tables / "common.xml");
    const Bytes pet = ReadFile(tables / "PetSystem.xml");
    seed("memory-common", 0, common);
    seed("memory-pet-utf8", 0 | (1 << 2), pet);
    seed("scrambled-common", 1, common);
    seed("table-common", 2, common);
    seed("table-pet", 2, pet);
    seed("scrambled-name-pet", 3, pet);

    const std::vector<std::pair<std::string, std::string>> documents = {
        {"declaration-comment", "<?xml version=\"1.0\"?>\n<!-- texts -->\n<r><k>v</k></r>"},
        {"crlf", "<r>\r\n<a>one\r\ntwo</a>\r<b>x</b>\r\n</r>"},
        {"entities", "<r><a>&amp;&lt;&gt;&quot;&apos;&#65;&#x42;</a></r>"},
        {"cdata", "<r><a><![CDATA[<not a tag>]]></a></r>"},
        {"nested-and-empty", "<r><K>x</K><L/><M><N>y</N></M><K>z</K></r>"},
        {"second-root", "<r><a>1</a></r><s><b>2</b></s>"},
        {"doctype", "<!DOCTYPE r><r><a>1</a></r>"},
        {"attributes", "<r id='1'><a k=\"v\">t</a></r>"},
        {"unclosed", "<r><a>text</r>"},
        {"nul-inside", std::string("<r><a>x</a></r>\0<junk", 22)},
        {"bom", "\xEF\xBB\xBF<r><a>\xE4\xB8\xAD</a></r>"},
        {"gbk", "<r><a>\xD6\xD0\xCE\xC4</a></r>"},
        {"no-element", "<?xml version=\"1.0\"?><!-- only a comment -->"},
        {"bom-cut-lead-byte", "\xEF\xBB\xBF<a>x\xD5"},
        {"declared-utf8-cut", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xF0"},
        {"attribute-cut", "\xEF\xBB\xBF<a x='\xF0"},
        // Shapes beyond the limits, and nesting that only an exact reading sees.
        {"nested-at-limit", Repeat("<a>", 64) + Repeat("</a>", 64)},
        {"nested-too-deep", "<r>" + Repeat("<a>", 200)},
        {"attribute-flood", "<r><a" + Numbered(" a", "='1'", 100) + ">x</a></r>"},
        {"utf8-lead-swallows-end-tag", "\xEF\xBB\xBF<r>" + Repeat("<a>\xE5</a>", 80) + "</r>"},
        {"entity-swallows-end-tag", "<r>" + Repeat("<a>&#x</a>x;", 80) + "</r>"},
        {"quoted-empty-close", "<r>" + Repeat("<a v=\"/>\">", 80) + "</r>"},
        {"nested-after-root", "<r/>" + Repeat("<a>", 80)},
    };
    for (const auto& [name, text] : documents) {
        for (std::uint8_t route = 0; route < 4; ++route) {
            static const char* const kRoutes[] = {"memory", "scrambled", "table", "scrambled-name"};
            seed(std::string(kRoutes[route]) + "-" + name, route, Text(text));
        }
    }
    seed("memory-legacy-gbk", 0 | (2 << 2), Text("<r><a>\xD6\xD0</a></r>"));
}

void ScenarioSeeds(const fs::path& source) {
    for (const auto& entry : fs::directory_iterator(source / "scenarios")) {
        if (entry.path().extension() == ".scn") {
            Write("scenario", entry.path().filename().string(), ReadFile(entry.path()));
        }
    }
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"every-statement",
         "title \"All \\\"of\\\" it\\\\\"\nloop 2s\n0 player 1 appear x=1 y=2\n"
         "0ms npc 2 appear name=\"A\" x=0.5 y=-1 kind=3 quest=-1\n"
         "100 player 1 move x=3 y=4\n100 npc 2 move x=1 y=1\n200 npc 2 update quest=7 name=\"B\"\n"
         "300 player 1 leave\n300 npc 2 leave\n400 clear\n500 role-reset # done\n"},
        {"crlf", "0s player 1 appear x=1 y=1\r\n1s clear\r\n"},
        {"out-of-order", "2s clear\n1s clear\n"},
        {"absent-leave", "0 player 4 leave\n"},
        {"long-name", "0 npc 1 appear name=\"" + std::string(53, 'n') + "\" x=0 y=0\n"},
        {"loop-too-early", "loop 1s\n2s clear\n"},
        {"big-numbers", "604800000 player 18446744073709551615 appear x=3.4e38 y=-0\n"},
        {"bad-escape", "title \"a\\n\"\n"},
    };
    for (const auto& [name, text] : texts) {
        Write("scenario", name, Text(text));
    }
}

/// A capture as the programs write it: one connection with a poll, a Set and a query answer,
/// the Set also in two segments out of order, then the close and the final statistics.
void CaptureSeeds() {
    const Bytes poll = Message(32, 255, {Int(5)});
    const Bytes set = Sync({Int(0), Selector(1), Player(1)});
    const Bytes result = Sync({Int(3), Npc(7)});
    std::string file = capture::SectionHeaderBlock("make_seeds") +
                       capture::InterfaceDescriptionBlock("seed") +
                       capture::InterfaceStatisticsBlock({1000, 1000, {}, {}, {}, ""});
    std::string packets;
    std::int64_t time = 1000;
    const auto segment = [&](bool fromClient, std::uint32_t seq, std::uint8_t flags,
                             const Bytes& payload) {
        const capture::Segment s =
            test::TcpSegment(fromClient, 40000, seq, flags, payload.data(), payload.size());
        packets += capture::EnhancedPacketBlock(time += 1000, capture::EthernetFrame(s), 0);
    };
    segment(true, 0, capture::kTcpSyn, {});
    segment(false, 0, capture::kTcpSyn | capture::kTcpAck, {});
    segment(true, 1, capture::kTcpPsh | capture::kTcpAck, poll);
    std::uint32_t serverSeq = 1;
    const Bytes second(set.begin() + 9, set.end());
    segment(false, serverSeq + 9, capture::kTcpAck, second);
    segment(false, serverSeq, capture::kTcpAck, Bytes(set.begin(), set.begin() + 9));
    serverSeq += static_cast<std::uint32_t>(set.size());
    segment(false, serverSeq, capture::kTcpAck, result + Message(32, 254, {Int(4)}));
    serverSeq += static_cast<std::uint32_t>(result.size() + 14);
    segment(true, 1 + static_cast<std::uint32_t>(poll.size()), capture::kTcpFin | capture::kTcpAck,
            {});
    segment(false, serverSeq, capture::kTcpFin | capture::kTcpAck, {});
    const std::string end = capture::InterfaceStatisticsBlock({time, 1000, time, 9, 2, "seed"});
    const auto bytes = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    Write("capture", "session", bytes(file + packets + end));
    Write("capture", "cut-inside-a-block",
          bytes((file + packets).substr(0, file.size() + packets.size() - 7)));
    Write("capture", "two-sections", bytes(file + packets + file + packets + end));
    // The same packets as a classic pcap file of raw IPv4 (link type 101).
    Bytes pcap = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0,   0, 0, 0,
                  0,    0,    0,    0,    0, 0, 4, 0, 101, 0, 0, 0};
    for (std::size_t at = 0; at + 28 <= packets.size();) {
        std::uint32_t total = 0;
        std::memcpy(&total, packets.data() + at + 4, 4);
        std::uint32_t captured = 0;
        std::memcpy(&captured, packets.data() + at + 20, 4);
        Put32(pcap, static_cast<std::uint32_t>(at));
        Put32(pcap, 0);
        Put32(pcap, captured - 14);
        Put32(pcap, captured - 14);
        pcap.insert(pcap.end(), packets.begin() + static_cast<long>(at) + 28 + 14,
                    packets.begin() + static_cast<long>(at) + 28 + captured);
        at += total;
    }
    Write("capture", "pcap-raw-ip", pcap);
}

// Archives around the member size limit the archive target sets (1 MiB): the sample tables
// stored, deflated members that declare or inflate to more than the limit or than they
// declare, and archives damaged where the library's checks look.
void ArchiveSeeds(const fs::path& source) {
    constexpr std::uint64_t kLimit = 1U << 20;
    const auto write = [](const std::string& name,
                          const std::vector<test::ArchiveMember>& members) {
        const std::string bytes = test::HostileArchive(members);
        Write("archive", name, Bytes(bytes.begin(), bytes.end()));
    };
    const auto stored = [](std::string name, std::string data) {
        return test::ArchiveMember{std::move(name), std::move(data), false, 0, 0};
    };
    const auto zeros = [](std::string name, std::uint64_t declared, std::uint64_t inflated) {
        return test::ArchiveMember{std::move(name), {}, true, declared, inflated};
    };
    const fs::path tables = source / "data/sample-config/config/StringTable";
    const auto table = [&](const char* file) {
        const Bytes bytes = ReadFile(tables / file);
        return stored(std::string("config/StringTable/") + file,
                      std::string(bytes.begin(), bytes.end()));
    };
    const std::string common = "config/StringTable/common.xml";
    const test::ArchiveMember commonTable = table("common.xml");
    write("tables", {commonTable, table("PetSystem.xml")});
    write("deflated", {zeros(common, 4096, 4096)});
    write("deflated-at-limit", {zeros(common, kLimit, kLimit)});
    write("declares-over-limit", {zeros(common, kLimit + 1, kLimit + 1)});
    write("declares-gibibyte", {zeros(common, std::uint64_t{1} << 30, 4096)});
    write("declares-32-bit-max", {zeros(common, UINT32_MAX, 4096)});
    write("inflates-past-declared", {zeros(common, 1024, kLimit / 2)});
    write("inflates-past-limit", {zeros(common, 1024, 4 * kLimit)});
    write("inflates-short-of-declared", {zeros(common, 4096, 100)});
    write("empty-member", {stored(common, "")});
    write("duplicate-names", {stored("a.xml", "<a/>"), stored("a.xml", "<b/>")});
    write("backslash-name", {stored("config\\StringTable\\common.xml", "<common/>")});
    write("directory-member", {stored("config/", ""), commonTable});
    std::string damaged = test::HostileArchive({commonTable});
    const std::size_t inData = 30 + common.size() + 5;  // past the local header and the name
    damaged[inData] = static_cast<char>(damaged[inData] ^ 0x20);
    Write("archive", "crc-mismatch", Bytes(damaged.begin(), damaged.end()));
    const std::string whole = test::HostileArchive({commonTable, zeros("z", 4096, 4096)});
    Write("archive", "cut-in-directory", Bytes(whole.begin(), whole.end() - 30));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR SOURCE_DIR\n", argv[0]);
        return 2;
    }
    outputDir = argv[1];
    const fs::path source = argv[2];
    std::error_code ignored;
    for (const char* target : {"netmsg", "minimap", "xml", "scenario", "capture", "archive"}) {
        fs::remove_all(outputDir / target, ignored);
    }
    NetMsgSeeds();
    MiniMapSeeds();
    XmlSeeds(source);
    ScenarioSeeds(source);
    CaptureSeeds();
    ArchiveSeeds(source);
    if (failed) {
        return 1;
    }
    std::printf("make_seeds: %d seeds in %s\n", written, outputDir.c_str());
    return 0;
}
