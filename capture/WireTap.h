// What the programs' network code tells a capture: connections opening and closing, and the
// bytes of every message in each direction, as they went over the wire.
//
// The game-server client and the simulator call a tap on their network thread (the client's
// sends from whichever thread sends); a tap returns at once and never blocks on a file. A tap
// is not owned by whoever calls it and must outlive the network code it is given to.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capture {

enum class Direction : std::uint8_t { ClientToServer, ServerToClient };

/// "c2s", "s2c".
inline const char* ToString(Direction d) noexcept {
    return d == Direction::ClientToServer ? "c2s" : "s2c";
}

class IWireTap {
public:
    virtual ~IWireTap() = default;
    /// A connection came up; `connection` names it in the calls that follow (from 1).
    virtual void Opened(std::uint64_t connection) = 0;
    /// `size` bytes went over `connection` in direction `d`: a whole message, the 6 header
    /// bytes of a message whose length is invalid, or what arrived of a message cut short.
    virtual void Bytes(std::uint64_t connection, Direction d, const void* bytes,
                       std::size_t size) = 0;
    /// The connection went down (either side closed it, or it broke).
    virtual void Closed(std::uint64_t connection) = 0;
};

}  // namespace capture
