"""The receiver's playback schedule: which audio goes out when it will be heard
at a given host time, how errors are worked off, and when it moves at once;
and the buffer depth and output timing it reports. All with times passed in."""

import array
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "Tools"))
from recv import BLOCK_FRAMES, Playout, buffer_depth_ms, output_anchor_ns  # noqa: E402

MS = 1_000_000
RATE = 48000
CHUNK_FRAMES = 960
CHUNK_NS = 20 * MS
START = 5_000 * MS  # due time of the first chunk on the host clock
BLOCK_NS = BLOCK_FRAMES * 1e9 / RATE
# What is left of an error once it is worked off: under a tenth of a millisecond.
SETTLED_FRAMES = 4


def ramp_chunk(seq):
    """Every frame holds its own index in the stream, 1-based so that silence
    (0) stands out, split over the two channels."""
    first = seq * CHUNK_FRAMES + 1
    return array.array("h", [v for i in range(first, first + CHUNK_FRAMES)
                             for v in (i >> 15, i & 0x7FFF)]).tobytes()


def frames_of(data):
    """The frame indices of stereo PCM made of ramp chunks."""
    values = array.array("h", data)
    return [(values[i] << 15) | values[i + 1] for i in range(0, len(values), 2)]


class Listener:
    """Plays the schedule into a sound server whose latency is `latency_ns` and
    records which frame sounds when, block by block."""

    def __init__(self, playout, chunks=300):
        self.playout = playout
        for seq in range(chunks):
            playout.add(START + seq * CHUNK_NS, ramp_chunk(seq))
        self.heard = START  # host time at which the next block written is heard
        self.frames = []

    def play(self, seconds, latency_change_ns=0):
        """`seconds` of blocks; the first is heard `latency_change_ns` later than
        the stream so far would have it (a slower route, or a faster one)."""
        self.heard += latency_change_ns
        first = len(self.frames)
        for _ in range(round(seconds * 1e9 / BLOCK_NS)):
            self.frames += frames_of(self.playout.block(round(self.heard), BLOCK_FRAMES))
            self.heard += BLOCK_NS
        return self.frames[first:]

    def errorFrames(self):
        """How many frames late the next frame would sound: the frame heard now
        should be the one due now."""
        due_index = round((self.heard - START) * RATE / 1e9) + 1
        return due_index - (self.frames[-1] + 1)


