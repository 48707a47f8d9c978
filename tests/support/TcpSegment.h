// The TCP segments that the capture tests and the fuzz seeds write into captures.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/Pcapng.h"

namespace test {

/// A segment of the one connection between the client's `clientPort` and the server, with no
/// acknowledgement number and an IP id of zero. `payload` is not copied: it must outlive the
/// segment's use.
inline capture::Segment TcpSegment(bool fromClient, std::uint16_t clientPort, std::uint32_t seq,
                                   std::uint8_t flags, const void* payload, std::size_t size) {
    return {.fromClient = fromClient,
            .clientPort = clientPort,
            .seq = seq,
            .flags = flags,
            .payload = payload,
            .size = size};
}

}  // namespace test
