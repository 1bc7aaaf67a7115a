// Transport fallback decision (see LinkFallback.h).
#include "device_api/LinkFallback.h"

namespace Veltrane::Corvantis {

linkType linkFallbackType(linkType tried, aErr result, const aWeaveConfig& config)
{
    if (!config.fallback)
        return INVALID;
    if (tried == USB || tried == TCPIP) {
        if (result == aErrNotFound || result == aErrInitialization || result == aErrConnection)
            return AWEAVE;
        return INVALID;
    }
    if (isAWEAVE(tried)) {
        // A sharing-server type asked for while sharing is off is reached
        // directly instead.
        if (result == aErrNotFound || result == aErrInitialization || result == aErrConnection
            || result == aErrConfiguration)
            return USB;
    }
    return INVALID;
}

} // namespace Veltrane::Corvantis
