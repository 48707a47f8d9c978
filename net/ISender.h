// ISender: the game-server client's side of a received message, as a handler sees it.
//
// The game-server client passes one with every message it delivers, and never a null one;
// handlers of this module do not look into it. It is opaque on purpose: what a sender offers
// belongs to the game-server client, and handlers that need to answer do so through its own
// interface.
#pragma once

class ISender {
public:
    virtual ~ISender() = default;

protected:
    ISender() = default;
    ISender(const ISender&) = default;
    ISender& operator=(const ISender&) = default;
};
