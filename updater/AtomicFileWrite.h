// AtomicFileWrite: replaces a file's contents all at once. The bytes go to a
// hidden temporary file in the same directory, which is flushed to disk and
// then renamed over the target, so a crash, a full disk or a failed write
// leaves either the old file or the new one, never a partial one. Used by the
// settings files and by the store when it writes BIRD files.
#pragma once

#include <cstddef>
#include <string>

#include "common/aErr.h"

// aErrNone on success. aErrNotFound when the temporary file cannot be created
// (missing directory, no permission), aErrIO when writing, flushing or the
// final rename fails; the target is then untouched and no temporary file is
// left. When systemError is not null it receives the errno of the failure.
aErr AtomicFileWrite(const std::string& path, const void* data, size_t length,
                     int* systemError = nullptr);
