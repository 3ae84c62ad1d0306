// Wiping secrets (the login password) once they are no longer needed.
#pragma once

#include <cstddef>

// Sets n bytes at p to zero through volatile stores, which the compiler must
// keep even when the memory is never read again (a dead frame, a slot
// released later).
void wipe_secret(void* p, size_t n);
