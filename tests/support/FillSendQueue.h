// Filling a game-server client's send path against a server that never reads.
#pragma once

#include <vector>

#include "net/NetMsg.h"

namespace test {

/// Sends 60 KB messages (type 32, id 255) through `client` until one is refused, at most
/// 2000 of them: far more than any pair of socket buffers and a bounded queue hold. True when
/// a send was refused.
template <class Client>
bool SendUntilRefused(Client& client) {
    NetMsg big(32, 255);
    const std::vector<char> payload(60000, 'x');
    if (!big.AddChunk(payload.data(), static_cast<int>(payload.size()), 0)) {
        return false;
    }
    for (int i = 0; i < 2000; ++i) {
        if (!client.SendNetMsg(&big)) {
            return true;
        }
    }
    return false;
}

}  // namespace test
