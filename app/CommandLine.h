// Reading the command line into a Parameters record: _get_params with its
// validation and release, and the strict number readers used for option
// arguments. Used by start-up in main and by the tests.
#pragma once

#include <cstdint>

#include "app/Parameters.h"
#include "app/UpdaterDisplayInterface.h"

// Fills params from the command line. Returns 0 when it is usable, 1 when any
// option was rejected with a message; stops and returns 0 at a help option.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);
// Checks run after a clean parse; there are none, so it returns 0.
int _validate_params(Parameters* params);
// Releases what the record holds. Never fails.
void _release_params(Parameters* params);

// The value of text in base 16 (hex digits only) or base 10 (decimal digits
// only). 0 when end is null, when text is empty, holds any other character,
// or names a value that does not fit in 32 bits. *end is left after the
// digits read.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);
