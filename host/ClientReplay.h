// The client's side of a capture replayed: the captured run's server messages go into the
// real module again, on the manual clock, with no network.
//
// Each item of the capture is played at its captured time, counted from the capture's start,
// on the process timer's manual clock: the clock is advanced to that moment first, so the
// timers that ran between two messages in the live run (polls, ticks) run between them
// again, on the calling thread. Then:
// - a connection opened or closed: `connection(true/false)`, as the game-server client's
//   connection observer is told;
// - a server message: `deliver`, as the network thread hands it to the type dispatcher; a
//   malformed one is dropped, as the live client dropped the connection (its close follows);
// - a query the client sent: `query(arg)`, since the module empties its query store when it
//   sends one; polls and ticks are the module's own timers' work and are left to them.
// Everything runs on the calling thread, so two replays of one file do the same things in
// the same order.
//
// A jump of the capture's clock beyond a day between two items (a damaged time stamp) is
// replayed as one day, with a line on the log: the timers would otherwise run every interval
// of it (a poll every 5 s of a hundred years takes minutes), and no event depends on how often
// they ran. What gaps the capture has are logged too.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class NetMsg;

namespace host {

struct ReplayHooks {
    std::function<void(bool up)> connection;
    std::function<void(const NetMsg& msg)> deliver;
    std::function<void(std::int32_t arg)> query;
};

/// Plays the capture at `path`. False with `error` set when the file cannot be read or is
/// damaged (the items before the damage were played). A file cut inside its last block plays
/// to its last whole block, with a warning on the log.
bool ReplayCapture(const std::string& path, const ReplayHooks& hooks, std::string& error);

}  // namespace host
