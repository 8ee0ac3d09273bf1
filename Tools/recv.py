#!/usr/bin/env python3
"""A test receiver for a rave: connects to the host like a guest, reads the
stream format and the audio, runs the clock exchange, reports back once a
second, and can play the audio in step with the host clock, write it to a WAV
file, or check that a host on this machine streams cleanly.

    python3 Tools/recv.py --host 192.168.1.20 --port 40123 --play --stats
    python3 Tools/recv.py --host 127.0.0.1 --port 40123 --raw --timesync \\
        --assert-loopback --seconds 15

Standard library only; libopus is loaded through ctypes.
"""

import argparse
import ctypes
import ctypes.util
import heapq
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
# Probes kept for the offset estimate: about two seconds' worth.
PROBE_WINDOW = 8
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
# Playback: the latency asked of the sound server, and how far behind its due
# time a chunk may still be written before it is dropped as late.
PLAYBACK_LATENCY_MS = 50
LATE_LIMIT_NS = 20_000_000
LOCKED_LIMIT_MICROS = 5_000
# Losses longer than this are not concealed chunk by chunk (a restarted stream).
MAX_CONCEALED_CHUNKS = 50


class ReceiverError(Exception):
    """A failure that ends the run with its one-line message and status 1."""


class Stop(Exception):
    """SIGTERM: end the run as Ctrl-C does."""


# ---------------------------------------------------------------- clock sync

