#!/usr/bin/env python3
"""A test receiver for a rave: connects to the host like a guest, reads the
stream format and the audio, runs the clock exchange, reports back once a
second, and can play the audio in step with the host clock, write it to a WAV
file, or check that a host on this machine streams cleanly.

    python3 Tools/recv.py --host 192.168.1.20 --port 40123 --play --stats
    python3 Tools/recv.py --host 127.0.0.1 --port 40123 --raw --timesync \\
        --assert-loopback --seconds 15

Standard library only; libopus and libpulse are loaded through ctypes.
"""

import argparse
import bisect
import ctypes
import ctypes.util
import ipaddress
import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import wave
from collections import deque

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zoranth_wire as wire  # noqa: E402

PROBE_INTERVAL_NS = 250_000_000
REPORT_INTERVAL_NS = 1_000_000_000
NANOS_PER_MS = 1_000_000
# Recent probes, whose shortest round trip is reported: about two seconds' worth.
PROBE_WINDOW = 8
# Probes the offset estimate may come from: about eight seconds' worth.
PROBE_HISTORY = 32
# How far two clocks may drift apart (100 ppm): an older probe's offset is that
# much less sure for every second of its age.
CLOCK_DRIFT = 1e-4
# The loopback check judges the estimate once this many probes back it, so one
# slow first answer on a busy machine does not decide the run.
SETTLED_PROBES = 4
# A probe whose answer has not come back within this long is forgotten.
PROBE_TIMEOUT_NS = 5_000_000_000
# Loopback expectations: one clock, so the offset is zero up to the probe's
# own asymmetry, and a round trip never leaves the machine.
LOOPBACK_MAX_OFFSET_NS = 1_000_000
LOOPBACK_MAX_RTT_NS = 5_000_000
# Chunk times come from a frame counter on the host's capture timeline, which the
# host slews by at most 500 ppm to follow the sound card's clock: 10 us per 20 ms
# chunk. Anything beyond twice that is a gap or a jump, not a slew.
CHUNK_STEP_TOLERANCE_NS = 20_000
# Playback: the latency asked of the sound server, room for this script to be
# kept from running a while on a busy machine, but at most a third of the host's
# playout delay, so that chunks still arrive in time to be written.
PLAYBACK_LATENCY_MS = 300
MIN_PLAYBACK_LATENCY_MS = 20
BLOCK_FRAMES = 960  # 20 ms
# How often a writer that found the stream full looks again.
WRITE_POLL_S = 0.005
# The sync error is the median over this many blocks, which rides out an odd
# timing reading.
ERROR_WINDOW = 5
# Decoded chunks held at most (a minute's worth), for a sound server that never
# starts the stream.
MAX_HELD_CHUNKS = 3000
# An error beyond this moves the playout at once (before any audio is heard,
# beyond the smaller limit); smaller ones are worked off by leaving out or
# repeating at most this many frames per block (0.8 %, about 8 ms a second), an
# eighth of the error at a time.
STEP_LIMIT_NS = 30_000_000
START_STEP_LIMIT_NS = 1_000_000
SLEW_FRAMES_PER_BLOCK = 8
SLEW_DIVISOR = 8
LOCKED_LIMIT_MICROS = 5_000
# A streaming host sends a chunk every 20 ms; the first report waits this long
# for one, so that it does not tell of an empty buffer just before audio arrives.
FIRST_CHUNK_PATIENCE_NS = 100_000_000
# Losses longer than this are not concealed chunk by chunk (a restarted stream).
MAX_CONCEALED_CHUNKS = 50


class ReceiverError(Exception):
    """A failure that ends the run with its one-line message and status 1."""


class Stop(Exception):
    """SIGTERM: end the run as Ctrl-C does."""


# ---------------------------------------------------------------- clock sync

