// USB half of module discovery: walks the USB devices of the process-wide
// libusb context and reports every Corvantis module as a linkSpec of type USB.
// Called by aDiscovery_EnumerateModules for the USB link type.
#pragma once

#include <cstdint>

#include "common/aLinkSpec.h"

// Discovery callback: receives a found module (owned by the enumeration and
// destroyed right after the call; copy it to keep it), a taken flag that
// starts false, and the caller's reference. Setting *taken counts the module;
// returning false stops the enumeration.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* taken, void* reference);

// Enumerates the USB modules, calling found for each until it returns false.
// Returns the number of modules whose callback set the taken flag. Devices
// that cannot be opened or read are passed over; nothing is reported as an
// error, so 0 means nothing found or nothing taken.
uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc found, void* reference);
