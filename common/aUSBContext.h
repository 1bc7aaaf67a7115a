// The process-wide libusb context shared by USB streams and USB discovery.
// Created on first use under its own mutex; Corvantis_libusb_exit destroys it
// so that the next use starts afresh (the update flow does this after a
// module has re-enumerated).
#pragma once

struct libusb_context;

// The shared context, created when there is none; null only when libusb
// cannot be initialised.
libusb_context* Corvantis_libusb_context();
// Same as Corvantis_libusb_context.
libusb_context* Corvantis_libusb_init();
// Destroys the shared context and clears it. Callers make sure no USB stream
// is open.
void Corvantis_libusb_exit();
