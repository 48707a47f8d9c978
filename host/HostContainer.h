// HostContainer: the client core's root container, into which the minimap module plugs.
//
// It owns nothing: the host program creates its plug-ins, registers them here, hands this
// container to the module's entry points, starts and stops the tree, unregisters and deletes.
#pragma once

#include "plugin/HostServices.h"
#include "plugin/PluginContainer.h"

namespace host {

class HostContainer final : public pyr::Container<HostContainer, HostContainerTypeId> {
public:
    HostContainer() { SetContainerName("minimap-client"); }
};

}  // namespace host
