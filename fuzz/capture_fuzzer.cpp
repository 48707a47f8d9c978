// Fuzz target: the capture reader (pcapng and pcap files, link layers, IP and TCP, stream
// reassembly and framing) and the message decoder behind pyr-netdump and the replays, which
// take files from anywhere.
//
// Input: the whole file. The reader must end (items, then the end or an error), never read
// outside the file, name the offset in every error, hand out items in frame order with their
// connections numbered, and every item must print as one line of JSON without raw control
// characters and as text. Fed in pieces, as a live capture comes, it must give the same items
// and the same error.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "capture/CaptureReader.h"
#include "capture/Decode.h"
#include "fuzz/FuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    capture::CaptureReader reader(std::string(reinterpret_cast<const char*>(data), size));
    capture::CapturedItem item;
    std::uint64_t lastFrame = 0;
    std::size_t items = 0;
    std::vector<capture::CapturedItem> all;
    while (reader.Next(item)) {
        all.push_back(item);
        FUZZ_CHECK(item.frame >= lastFrame);
        FUZZ_CHECK(item.connection >= 1);
        lastFrame = item.frame;
        const std::string json = capture::FormatJson(item, reader.GetOriginNs().value_or(0));
        FUZZ_CHECK(json.size() >= 2 && json.front() == '{' && json.back() == '}');
        for (const char c : json) {
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
        }
        FUZZ_CHECK(!capture::FormatText(item, 0).empty());
        // Items come from bytes of the file: never more than a few per input byte.
        FUZZ_CHECK(++items <= size + 8);
    }
    FUZZ_CHECK(reader.GetError().empty() || reader.GetError().rfind("offset ", 0) == 0);
    FUZZ_CHECK(!reader.Next(item));

    capture::CaptureReader fed{capture::CaptureReaderOptions{}};
    const std::size_t piece = size == 0 ? 1 : 1 + data[size - 1] % 97;
    std::size_t at = 0;
    std::size_t index = 0;
    while (true) {
        while (fed.Next(item)) {
            FUZZ_CHECK(index < all.size());
            const capture::CapturedItem& same = all[index++];
            FUZZ_CHECK(item.kind == same.kind && item.frame == same.frame &&
                       item.connection == same.connection && item.bytes == same.bytes &&
                       item.error == same.error);
        }
        if (!fed.NeedsInput()) {
            break;
        }
        if (at < size) {
            const std::size_t n = std::min(piece, size - at);
            fed.Append(std::string_view(reinterpret_cast<const char*>(data) + at, n));
            at += n;
        } else {
            fed.EndInput();
        }
    }
    FUZZ_CHECK(index == all.size());
    FUZZ_CHECK(fed.GetError() == reader.GetError() && fed.GetWarning() == reader.GetWarning());
    return 0;
}