class ClockSync:
    """Host-minus-guest clock offset from TimeReq/TimeResp probes. Each probe
    gives a round trip t4 - t1 and an offset t2 - (t1 + rtt/2), which is off by
    at most half the round trip, and by more the older it is, as the two clocks
    drift apart. The estimate takes the probe of the last few seconds for which
    that bound is smallest: a short trip, not too long ago. A passing burst of
    slow trips so leaves the estimate where it was, which playback needs.
    Times are passed in."""

    def __init__(self, window=PROBE_WINDOW, history=PROBE_HISTORY):
        self._pending = {}
        self._window = window
        self._probes = deque(maxlen=max(window, history))  # (t4, rtt, offset)
        self.latestRttNanos = None
        self.offsetNanos = None
        self.estimateRttNanos = None
        self.minRttNanos = None
        self.answered = 0

    def request(self, now_ns):
        for t1 in [t for t in self._pending if now_ns - t > PROBE_TIMEOUT_NS]:
            del self._pending[t1]
        t1 = now_ns
        while t1 in self._pending:
            t1 += 1
        self._pending[t1] = True
        return t1

    def response(self, t1, t2, t4):
        """Takes an answer; False when it answers no outstanding probe."""
        if self._pending.pop(t1, None) is None or t4 < t1:
            return False
        rtt = t4 - t1
        self._probes.append((t4, rtt, t2 - (t1 + rtt // 2)))
        _, self.estimateRttNanos, self.offsetNanos = min(
            self._probes, key=lambda p: p[1] / 2 + (t4 - p[0]) * CLOCK_DRIFT)
        self.latestRttNanos = rtt
        self.minRttNanos = min(p[1] for p in list(self._probes)[-self._window:])
        self.answered += 1
        return True

    @property
    def hasMeasurement(self):
        return self.offsetNanos is not None

    @property
    def isSettled(self):
        return len(self._probes) >= SETTLED_PROBES


# ---------------------------------------------------------------- stream continuity

class StreamTracker:
    """Counts chunks and checks that sequence numbers run on by one and chunk
    times step by one chunk's duration."""

    def __init__(self):
        self.frames = 0
        self.packetBytes = 0
        self.gaps = 0
        self.missingChunks = 0
        self.outOfOrder = 0
        self.badSteps = 0
        self.worstStepErrorNanos = 0
        self._last = None
        self.firstProblem = None

    def restart(self):
        """A new stream format: the host discards what it had queued."""
        self._last = None

    def add(self, header, packet_len, sample_rate):
        """Records a chunk; returns how many chunks were lost right before it."""
        self.frames += 1
        self.packetBytes += packet_len
        last, self._last = self._last, header
        if last is None:
            return 0
        step_seq = (header.seq - last.seq) & 0xFFFFFFFF
        if step_seq == 0 or step_seq >= 0x80000000:
            self.outOfOrder += 1
            self._note(f"chunk {header.seq} arrived after chunk {last.seq}")
            return 0
        lost = step_seq - 1
        if lost:
            self.gaps += 1
            self.missingChunks += lost
            self._note(f"{lost} chunk(s) missing between {last.seq} and {header.seq}")
            return lost
        expected = round(last.frameCount * 1_000_000_000 / sample_rate)
        error = header.hostTimeNanos - last.hostTimeNanos - expected
        if abs(error) > abs(self.worstStepErrorNanos):
            self.worstStepErrorNanos = error
        if abs(error) > CHUNK_STEP_TOLERANCE_NS:
            self.badSteps += 1
            self._note(f"chunk {header.seq} starts {error:+d} ns off its predecessor's end")
        return 0

    def _note(self, text):
        if self.firstProblem is None:
            self.firstProblem = text


# ---------------------------------------------------------------- opus

class OpusDecoder:
    """libopus through ctypes: one packet in, interleaved s16 PCM out."""

    MAX_FRAMES = 5760  # 120 ms at 48 kHz, the longest packet Opus has

    def __init__(self, channels, sample_rate=wire.SAMPLE_RATE):
        path = ctypes.util.find_library("opus")
        if path is None:
            raise ReceiverError("libopus not found (install libopus0, or use --raw)")
        lib = ctypes.CDLL(path)
        lib.opus_decoder_create.restype = ctypes.c_void_p
        lib.opus_decoder_create.argtypes = [ctypes.c_int32, ctypes.c_int,
                                            ctypes.POINTER(ctypes.c_int)]
        lib.opus_decode.restype = ctypes.c_int
        lib.opus_decode.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int32,
                                    ctypes.POINTER(ctypes.c_int16), ctypes.c_int, ctypes.c_int]
        lib.opus_decoder_destroy.argtypes = [ctypes.c_void_p]
        lib.opus_strerror.restype = ctypes.c_char_p
        lib.opus_strerror.argtypes = [ctypes.c_int]
        error = ctypes.c_int(0)
        state = lib.opus_decoder_create(sample_rate, channels, ctypes.byref(error))
        if not state or error.value != 0:
            raise ReceiverError(f"cannot decode a {channels}-channel stream at {sample_rate} Hz: "
                                f"{lib.opus_strerror(error.value).decode()}")
        self._lib, self._state, self.channels = lib, state, channels
        self._pcm = (ctypes.c_int16 * (self.MAX_FRAMES * channels))()

    def decode(self, packet):
        """PCM bytes for a packet; an empty packet is concealed as lost.
        Raises ReceiverError for a packet the library cannot read."""
        data = bytes(packet) if packet else None
        frames = self._lib.opus_decode(self._state, data, len(packet) if packet else 0,
                                       self._pcm, self.MAX_FRAMES, 0)
        if frames < 0:
            raise ReceiverError(self._lib.opus_strerror(frames).decode())
        return bytes(memoryview(self._pcm).cast("B")[:frames * self.channels * 2])

    def close(self):
        if self._state:
            self._lib.opus_decoder_destroy(self._state)
            self._state = None


# ---------------------------------------------------------------- playback

def buffer_depth_ms(newest_due_ns, host_now_ns):
    """How far ahead of its playout time the newest chunk held is, in whole ms
    within the report's 0-65535: the playout time is the chunk's host time plus
    the playout delay, `host_now_ns` the host clock now as this guest estimates
    it. None until a chunk has arrived."""
    if newest_due_ns is None:
        return None
    return max(0, min((newest_due_ns - host_now_ns) // NANOS_PER_MS, 0xFFFF))


def playback_latency_ms(buffer_delay_ms):
    """The output latency to ask of the sound server under the host's delay."""
    return max(MIN_PLAYBACK_LATENCY_MS, min(PLAYBACK_LATENCY_MS, buffer_delay_ms // 3))


def output_anchor_ns(stamp_ns, sink_usec, write_index, read_index, written, bytes_per_second):
    """When the stream's first byte would be heard, from one timing report of the
    sound server: at `stamp_ns` the byte at `read_index` was due to reach the
    listener after the sink's latency; the byte at `write_index`, where the next
    write goes, that much later again. `written` is what this side has written
    so far: where the server moved its write index (it does after an underrun),
    the anchor follows."""
    heard_at_write_index = (stamp_ns + sink_usec * 1000
                            + (write_index - read_index) * 1e9 / bytes_per_second)
    return heard_at_write_index - written * 1e9 / bytes_per_second


def system_to_monotonic_ns():
    """What to add to a system-clock reading to put it on the monotonic clock.
    The two readings are taken close together; of a few tries the one least
    spread out wins, so that being preempted between them costs nothing."""
    best = None
    for _ in range(3):
        before = time.monotonic_ns()
        system = time.time_ns()
        after = time.monotonic_ns()
        if best is None or after - before < best[0]:
            best = (after - before, (before + after) // 2 - system)
    return best[1]


def _median(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2]


class Playout:
    """Which audio to write next so that every chunk is heard when it is due.

    Chunks are kept by their due time on the host clock (the chunk's host time
    plus the playout delay). A cursor on that timeline says which frame goes out
    next; each block is asked for with the host time at which its first frame
    will be heard, which the sound server's timing gives. The difference is the
    sync error. Small errors are worked off by leaving out or repeating single
    frames, a few per block, which no one hears; an error too large for that
    (the first chunk, a route with another latency, a stall) moves the cursor at
    once. Times are passed in; one caller at a time."""

    def __init__(self, channels, rate=wire.SAMPLE_RATE):
        self.channels = channels
        self.rate = rate
        self.frameBytes = 2 * channels
        self._chunks = []  # [due_ns, pcm, frames read], by due time
        self._cursor = None  # due time of the next frame to write
        self._sounding = False  # a chunk's audio has been written since the (re)start
        self._heardAny = False
        self._errors = deque(maxlen=ERROR_WINDOW)
        self.syncErrorNanos = None
        self.played = 0
        self.late = 0
        self.steps = 0
        self.slewedFrames = 0

    def _nanos(self, frames):
        return frames * 1e9 / self.rate

    def _frames(self, nanos):
        return round(nanos * self.rate / 1e9)

    def add(self, due_ns, pcm):
        """Keeps a decoded chunk; one that can no longer be heard in time counts as late."""
        frames = len(pcm) // self.frameBytes
        if self._cursor is not None and due_ns + self._nanos(frames) <= self._cursor:
            self.late += 1
            return
        bisect.insort(self._chunks, [due_ns, pcm, 0], key=lambda c: c[0])
        if len(self._chunks) > MAX_HELD_CHUNKS:
            self._chunks.pop(0)
            self.late += 1

    def resync(self):
        """The output stopped (an underrun): what is heard next is already a
        break, so the next error of any size is put right at once."""
        self._sounding = False
        self._errors.clear()

    def block(self, heard_ns, frames):
        """The next `frames` frames, whose first is heard at host time `heard_ns`."""
        if self._cursor is None:
            self._cursor = float(heard_ns)
        error = heard_ns - self._cursor  # positive: this audio would sound late
        self._errors.append(error)
        filtered = _median(self._errors)
        # Until audio is heard (at the start, or again after the output stopped),
        # moving the cursor only moves silence or what is broken anyway.
        limit = STEP_LIMIT_NS if self._sounding else START_STEP_LIMIT_NS
        if abs(filtered) > limit:
            self._cursor = float(heard_ns)
            self._errors.clear()
            self._errors.append(0.0)
            self.steps += self._heardAny
            filtered = 0.0
        correction = max(-SLEW_FRAMES_PER_BLOCK,
                         min(SLEW_FRAMES_PER_BLOCK, round(self._frames(filtered) / SLEW_DIVISOR)))
        self.syncErrorNanos = filtered
        data = self._read(frames + correction)
        if correction:
            data = self._refit(data, frames)
            self.slewedFrames += abs(correction)
            # What was measured before this block is now off by the correction.
            shift = self._nanos(correction)
            for i in range(len(self._errors)):
                self._errors[i] -= shift
        return bytes(data)

    def _read(self, frames):
        """`frames` frames from the cursor on, silence where no chunk is held."""
        out = bytearray()
        fb = self.frameBytes
        while frames > 0:
            while self._chunks:
                due, pcm, used = self._chunks[0]
                if self._cursor < due + self._nanos(len(pcm) // fb) - self._nanos(0.5):
                    break
                self._chunks.pop(0)
                if used:
                    self.played += 1
                else:
                    self.late += 1
            take = frames
            if self._chunks:
                chunk = self._chunks[0]
                due, pcm = chunk[0], chunk[1]
                start = self._frames(self._cursor - due)
                if start >= 0:
                    take = min(frames, len(pcm) // fb - start)
                    out += pcm[start * fb:(start + take) * fb]
                    chunk[2] += take
                    self._sounding = self._heardAny = True
                else:
                    take = min(frames, -start)
                    out += bytes(take * fb)
            else:
                out += bytes(take * fb)
            frames -= take
            self._cursor += self._nanos(take)
        return out

    def _refit(self, data, frames):
        """`data` made `frames` long by leaving out or repeating single frames
        spread evenly over it."""
        fb = self.frameBytes
        have = len(data) // fb
        count = abs(have - frames)
        out = bytearray()
        last = 0
        for i in range(1, count + 1):
            cut = i * have // (count + 1)
            if have > frames:
                out += data[last * fb:cut * fb]  # frame `cut` is left out
                last = cut + 1
            else:
                out += data[last * fb:(cut + 1) * fb]  # frame `cut` is heard twice
                last = cut
        out += data[last * fb:]
        return bytes(out)


class PulseOutput:
    """A playback stream on the sound server through libpulse's asynchronous API
    (ctypes, with its threaded main loop). Besides taking audio it tells when the
    next frame written will be heard: from the server's timing reports, each of
    which says when the frame at the stream's read index reaches the listener
    (its time stamp plus the sink's latency), so the frame at any later write
    position is heard that much later again. Each report gives one such anchor.
    A server kept from running stamps its report late, which only ever makes the
    anchor later, so the earliest anchor of the last second is the one to trust;
    a stream moved to a sink with another latency is followed within that
    second. One thread writes; the main loop's own thread runs the callbacks."""

    class _SampleFormat(ctypes.Structure):
        _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32),
                    ("channels", ctypes.c_uint8)]

    class _BufferAttr(ctypes.Structure):
        _fields_ = [(name, ctypes.c_uint32)
                    for name in ("maxlength", "tlength", "prebuf", "minreq", "fragsize")]

    class _TimeVal(ctypes.Structure):
        _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]

    class _TimingInfo(ctypes.Structure):
        pass

    _TimingInfo._fields_ = [
        ("timestamp", _TimeVal), ("synchronized_clocks", ctypes.c_int),
        ("sink_usec", ctypes.c_uint64), ("source_usec", ctypes.c_uint64),
        ("transport_usec", ctypes.c_uint64), ("playing", ctypes.c_int),
        ("write_index_corrupt", ctypes.c_int), ("write_index", ctypes.c_int64),
        ("read_index_corrupt", ctypes.c_int), ("read_index", ctypes.c_int64),
        ("configured_sink_usec", ctypes.c_uint64), ("configured_source_usec", ctypes.c_uint64),
        ("since_underrun", ctypes.c_int64)]

    _NOTIFY = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)
    _SUCCESS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p)

    _SAMPLE_S16LE = 3
    _DEFAULT = 0xFFFFFFFF
    _CONTEXT_READY, _CONTEXT_FAILED, _CONTEXT_TERMINATED = 4, 5, 6
    _STREAM_READY, _STREAM_FAILED, _STREAM_TERMINATED = 2, 3, 4
    _ADJUST_LATENCY = 0x2000
    _NO_SIZE = ctypes.c_size_t(-1).value
    ANCHORS = 25  # a second of reports
    TIMING_INTERVAL_NS = 40_000_000

    def __init__(self, channels, sink=None, client_name="recv.py", latency_ms=PLAYBACK_LATENCY_MS,
                 rate=wire.SAMPLE_RATE):
        path = ctypes.util.find_library("pulse")
        if path is None:
            raise ReceiverError("libpulse not found (install libpulse0), so --play cannot play")
        self._lib = lib = ctypes.CDLL(path)
        self._declare(lib)
        self.frameBytes = 2 * channels
        self.bytesPerSecond = rate * self.frameBytes
        self._anchors = deque(maxlen=self.ANCHORS)
        self._written = 0
        self._timingPending = False
        self._lastTimingRequest = 0
        self.underruns = 0
        self._context = self._stream = None
        # Kept for as long as the library may call them.
        self._wake = self._NOTIFY(lambda *_: lib.pa_threaded_mainloop_signal(self._loop, 0))
        self._underflow = self._NOTIFY(self._onUnderflow)
        self._timed = self._SUCCESS(self._onTiming)
        self._loop = lib.pa_threaded_mainloop_new()
        if not self._loop or lib.pa_threaded_mainloop_start(self._loop) < 0:
            raise ReceiverError("could not start libpulse's main loop")
        try:
            self._connect(channels, sink, client_name, latency_ms, rate)
        except ReceiverError:
            self.close()
            raise

    @staticmethod
    def _declare(lib):
        p, i, u, s = ctypes.c_void_p, ctypes.c_int, ctypes.c_uint32, ctypes.c_char_p
        for name, restype, argtypes in [
            ("pa_threaded_mainloop_new", p, []),
            ("pa_threaded_mainloop_start", i, [p]),
            ("pa_threaded_mainloop_stop", None, [p]),
            ("pa_threaded_mainloop_free", None, [p]),
            ("pa_threaded_mainloop_lock", None, [p]),
            ("pa_threaded_mainloop_unlock", None, [p]),
            ("pa_threaded_mainloop_wait", None, [p]),
            ("pa_threaded_mainloop_signal", None, [p, i]),
            ("pa_threaded_mainloop_get_api", p, [p]),
            ("pa_context_new", p, [p, s]),
            ("pa_context_set_state_callback", None, [p, PulseOutput._NOTIFY, p]),
            ("pa_context_connect", i, [p, s, u, p]),
            ("pa_context_get_state", i, [p]),
            ("pa_context_errno", i, [p]),
            ("pa_context_disconnect", None, [p]),
            ("pa_context_unref", None, [p]),
            ("pa_stream_new", p, [p, s, ctypes.POINTER(PulseOutput._SampleFormat), p]),
            ("pa_stream_set_state_callback", None, [p, PulseOutput._NOTIFY, p]),
            ("pa_stream_set_underflow_callback", None, [p, PulseOutput._NOTIFY, p]),
            ("pa_stream_connect_playback", i,
             [p, s, ctypes.POINTER(PulseOutput._BufferAttr), u, p, p]),
            ("pa_stream_get_state", i, [p]),
            ("pa_stream_writable_size", ctypes.c_size_t, [p]),
            ("pa_stream_write", i, [p, s, ctypes.c_size_t, p, ctypes.c_int64, i]),
            ("pa_stream_update_timing_info", p, [p, PulseOutput._SUCCESS, p]),
            ("pa_stream_get_timing_info", ctypes.POINTER(PulseOutput._TimingInfo), [p]),
            ("pa_stream_disconnect", i, [p]),
            ("pa_stream_unref", None, [p]),
            ("pa_operation_unref", None, [p]),
            ("pa_strerror", s, [i]),
        ]:
            function = getattr(lib, name)
            function.restype, function.argtypes = restype, argtypes

    def _error(self, what):
        code = self._lib.pa_context_errno(self._context) if self._context else 0
        return ReceiverError(f"{what}: {self._lib.pa_strerror(code).decode('utf-8', 'replace')}")

    def _connect(self, channels, sink, client_name, latency_ms, rate):
        lib, loop = self._lib, self._loop
        lib.pa_threaded_mainloop_lock(loop)
        try:
            self._context = lib.pa_context_new(lib.pa_threaded_mainloop_get_api(loop),
                                               client_name.encode())
            lib.pa_context_set_state_callback(self._context, self._wake, None)
            if lib.pa_context_connect(self._context, None, 0, None) < 0:
                raise self._error("could not reach the sound server")
            while (state := lib.pa_context_get_state(self._context)) != self._CONTEXT_READY:
                if state in (self._CONTEXT_FAILED, self._CONTEXT_TERMINATED):
                    raise self._error("could not reach the sound server")
                lib.pa_threaded_mainloop_wait(loop)
            sample_format = self._SampleFormat(self._SAMPLE_S16LE, rate, channels)
            self._stream = lib.pa_stream_new(self._context, b"rave", ctypes.byref(sample_format), None)
            if not self._stream:
                raise self._error("could not make a playback stream")
            lib.pa_stream_set_state_callback(self._stream, self._wake, None)
            lib.pa_stream_set_underflow_callback(self._stream, self._underflow, None)
            frame_bytes = 2 * channels
            attr = self._BufferAttr(self._DEFAULT, latency_ms * rate // 1000 * frame_bytes,
                                    self._DEFAULT, BLOCK_FRAMES * frame_bytes, self._DEFAULT)
            where = f" on sink {sink}" if sink else ""
            if lib.pa_stream_connect_playback(self._stream, sink.encode() if sink else None,
                                              ctypes.byref(attr), self._ADJUST_LATENCY,
                                              None, None) < 0:
                raise self._error(f"could not play{where}")
            while (state := lib.pa_stream_get_state(self._stream)) != self._STREAM_READY:
                if state in (self._STREAM_FAILED, self._STREAM_TERMINATED):
                    raise self._error(f"could not play{where}")
                lib.pa_threaded_mainloop_wait(loop)
        finally:
            lib.pa_threaded_mainloop_unlock(loop)

    # -- callbacks, on the main loop's thread with its lock held

    def _onUnderflow(self, stream, userdata):
        # The stream stopped and starts again once refilled, later than the
        # anchors say: they are forgotten until the server reports again.
        self.underruns += 1
        self._anchors.clear()

    def _onTiming(self, stream, success, userdata):
        self._timingPending = False
        info = self._lib.pa_stream_get_timing_info(stream) if success else None
        if info:
            i = info.contents
            if i.playing and not i.read_index_corrupt and not i.write_index_corrupt:
                # The report's time stamp is on the system clock; this run counts
                # on the monotonic one.
                stamp = (i.timestamp.tv_sec * 1_000_000_000 + i.timestamp.tv_usec * 1000
                         + system_to_monotonic_ns())
                self._anchors.append(output_anchor_ns(stamp, i.sink_usec, i.write_index,
                                                      i.read_index, self._written,
                                                      self.bytesPerSecond))
        self._lib.pa_threaded_mainloop_signal(self._loop, 0)

    # -- the writer's side

    def heardNanos(self):
        """When the next frame written is heard, on this machine's monotonic
        clock; None until the stream plays and the server has reported."""
        anchors = list(self._anchors)
        if not anchors:
            return None
        return min(anchors) + self._written * 1e9 / self.bytesPerSecond

    def write(self, data):
        """Hands `data` to the server as the stream makes room for it. It goes in
        pieces: the stream may start playing only once more is queued than the
        room a single block would need. While the stream is full the writer
        sleeps rather than waits for the server's call: every call from the
        server's thread would need this interpreter, which a busy machine makes
        slow to get."""
        lib, loop = self._lib, self._loop
        while data:
            lib.pa_threaded_mainloop_lock(loop)
            try:
                if lib.pa_stream_get_state(self._stream) != self._STREAM_READY:
                    raise self._error("the playback stream ended")
                room = lib.pa_stream_writable_size(self._stream)
                if room == self._NO_SIZE:
                    raise self._error("the playback stream failed")
                room -= room % self.frameBytes
                if room:
                    piece, data = data[:room], data[room:]
                    if lib.pa_stream_write(self._stream, piece, len(piece), None, 0, 0) < 0:
                        raise self._error("the sound server stopped taking audio")
                    self._written += len(piece)
                self._requestTiming()
            finally:
                lib.pa_threaded_mainloop_unlock(loop)
            if data:
                time.sleep(WRITE_POLL_S)

    def _requestTiming(self):
        """Asks for a timing report now and then (with the main loop locked)."""
        now = time.monotonic_ns()
        if self._timingPending or now - self._lastTimingRequest < self.TIMING_INTERVAL_NS:
            return
        operation = self._lib.pa_stream_update_timing_info(self._stream, self._timed, None)
        if operation:
            self._timingPending = True
            self._lastTimingRequest = now
            self._lib.pa_operation_unref(operation)

    def close(self):
        lib, loop = self._lib, self._loop
        if not loop:
            return
        lib.pa_threaded_mainloop_lock(loop)
        if self._stream:
            lib.pa_stream_disconnect(self._stream)
            lib.pa_stream_unref(self._stream)
            self._stream = None
        if self._context:
            lib.pa_context_disconnect(self._context)
            lib.pa_context_unref(self._context)
            self._context = None
        lib.pa_threaded_mainloop_unlock(loop)
        lib.pa_threaded_mainloop_stop(loop)
        lib.pa_threaded_mainloop_free(loop)
        self._loop = None


class Player:
    """Plays decoded chunks in step with the host: a thread writes the stream
    block by block; for each, the sound server's timing says when it will be
    heard, and the playout picks the audio due at that moment on the host clock."""

    def __init__(self, channels, clock, sink=None, client_name="recv.py",
                 latency_ms=PLAYBACK_LATENCY_MS):
        self.channels = channels
        self._clock = clock
        self._output = PulseOutput(channels, sink, client_name, latency_ms)
        self._playout = Playout(channels)
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._latencies = deque(maxlen=ERROR_WINDOW)
        self.failure = None
        self._thread = threading.Thread(target=self._run, name="recv-player", daemon=True)
        self._thread.start()

    def schedule(self, due_ns, pcm):
        with self._lock:
            self._playout.add(due_ns, pcm)

    @property
    def latencyMs(self):
        """The stream's output latency as the sound server measures it, 0 until known."""
        latencies = list(self._latencies)
        return round(_median(latencies) / NANOS_PER_MS) if latencies else 0

    @property
    def syncErrorMicros(self):
        """The playback error against the host's timeline; None until playing."""
        error = self._playout.syncErrorNanos
        return None if error is None else round(error / 1000)

    @property
    def isLocked(self):
        e = self.syncErrorMicros
        return e is not None and abs(e) <= LOCKED_LIMIT_MICROS

    @property
    def played(self):
        return self._playout.played

    @property
    def late(self):
        return self._playout.late

    @property
    def steps(self):
        return self._playout.steps

    @property
    def underruns(self):
        return self._output.underruns

    def checkAlive(self):
        if self.failure:
            raise ReceiverError(self.failure)

    def _run(self):
        silence = bytes(BLOCK_FRAMES * 2 * self.channels)
        underruns = 0
        try:
            while not self._stopping.is_set():
                if self._output.underruns != underruns:
                    underruns = self._output.underruns
                    with self._lock:
                        self._playout.resync()
                heard = self._output.heardNanos()
                offset = self._clock.offsetNanos
                if heard is None or offset is None:
                    # The stream runs; the schedule waits for the server's first
                    # timing report and the host clock.
                    data = silence
                else:
                    self._latencies.append(heard - time.monotonic_ns())
                    with self._lock:
                        data = self._playout.block(heard + offset, BLOCK_FRAMES)
                self._output.write(data)
        except ReceiverError as e:
            self.failure = str(e)
        except Exception as e:  # noqa: BLE001 - the run must end with it, not play on mute
            self.failure = f"playback failed: {e!r}"

    def close(self):
        self._stopping.set()
        self._thread.join(timeout=2)
        if not self._thread.is_alive():
            self._output.close()


# ---------------------------------------------------------------- discovery

def _unescape_dns_sd(text):
    raw = re.sub(rb"\\(\d{3})", lambda m: bytes([int(m.group(1))]),
                 text.encode("utf-8", "surrogateescape"))
    raw = re.sub(rb"\\(.)", rb"\1", raw)
    return raw.decode("utf-8", "replace")


def discover(wanted_host=None, timeout=8.0):
    """(name, address, port) of a rave advertised as _zoranth._tcp, through
    avahi-browse; the one at wanted_host when given."""
    command = ["avahi-browse", "-r", "-t", "-p", "_zoranth._tcp"]
    try:
        out = subprocess.run(command, capture_output=True, text=True, timeout=timeout).stdout
    except FileNotFoundError:
        raise ReceiverError("no --port given and avahi-browse is not installed") from None
    except subprocess.TimeoutExpired:
        raise ReceiverError("no --port given and avahi-browse did not finish") from None
    found = []
    for line in out.splitlines():
        fields = line.split(";")
        if len(fields) >= 9 and fields[0] == "=" and fields[8].isdigit():
            found.append((_unescape_dns_sd(fields[3]), fields[7], int(fields[8])))
    for name, address, port in found:
        if wanted_host is None or address == wanted_host:
            return name, address, port
    where = f" at {wanted_host}" if wanted_host else ""
    raise ReceiverError(f"no --port given and no _zoranth._tcp service found{where}")


# ---------------------------------------------------------------- the receiver

def same_machine(sock):
    peer = ipaddress.ip_address(sock.getpeername()[0])
    local = ipaddress.ip_address(sock.getsockname()[0])
    return peer.is_loopback or peer == local


class Receiver:
    def __init__(self, args, out=sys.stdout, err=sys.stderr):
        self.args = args
        self.out, self.err = out, err
        self.decoding = not args.raw
        self.clock = ClockSync()
        self.stream = StreamTracker()
        self.decoder = wire.FrameDecoder()
        self.hello = None
        self.opus = None
        self.player = None
        self.wav = None
        self.wavChannels = None
        self.newestDueNs = None  # host time at which the newest chunk is due
        self.decodeErrors = 0
        self.unknownFrames = 0
        self.beats = 0
        self.cues = 0
        self.gotBye = False
        self.sock = None
        self.startedNs = None
        self.endedNs = None
        # Loopback figures across the whole run.
        self.worstOffsetNanos = 0
        self.worstEstimateRttNanos = 0
        self.judgedEstimates = 0
        self.acausalProbes = 0
        self.sameMachine = None

    def say(self, text):
        print(text, file=self.out, flush=True)

    # -- connection

    def connect(self, host, port):
        try:
            sock = socket.create_connection((host, port), timeout=5)
        except OSError as e:
            raise ReceiverError(f"could not connect to {host}:{port}: {e.strerror or e}") from None
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = sock
        self.sameMachine = same_machine(sock)

    def send(self, message):
        try:
            self.sock.sendall(wire.encode(message))
        except OSError as e:
            raise ReceiverError(f"connection lost while sending: {e.strerror or e}") from None

    def sayBye(self):
        try:
            self.sock.sendall(wire.encode(wire.Bye()))
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    # -- main loop

    def run(self):
        start = self.startedNs = time.monotonic_ns()
        deadline = start + int(self.args.seconds * 1e9) if self.args.seconds else None
        next_probe = start
        next_report = start
        next_print = start + REPORT_INTERVAL_NS
        last_print_bytes = 0
        while not self.gotBye:
            now = time.monotonic_ns()
            if deadline is not None and now >= deadline:
                break
            if now >= next_probe:
                self.send(wire.TimeReq(self.clock.request(time.monotonic_ns())))
                next_probe = max(next_probe + PROBE_INTERVAL_NS, now)
            if now >= next_report:
                if self.canReport(now):
                    self.send(self.clientStat())
                    next_report = max(next_report + REPORT_INTERVAL_NS, now)
                else:
                    next_report = now + 20 * NANOS_PER_MS  # look again shortly
            if self.args.stats and now >= next_print:
                kbps = (self.stream.packetBytes - last_print_bytes) * 8 / 1000
                last_print_bytes = self.stream.packetBytes
                self.say(self.statsLine((now - start) / 1e9, kbps))
                next_print = max(next_print + REPORT_INTERVAL_NS, now)
            if self.player:
                self.player.checkAlive()
            wake = min(t for t in (next_probe, next_report,
                                   next_print if self.args.stats else None, deadline)
                       if t is not None)
            timeout = max(0, wake - time.monotonic_ns()) / 1e9
            if self.player:
                timeout = min(timeout, 0.25)
            readable, _, _ = select.select([self.sock], [], [], timeout)
            if readable:
                self.receive()
        self.endedNs = time.monotonic_ns()

    def receive(self):
        try:
            data = self.sock.recv(65536)
        except OSError as e:
            raise ReceiverError(f"connection lost: {e.strerror or e}") from None
        t4 = time.monotonic_ns()
        if not data:
            pending = self.decoder.bufferedByteCount
            if pending:
                raise ReceiverError(f"connection closed by the host in the middle of a frame "
                                    f"({pending} byte(s) pending)")
            raise ReceiverError("connection closed by the host without a goodbye")
        self.decoder.append(data)
        while True:
            try:
                message = self.decoder.next()
            except wire.FrameDecoder.Failure as failure:
                raise ReceiverError(f"protocol error: {failure}") from None
            if message is None:
                return
            self.handle(message, t4)
            if self.gotBye:
                return

    def handle(self, message, t4):
        if isinstance(message, wire.Hello):
            self.onHello(message)
        elif isinstance(message, wire.Audio):
            self.onAudio(message)
        elif isinstance(message, wire.TimeResp):
            if self.clock.response(message.t1, message.t2, t4):
                self.onClockProbe(message.t1, message.t2, t4)
        elif isinstance(message, wire.Bye):
            self.gotBye = True
            self.say("host said goodbye")
        elif isinstance(message, wire.Beat):
            self.beats += 1
        elif isinstance(message, wire.Cue):
            self.cues += 1
        elif isinstance(message, wire.Unknown):
            self.unknownFrames += 1
        # Guest-to-host messages coming back are ignored, as the host ignores
        # host-to-guest ones.

    def onClockProbe(self, t1, t2, t4):
        # On one machine both sides read the same clock, so the host's reading
        # must fall between sending the probe and receiving the answer.
        if not t1 <= t2 <= t4:
            self.acausalProbes += 1
        if self.clock.isSettled:
            self.judgeEstimate()

    def judgeEstimate(self):
        c = self.clock
        self.judgedEstimates += 1
        self.worstOffsetNanos = max(self.worstOffsetNanos, c.offsetNanos, key=abs)
        self.worstEstimateRttNanos = max(self.worstEstimateRttNanos, c.estimateRttNanos)

    def onHello(self, hello):
        changed = hello != self.hello
        self.hello = hello
        if not changed:
            return
        self.say(f"hello: {hello.sampleRate} Hz, {hello.channels} ch, {hello.bitsPerSample} bit, "
                 f"{hello.framesPerChunk} frames per chunk, buffer {hello.bufferDelayMs} ms")
        self.stream.restart()
        if hello.sampleRate != wire.SAMPLE_RATE and self.decoding:
            raise ReceiverError(f"cannot decode a stream at {hello.sampleRate} Hz")
        if not self.decoding:
            return
        if self.opus is None or self.opus.channels != hello.channels:
            if self.opus:
                self.opus.close()
            self.opus = OpusDecoder(hello.channels)
        if self.args.play and (self.player is None or self.player.channels != hello.channels):
            if self.player:
                self.player.close()
            self.player = Player(hello.channels, self.clock, self.args.sink,
                                 client_name=f"recv.py ({self.args.name})",
                                 latency_ms=playback_latency_ms(hello.bufferDelayMs))
        if self.args.dump_wav and self.wav is None:
            self.wav = wave.open(self.args.dump_wav, "wb")
            self.wav.setnchannels(hello.channels)
            self.wav.setsampwidth(2)
            self.wav.setframerate(hello.sampleRate)
            self.wavChannels = hello.channels

    def onAudio(self, audio):
        header = audio.header
        lost = self.stream.add(header, len(audio.packet), self.hello.sampleRate)
        # The stream arrives in order, so this is the newest chunk held.
        self.newestDueNs = header.hostTimeNanos + header.bufferDelayMs * NANOS_PER_MS
        if self.opus is None:
            return
        step = round(header.frameCount * 1_000_000_000 / self.hello.sampleRate)
        if lost <= MAX_CONCEALED_CHUNKS:
            for k in range(lost, 0, -1):
                self.output(header.hostTimeNanos - k * step, header.seq - k, b"",
                            header.bufferDelayMs)
        self.output(header.hostTimeNanos, header.seq, audio.packet, header.bufferDelayMs)

    def output(self, host_time, seq, packet, buffer_delay_ms):
        try:
            pcm = self.opus.decode(packet)
        except ReceiverError as e:
            self.decodeErrors += 1
            if self.decodeErrors == 1:
                print(f"warning: chunk {seq} could not be decoded ({e}); concealing it",
                      file=self.err, flush=True)
            pcm = self.opus.decode(b"")
        if self.wav and self.wavChannels == self.opus.channels:
            self.wav.writeframes(pcm)
        if self.player:
            self.player.schedule(host_time + buffer_delay_ms * NANOS_PER_MS, pcm)

    # -- reports

    def bufferDepthMs(self, now_ns):
        """What this guest holds ahead of its playout, by its clock estimate;
        None without a clock measurement or before the first chunk."""
        c = self.clock
        if not c.hasMeasurement:
            return None
        return buffer_depth_ms(self.newestDueNs, now_ns + c.offsetNanos)

    def canReport(self, now_ns):
        """A report needs a clock measurement. The first also waits a little for
        the first chunk, so that it does not tell of an empty buffer a moment
        before the audio arrives."""
        if not self.clock.hasMeasurement:
            return False
        return (self.newestDueNs is not None or self.startedNs is None
                or now_ns - self.startedNs >= FIRST_CHUNK_PATIENCE_NS)

    def clientStat(self, now_ns=None):
        now_ns = time.monotonic_ns() if now_ns is None else now_ns
        c = self.clock
        playing = self.player is not None and self.player.syncErrorMicros is not None
        flags = wire.ClientStat.makeFlags(hasMeasurement=c.hasMeasurement,
                                          locked=c.hasMeasurement and playing
                                          and self.player.isLocked)
        sync = self.player.syncErrorMicros if playing else 0
        return wire.ClientStat(
            rttNanos=min(c.latestRttNanos or 0, 0xFFFFFFFF),
            minRttNanos=min(c.minRttNanos or 0, 0xFFFFFFFF),
            offsetNanos=max(-2**63, min(c.offsetNanos or 0, 2**63 - 1)),
            syncErrorMicros=max(-2**31, min(sync, 2**31 - 1)),
            latencyMs=max(0, min(self.player.latencyMs, 0xFFFF)) if self.player else 0,
            flags=flags,
            bufferDepthMs=self.bufferDepthMs(now_ns) or 0,
            deviceName=self.args.name)

    def statsLine(self, elapsed, kbps, now_ns=None):
        now_ns = time.monotonic_ns() if now_ns is None else now_ns
        s, c = self.stream, self.clock
        line = f"{elapsed:5.0f}s  frames {s.frames}  gaps {s.gaps}"
        if c.hasMeasurement:
            line += (f"  offset {c.offsetNanos / 1e6:+.3f} ms"
                     f"  rtt {c.latestRttNanos / 1e6:.3f} ms (min {c.minRttNanos / 1e6:.3f})")
        else:
            line += "  offset --  rtt --"
        line += f"  {kbps:.1f} kbps"
        depth = self.bufferDepthMs(now_ns)
        line += f"  buffer {depth} ms" if depth is not None else "  buffer --"
        if self.player:
            sync = self.player.syncErrorMicros
            line += (f"  late {self.player.late}  underruns {self.player.underruns}"
                     f"  latency {self.player.latencyMs} ms")
            line += f"  sync {sync / 1000:+.1f} ms" if sync is not None else "  sync --"
        return line

    def summary(self):
        s, c = self.stream, self.clock
        if self.startedNs is None:
            seconds = 0.0
        else:
            seconds = ((self.endedNs or time.monotonic_ns()) - self.startedNs) / 1e9
        kbps = s.packetBytes * 8 / 1000 / seconds if seconds > 0 else 0.0
        line = (f"summary: {s.frames} frames in {seconds:.1f} s, {kbps:.1f} kbps, "
                f"{s.gaps} gap(s) ({s.missingChunks} chunk(s) missing)")
        if c.hasMeasurement:
            line += (f", offset {c.offsetNanos / 1e6:+.3f} ms, rtt {c.latestRttNanos / 1e6:.3f} ms"
                     f" (min {c.minRttNanos / 1e6:.3f}), {c.answered} probe(s) answered")
        if self.decodeErrors:
            line += f", {self.decodeErrors} decode error(s)"
        if self.beats or self.cues:
            line += f", {self.beats} beat(s), {self.cues} cue(s)"
        if self.unknownFrames:
            line += f", {self.unknownFrames} frame(s) of unknown type"
        if self.player:
            line += (f", {self.player.played} chunk(s) played, {self.player.late} late, "
                     f"{self.player.steps} resync(s), {self.player.underruns} underrun(s)")
        self.say(line)

    def loopbackProblems(self):
        s, c = self.stream, self.clock
        problems = []
        if not self.sameMachine:
            problems.append("the host is not on this machine")
        if not c.hasMeasurement:
            problems.append("no clock measurement (no TimeResp answered a probe)")
        else:
            if self.judgedEstimates == 0:
                self.judgeEstimate()  # a short run: its final estimate is all there is
            if self.acausalProbes:
                problems.append(f"{self.acausalProbes} clock answer(s) carried a host time "
                                f"outside their own round trip (not the same clock)")
            if abs(self.worstOffsetNanos) > LOOPBACK_MAX_OFFSET_NS:
                problems.append(f"offset reached {self.worstOffsetNanos / 1e6:+.3f} ms "
                                f"(limit ±{LOOPBACK_MAX_OFFSET_NS / 1e6:.0f} ms)")
            if self.worstEstimateRttNanos >= LOOPBACK_MAX_RTT_NS:
                problems.append(f"round trip reached {self.worstEstimateRttNanos / 1e6:.3f} ms "
                                f"(limit {LOOPBACK_MAX_RTT_NS / 1e6:.0f} ms)")
        if s.frames < 2:
            problems.append(f"only {s.frames} audio frame(s) received")
        if s.gaps or s.outOfOrder:
            problems.append(f"sequence numbers broke: {s.gaps} gap(s), {s.missingChunks} chunk(s) "
                            f"missing, {s.outOfOrder} out of order (first: {s.firstProblem})")
        if s.badSteps:
            problems.append(f"chunk times did not step by one chunk: {s.badSteps} time(s), "
                            f"worst {s.worstStepErrorNanos:+d} ns (first: {s.firstProblem})")
        return problems

    def close(self):
        if self.startedNs is not None and self.endedNs is None:
            self.endedNs = time.monotonic_ns()
        if self.sock:
            self.sayBye()
            self.sock.close()
        if self.player:
            self.player.close()
        if self.opus:
            self.opus.close()
        if self.wav:
            self.wav.close()


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="recv.py",
        description="Receive a rave's stream like a guest: clock sync, reports, playback.")
    p.add_argument("--host", help="the host's address (default 127.0.0.1)")
    p.add_argument("--port", type=int,
                   help="the host's port; when absent, found with avahi-browse (_zoranth._tcp)")
    p.add_argument("--play", action="store_true",
                   help="decode and play on the sound server, in step with the host clock")
    p.add_argument("--sink", help="the sound server's sink to play on (default: its default sink)")
    p.add_argument("--stats", action="store_true", help="print a status line every second")
    p.add_argument("--raw", action="store_true", help="do not decode the audio")
    p.add_argument("--timesync", action="store_true",
                   help="the clock exchange, which always runs: a guest's reports and "
                        "playback rest on it (kept for older command lines)")
    p.add_argument("--assert-loopback", action="store_true",
                   help="exit 3 unless offset, round trips, sequence numbers and chunk times "
                        "are what a host on this machine gives")
    p.add_argument("--seconds", type=float, help="stop after this many seconds")
    p.add_argument("--name", default=socket.gethostname(),
                   help="the device name reported to the host (default: this machine's)")
    p.add_argument("--dump-wav", metavar="FILE", help="write the decoded audio to a WAV file")
    args = p.parse_args(argv)
    if args.raw and (args.dump_wav or args.play):
        p.error("--raw skips decoding, so it cannot be combined with --play or --dump-wav")
    if args.sink and not args.play:
        p.error("--sink names where --play plays")
    if args.seconds is not None and args.seconds <= 0:
        p.error("--seconds must be positive")
    if args.port is not None and not 0 < args.port < 65536:
        p.error("--port must lie in 1-65535")
    return args


def _raise_stop(signum, frame):
    raise Stop()


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    signal.signal(signal.SIGTERM, _raise_stop)
    receiver = Receiver(args)
    status = 0
    try:
        host, port = args.host or "127.0.0.1", args.port
        if port is None:
            name, host, port = discover(args.host)
            receiver.say(f'found "{name}" at {host}:{port}')
        receiver.connect(host, port)
        receiver.say(f"connected to {host}:{port}")
        receiver.run()
    except ReceiverError as e:
        print(e, file=sys.stderr, flush=True)
        status = 1
    except (KeyboardInterrupt, Stop):
        pass
    finally:
        receiver.close()
    if receiver.sock is None:
        return status
    receiver.summary()
    if status == 0 and args.assert_loopback:
        problems = receiver.loopbackProblems()
        for problem in problems:
            print(f"loopback check failed: {problem}", file=sys.stderr, flush=True)
        if problems:
            return 3
        receiver.say("loopback check passed")
    return status


if __name__ == "__main__":
    sys.exit(main())
