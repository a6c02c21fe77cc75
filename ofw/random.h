// Bytes from the kernel's random source, for keys, IVs and challenge contents.
#pragma once
#include <cstddef>

namespace ofw {

// Fills `length` bytes at `dst` (retrying after signals and short reads).
// Returns 0, or -1 with errno set when the source fails.
int fillRandom(void* dst, size_t length);

}  // namespace ofw