class InStep(unittest.TestCase):
    def test_every_frame_is_heard_when_it_is_due(self):
        listener = Listener(Playout(2))
        out = listener.play(1.0)
        self.assertEqual(out, list(range(1, len(out) + 1)))
        self.assertEqual(listener.playout.syncErrorNanos, 0)
        self.assertEqual(listener.playout.slewedFrames, 0)
        self.assertEqual(listener.playout.steps, 0)

    def test_stereo_frames_stay_whole(self):
        playout = Playout(2)
        pcm = array.array("h", [v for i in range(CHUNK_FRAMES) for v in (i, -i)]).tobytes()
        playout.add(START, pcm)
        out = array.array("h", playout.block(START + 100 * 1e9 / RATE, BLOCK_FRAMES))
        self.assertEqual(list(out[:4]), [100, -100, 101, -101])

    def test_missing_audio_is_silence_and_the_next_chunk_starts_on_time(self):
        playout = Playout(2)
        playout.add(START + 2 * CHUNK_NS, ramp_chunk(2))  # chunks 0 and 1 never came
        listener = Listener(playout, chunks=0)
        out = listener.play(0.06)
        self.assertEqual(out[:2 * CHUNK_FRAMES], [0] * (2 * CHUNK_FRAMES))
        self.assertEqual(out[2 * CHUNK_FRAMES:], list(range(2 * CHUNK_FRAMES + 1,
                                                            len(out) + 1)))

    def test_a_chunk_that_comes_after_its_time_counts_as_late(self):
        listener = Listener(Playout(2), chunks=5)
        listener.play(0.2)
        listener.playout.add(START + 3 * CHUNK_NS, ramp_chunk(3))
        self.assertEqual(listener.playout.late, 1)
        self.assertEqual(listener.playout.played, 5)

    def test_playback_starting_late_skips_to_the_audio_due_now(self):
        # The stream is first heard 130 ms after the first chunk was due.
        listener = Listener(Playout(2))
        listener.heard = START + 130 * MS
        out = listener.play(0.1)
        self.assertEqual(out[0], 130 * RATE // 1000 + 1)
        self.assertEqual(listener.playout.steps, 0)  # nothing was heard out of place
        self.assertEqual(listener.playout.late, 6)


class LatencyChanges(unittest.TestCase):
    def assertContinuous(self, frames, step):
        """Consecutive frames run on by one, apart from single frames left out
        (step 2) or heard twice (step 0): no silence, no jumps."""
        allowed = {1, step}
        steps = [b - a for a, b in zip(frames, frames[1:])]
        self.assertTrue(set(steps) <= allowed, sorted(set(steps)))
        self.assertNotIn(0, frames)

    def test_a_slower_route_is_caught_up_by_leaving_frames_out(self):
        listener = Listener(Playout(2))
        listener.play(1.0)
        out = listener.play(1.0, latency_change_ns=16 * MS)
        # A few frames per block, not a jump: after a second some of it is left.
        self.assertGreater(listener.errorFrames(), 4 * RATE // 1000)
        out += listener.play(2.0)
        self.assertContinuous(out, 2)
        self.assertLessEqual(abs(listener.errorFrames()), SETTLED_FRAMES)
        self.assertLess(abs(listener.playout.syncErrorNanos), 0.1 * MS)
        self.assertEqual(listener.playout.steps, 0)

    def test_a_faster_route_is_waited_for_by_hearing_frames_twice(self):
        listener = Listener(Playout(2))
        listener.play(1.0)
        out = listener.play(3.0, latency_change_ns=-12 * MS)
        self.assertContinuous(out, 0)
        self.assertLessEqual(abs(listener.errorFrames()), SETTLED_FRAMES)
        self.assertEqual(listener.playout.steps, 0)

    def test_an_error_too_large_to_work_off_moves_the_playout_at_once(self):
        for change_ms in (45, -45):
            with self.subTest(change_ms=change_ms):
                listener = Listener(Playout(2))
                listener.play(1.0)
                listener.play(0.1, latency_change_ns=change_ms * MS)
                self.assertLessEqual(abs(listener.errorFrames()), SETTLED_FRAMES)
                self.assertEqual(listener.playout.steps, 1)

    def test_after_an_underrun_even_a_small_error_is_put_right_at_once(self):
        listener = Listener(Playout(2))
        listener.play(1.0)
        listener.playout.resync()
        listener.play(0.1, latency_change_ns=8 * MS)
        self.assertLessEqual(abs(listener.errorFrames()), SETTLED_FRAMES)
        self.assertEqual(listener.playout.steps, 1)

    def test_one_odd_timing_reading_moves_nothing(self):
        listener = Listener(Playout(2))
        listener.play(0.5)
        listener.heard += 40 * MS
        listener.frames += frames_of(listener.playout.block(round(listener.heard), BLOCK_FRAMES))
        listener.heard += BLOCK_NS - 40 * MS
        out = listener.play(0.5)
        self.assertEqual(listener.playout.steps, 0)
        self.assertEqual(listener.playout.slewedFrames, 0)
        self.assertEqual(out[-1] - out[0], len(out) - 1)


class Refit(unittest.TestCase):
    def test_frames_left_out_or_repeated_are_spread_over_the_block(self):
        playout = Playout(1)
        block = array.array("h", range(1, 11)).tobytes()
        for frames, expected in [(8, [1, 2, 3, 5, 6, 8, 9, 10]),
                                 (12, [1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10]),
                                 (10, list(range(1, 11)))]:
            with self.subTest(frames=frames):
                self.assertEqual(list(array.array("h", playout._refit(block, frames))), expected)


class Reports(unittest.TestCase):
    def test_buffer_depth_is_the_newest_chunks_lead_on_the_host_clock(self):
        cases = [
            ("nothing received", None, START, None),
            ("just arrived", START + 1500 * MS, START + 27 * MS, 1473),
            ("whole milliseconds, rounded down", START + 300 * MS, START + 900_000, 299),
            ("due now", START, START, 0),
            ("already past its playout time", START, START + 900 * MS, 0),
            ("more than the report carries", START + 70_000 * MS, START, 0xFFFF),
        ]
        for name, newest_due, host_now, depth in cases:
            with self.subTest(name):
                self.assertEqual(buffer_depth_ms(newest_due, host_now), depth)

    def test_output_anchor_places_the_next_write_on_the_clock(self):
        bps = RATE * 4
        stamp, sink_usec, queued = 10_000 * MS, 12_000, bps * 30 // 1000
        # (written by this side, the server's write index): the same, or the
        # server's moved on past an underrun.
        for written, write_index in [(2 * bps, 2 * bps), (2 * bps, 2 * bps + bps // 20)]:
            with self.subTest(moved=write_index - written):
                anchor = output_anchor_ns(stamp, sink_usec, write_index, write_index - queued,
                                          written, bps)
                # 30 ms queued behind a 12 ms sink: the next write is heard 42 ms on.
                self.assertAlmostEqual(anchor + written * 1e9 / bps, stamp + 42 * MS)


if __name__ == "__main__":
    unittest.main()