class ClockSync:
    """Host-minus-guest clock offset from TimeReq/TimeResp probes. Each probe
    gives a round trip t4 - t1 and an offset t2 - (t1 + rtt/2); the estimate
    takes the probe with the smallest round trip among the recent ones, since
    the shortest trip leaves the least room for asymmetry. Times are passed in."""

    def __init__(self, window=PROBE_WINDOW):
        self._pending = {}
        self._probes = deque(maxlen=window)
        self.latestRttNanos = None
        self.offsetNanos = None
        self.estimateRttNanos = None
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
        self._probes.append((rtt, t2 - (t1 + rtt // 2)))
        best = min(self._probes)
        self.latestRttNanos = rtt
        self.estimateRttNanos, self.offsetNanos = best
        self.answered += 1
        return True

    @property
    def hasMeasurement(self):
        return self.offsetNanos is not None

    @property
    def isSettled(self):
        return len(self._probes) >= min(SETTLED_PROBES, self._probes.maxlen)

    @property
    def minRttNanos(self):
        return self.estimateRttNanos


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

class Player:
    """Plays decoded chunks through pacat, each written when it is due on this
    machine's clock (host due time minus the clock offset) less the latency
    asked of the sound server, so that it sounds at the host's due time.
    Nothing is written before pacat's stream exists: bytes written earlier
    would wait in the pipe and make every later chunk sound late."""

    def __init__(self, channels, clock, latency_ms=PLAYBACK_LATENCY_MS):
        self.channels = channels
        self.latencyMs = latency_ms
        self._clock = clock
        command = ["pacat", "--verbose", "--playback", "--raw", "--format=s16le",
                   f"--rate={wire.SAMPLE_RATE}", f"--channels={channels}",
                   f"--latency-msec={latency_ms}", "--client-name=recv.py",
                   "--stream-name=rave"]
        try:
            self._proc = subprocess.Popen(command, stdin=subprocess.PIPE,
                                          stderr=subprocess.PIPE)
        except OSError as e:
            raise ReceiverError(f"could not start pacat: {e.strerror or e}") from None
        self._heap = []
        self._cond = threading.Condition()
        self._stopping = False
        self._ready = False
        self._lastComplaint = None
        self._catchUp = False
        self.late = 0
        self.played = 0
        self.syncErrorMicros = None
        self.failure = None
        self._watcher = threading.Thread(target=self._watch, name="recv-pacat", daemon=True)
        self._watcher.start()
        self._thread = threading.Thread(target=self._run, name="recv-player", daemon=True)
        self._thread.start()

    def schedule(self, host_due_ns, seq, pcm):
        with self._cond:
            heapq.heappush(self._heap, (host_due_ns, seq, pcm))
            self._cond.notify()

    @property
    def bufferedMs(self):
        """Audio held here and in the sound server."""
        with self._cond:
            held = len(self._heap) * 20
        return held + (self.latencyMs if self.syncErrorMicros is not None else 0)

    @property
    def isLocked(self):
        e = self.syncErrorMicros
        return e is not None and abs(e) <= LOCKED_LIMIT_MICROS

    def checkAlive(self):
        if self.failure:
            raise ReceiverError(self.failure)
        status = self._proc.poll()
        if status is not None:
            self._watcher.join(timeout=1)
            why = f": {self._lastComplaint}" if self._lastComplaint else ""
            raise ReceiverError(f"pacat exited with status {status}{why}")

    def _watch(self):
        """Reads pacat's progress: its stream's creation, and its complaints."""
        for raw in iter(self._proc.stderr.readline, b""):
            for piece in re.split(rb"[\r\n]", raw):
                text = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "",
                              piece.decode("utf-8", "replace")).strip()
                if not text or text.startswith("Time:"):
                    continue
                if text.startswith("Stream successfully created"):
                    with self._cond:
                        self._ready = True
                        self._cond.notify()
                elif "fail" in text.lower() or "error" in text.lower():
                    self._lastComplaint = text

    def _next_due(self):
        """The next chunk and its local due time, waiting for both; None to stop."""
        with self._cond:
            while not self._stopping:
                offset = self._clock.offsetNanos
                if self._heap and offset is not None:
                    host_due, seq, pcm = self._heap[0]
                    local_due = host_due - offset
                    now = time.monotonic_ns()
                    if not self._ready and now > local_due + LATE_LIMIT_NS:
                        heapq.heappop(self._heap)
                        self.late += 1
                        continue
                    wait_ns = local_due - self.latencyMs * NANOS_PER_MS - now
                    if self._ready and wait_ns <= 0:
                        heapq.heappop(self._heap)
                        return local_due, pcm
                    self._cond.wait(wait_ns / 1e9 if self._ready else 0.05)
                else:
                    self._cond.wait(0.05)
            return None

    def _run(self):
        while True:
            item = self._next_due()
            if item is None:
                return
            local_due, pcm = item
            if self._catchUp or time.monotonic_ns() > local_due + LATE_LIMIT_NS:
                # A late write means audio is backed up in the pipe: leaving one
                # chunk out lets it drain instead of sounding late for good.
                self._catchUp = False
                self.late += 1
                continue
            try:
                self._proc.stdin.write(pcm)
                self._proc.stdin.flush()
            except (BrokenPipeError, OSError) as e:
                self.failure = f"pacat stopped taking audio: {e.strerror or e}"
                return
            self.played += 1
            sounding = time.monotonic_ns() + self.latencyMs * NANOS_PER_MS
            self.syncErrorMicros = (sounding - local_due) // 1000
            self._catchUp = self.syncErrorMicros * 1000 > LATE_LIMIT_NS

    def close(self):
        with self._cond:
            self._stopping = True
            self._cond.notify()
        self._thread.join(timeout=2)
        try:
            self._proc.stdin.close()
        except OSError:
            pass
        try:
            self._proc.wait(timeout=2)
        except subprocess.TimeoutExpired:
            self._proc.terminate()
            self._proc.wait()
        self._watcher.join(timeout=1)


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
        self.timesync = args.timesync or args.play or args.assert_loopback
        self.decoding = not args.raw
        self.clock = ClockSync()
        self.stream = StreamTracker()
        self.decoder = wire.FrameDecoder()
        self.hello = None
        self.opus = None
        self.player = None
        self.wav = None
        self.wavChannels = None
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
        next_report = start + REPORT_INTERVAL_NS
        next_print = start + REPORT_INTERVAL_NS
        last_print_bytes = 0
        while not self.gotBye:
            now = time.monotonic_ns()
            if deadline is not None and now >= deadline:
                break
            if self.timesync and now >= next_probe:
                self.send(wire.TimeReq(self.clock.request(time.monotonic_ns())))
                next_probe = max(next_probe + PROBE_INTERVAL_NS, now)
            if now >= next_report:
                self.send(self.clientStat())
                next_report = max(next_report + REPORT_INTERVAL_NS, now)
            if self.args.stats and now >= next_print:
                kbps = (self.stream.packetBytes - last_print_bytes) * 8 / 1000
                last_print_bytes = self.stream.packetBytes
                self.say(self.statsLine((now - start) / 1e9, kbps))
                next_print = max(next_print + REPORT_INTERVAL_NS, now)
            if self.player:
                self.player.checkAlive()
            wake = min(t for t in (next_probe if self.timesync else None, next_report,
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
            self.player = Player(hello.channels, self.clock)
        if self.args.dump_wav and self.wav is None:
            self.wav = wave.open(self.args.dump_wav, "wb")
            self.wav.setnchannels(hello.channels)
            self.wav.setsampwidth(2)
            self.wav.setframerate(hello.sampleRate)
            self.wavChannels = hello.channels

    def onAudio(self, audio):
        header = audio.header
        lost = self.stream.add(header, len(audio.packet), self.hello.sampleRate)
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
            self.player.schedule(host_time + buffer_delay_ms * NANOS_PER_MS, seq, pcm)

    # -- reports

    def clientStat(self):
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
            latencyMs=self.player.latencyMs if self.player else 0,
            flags=flags,
            bufferDepthMs=min(self.player.bufferedMs if self.player else 0, 0xFFFF),
            deviceName=self.args.name)

    def statsLine(self, elapsed, kbps):
        s, c = self.stream, self.clock
        line = f"{elapsed:5.0f}s  frames {s.frames}  gaps {s.gaps}"
        if self.timesync:
            if c.hasMeasurement:
                line += (f"  offset {c.offsetNanos / 1e6:+.3f} ms"
                         f"  rtt {c.latestRttNanos / 1e6:.3f} ms (min {c.minRttNanos / 1e6:.3f})")
            else:
                line += "  offset --  rtt --"
        line += f"  {kbps:.1f} kbps"
        if self.player:
            sync = self.player.syncErrorMicros
            line += f"  late {self.player.late}  buffer {self.player.bufferedMs} ms"
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
        if self.timesync and c.hasMeasurement:
            line += (f", offset {c.offsetNanos / 1e6:+.3f} ms, rtt {c.latestRttNanos / 1e6:.3f} ms"
                     f" (min {c.minRttNanos / 1e6:.3f}), {c.answered} probe(s) answered")
        if self.decodeErrors:
            line += f", {self.decodeErrors} decode error(s)"
        if self.beats or self.cues:
            line += f", {self.beats} beat(s), {self.cues} cue(s)"
        if self.unknownFrames:
            line += f", {self.unknownFrames} frame(s) of unknown type"
        if self.player:
            line += f", {self.player.played} chunk(s) played, {self.player.late} late"
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
                   help="decode and play through pacat, in step with the host clock")
    p.add_argument("--stats", action="store_true", help="print a status line every second")
    p.add_argument("--raw", action="store_true", help="do not decode the audio")
    p.add_argument("--timesync", action="store_true",
                   help="run the clock exchange (implied by --play and --assert-loopback)")
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
