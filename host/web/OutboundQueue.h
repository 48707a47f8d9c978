// OutboundQueue: the messages waiting to be written to one browser, bounded.
//
// The producer (whoever publishes a change, often the game-server client's network thread)
// must never wait for a browser. Push therefore never blocks and never grows the queue past
// its bounds: a push that would overflow refuses the message and marks the queue overflowed
// for good, and the owner drops that browser (it has fallen behind by more than the bound, and
// a map with a gap in its changes would be wrong). The browser gets the whole map again when
// it reconnects.
//
// Not thread-safe: the owner guards it (one small lock per browser).
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

namespace host::web {

class OutboundQueue {
public:
    using Message = std::shared_ptr<const std::string>;

    OutboundQueue(std::size_t maxMessages, std::size_t maxBytes)
        : maxMessages(maxMessages), maxBytes(maxBytes) {}

    /// Appends the message; false, and overflowed from now on, when it would exceed either
    /// bound (or the queue has overflowed before). The message shared by every browser is not
    /// copied.
    bool Push(Message message) {
        if (overflowed || messages.size() + 1 > maxMessages || bytes + message->size() > maxBytes) {
            overflowed = true;
            messages.clear();
            bytes = 0;
            return false;
        }
        bytes += message->size();
        messages.push_back(std::move(message));
        return true;
    }

    /// The oldest message; null when empty. It stays queued (and counted) until Pop; the
    /// writer keeps its copy of the pointer while writing, as an overflow empties the queue.
    Message Front() const { return messages.empty() ? nullptr : messages.front(); }
    void Pop() {
        bytes -= messages.front()->size();
        messages.pop_front();
    }

    bool Empty() const noexcept { return messages.empty(); }
    bool Overflowed() const noexcept { return overflowed; }
    std::size_t Size() const noexcept { return messages.size(); }
    std::size_t Bytes() const noexcept { return bytes; }

private:
    std::deque<Message> messages;
    std::size_t bytes = 0;
    const std::size_t maxMessages;
    const std::size_t maxBytes;
    bool overflowed = false;
};

}  // namespace host::web
