// The container type identifiers this module knows: its own, the host's and its siblings'.
#pragma once

#include "plugin/Guid.h"

/// The client core's host container, into which the minimap registers itself.
inline constexpr GUID HostContainerTypeId =
    MakeGuid(0x95C395B2, 0x99B3, 0x4ABB, 0xBDFE, 0x5523BE8CDDB6);
/// The minimap container (Pyr_MiniMap).
inline constexpr GUID MiniMapContainerTypeId =
    MakeGuid(0x1B2B9CDF, 0xD2FC, 0x4DBE, 0xB35F, 0xB1368733E731);
/// The role system (pyr::IRoleSystem), a sibling of the minimap under the host.
inline constexpr GUID RoleSystemTypeId =
    MakeGuid(0x90B07DFB, 0x05E6, 0x4220, 0xB461, 0x2B0AF71B2185);
/// The game-server client (pyr::IGameServerClient), a child of the host.
inline constexpr GUID GameServerClientTypeId =
    MakeGuid(0xDBA482BF, 0xAD45, 0x4333, 0x8A8D, 0x9992A7A27D18);
