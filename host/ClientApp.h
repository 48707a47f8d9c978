// minimap-client: the reference host of the minimap module.
//
// It plays the client core: it builds the host container with a role system, a game-server
// client and a user-interface plug-in, loads libPyr_MiniMap.so as the client core does
// (InitPlugin, InitPluginContainer(host), StartContainer, run, ShutdownContainer,
// ReleasePluginContainer(host), ReleasePlugin, unload) and shows the minimap: a live map on a
// terminal, plain lines elsewhere, or JSON lines with --events jsonl. Without --server it
// starts the game-server simulator in the same process on a free loopback port.
//
// Lock order, everywhere in the host: the client core lock, then the root container's lock,
// then leaf locks (the game-server client's dispatcher and send queue, the tick chain, the
// view's report slot). The tree is started, stopped and released holding the core lock; the
// network thread is stopped before that, without it, since a delivery may be waiting for it.
#pragma once

#include <cstddef>
#include <string_view>

#include "host/ClientOptions.h"

namespace host {

/// Runs the client; returns the exit code (0 after a clean shutdown).
int RunClient(const ClientOptions& options);

/// How many of the `pending` output bytes to write at once: `page` at most, cut after the last
/// line end within them when there is one. A pipe takes a write of up to a page whole or not at
/// all, so a reader that is given up on, or goes away, is left with whole lines (bar a line
/// longer than a page).
std::size_t WholeLinesPage(std::string_view pending, std::size_t page);

}  // namespace host
