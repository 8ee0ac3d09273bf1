/* Test-only access to the capture ring: lets a test reach index wrap-around without
 * billions of writes. Call only on a ring that no producer or consumer uses yet. */
#pragma once

#include <stdint.h>

#include "ring/sr_ring.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sets the write and read indices to `index`, leaving the ring empty, as if `index` slots
 * had been written and read. */
void sr_ring_testing_start_at(sr_ring* ring, uint64_t index);

#ifdef __cplusplus
}
#endif
