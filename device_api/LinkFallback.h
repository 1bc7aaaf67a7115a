// The transport fallback of Link::discoverAndConnect: which link type to try
// when the first attempt found or reached nothing. Direct transports (USB,
// TCP/IP) fall back to a sharing server on this machine, sharing-server types
// to USB. Used by Link; kept apart so the decision can be checked on its own.
#pragma once

#include "common/aErr.h"
#include "common/aLinkSpec.h"
#include "device_api/aWeaveConfig.h"

namespace Veltrane::Corvantis {

// The type to try next, or INVALID when the first result stands.
linkType linkFallbackType(linkType tried, aErr result, const aWeaveConfig& config);

} // namespace Veltrane::Corvantis
