/* Lock-free single-producer/single-consumer ring of fixed-size capture slots: it carries
 * every capture delivery from the realtime capture callback (the producer) to the sender
 * thread (the consumer). Each function below names the one thread that may call it. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The ring's control block; its users hold only a pointer to it. */
typedef struct sr_ring sr_ring;

/* The header at the start of every slot. The producer fills it through the pointer that
 * sr_ring_begin_write returns, the consumer reads it through sr_ring_begin_read's pointer.
 * Plane 0 starts right after it, at byte 24 of the slot. */
typedef struct sr_slot {
    uint64_t host_time_ns; /* host time of the delivery's first frame, in nanoseconds */
    uint32_t frames;       /* frames in this slot, 1 ... frames per slot */
    uint32_t channels;     /* planes 0 ... channels - 1 hold data */
    uint32_t flags;        /* the producer writes 0; nothing reads it */
    uint32_t reserved;
} sr_slot;

/* Largest slot count a ring can be asked for: the count is rounded up to a power of two
 * and must still fit in 32 bits. */
#define SR_RING_MAX_SLOTS 0x80000000u

/* Creates a ring of slot_count slots (rounded up to a power of two, at least 2) of
 * frames_per_slot frames in channels planes, zero-filled. Returns NULL when frames_per_slot
 * or channels is 0, slot_count exceeds SR_RING_MAX_SLOTS, the sizes overflow, or memory
 * cannot be had. Any non-realtime thread, before the ring is shared. */
sr_ring* sr_ring_create(uint32_t slot_count, uint32_t frames_per_slot, uint32_t channels);

/* Frees the ring and its slots; NULL does nothing. The owner, once producer and consumer
 * are done with it. */
void sr_ring_destroy(sr_ring* ring);

/* Producer. Returns the next free slot, or NULL when slot count - 1 slots are filled. */
sr_slot* sr_ring_begin_write(sr_ring* ring);

/* Producer. Plane `plane` of a slot from sr_ring_begin_write, or NULL when plane is not
 * below the ring's channel count. Each plane holds frames-per-slot floats. */
float* sr_slot_plane(const sr_ring* ring, sr_slot* slot, uint32_t plane);

/* Producer. Publishes the slot from sr_ring_begin_write: its header and plane stores become
 * visible to the consumer together with it. */
void sr_ring_commit_write(sr_ring* ring);

/* Producer. Counts a delivery that was dropped. */
void sr_ring_note_overrun(sr_ring* ring);

/* Producer, first thing in every callback. Counts the callback. */
void sr_ring_note_call(sr_ring* ring);

/* Producer. Records the shape of the latest delivery: its buffer count, the byte size and
 * the channel count of its first buffer. Diagnostic only: a reader may see a mix of two
 * deliveries. */
void sr_ring_note_shape(sr_ring* ring, uint32_t buffers, uint32_t bytes, uint32_t channels);

/* Consumer. Returns the oldest filled slot, or NULL when the ring is empty. */
const sr_slot* sr_ring_begin_read(sr_ring* ring);

/* Consumer. Plane `plane` of a slot from sr_ring_begin_read, or NULL when plane is not
 * below the ring's channel count. */
const float* sr_slot_plane_const(const sr_ring* ring, const sr_slot* slot, uint32_t plane);

/* Consumer. Releases the slot from sr_ring_begin_read back to the producer. */
void sr_ring_commit_read(sr_ring* ring);

/* Any thread. Slots ever committed by the producer. */
uint64_t sr_ring_writes(const sr_ring* ring);

/* Any thread. Filled slots: committed writes minus released reads, in 32 bits. */
uint32_t sr_ring_depth(const sr_ring* ring);

/* Any thread. Dropped deliveries. */
uint64_t sr_ring_overruns(const sr_ring* ring);

/* Any thread. Callbacks seen. */
uint64_t sr_ring_calls(const sr_ring* ring);

/* Any thread. The latest delivery's shape as given to sr_ring_note_shape. */
uint32_t sr_ring_last_buffers(const sr_ring* ring);
uint32_t sr_ring_last_bytes(const sr_ring* ring);
uint32_t sr_ring_last_channels(const sr_ring* ring);

#ifdef __cplusplus
}
#endif
