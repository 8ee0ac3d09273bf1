"""A minimal host for exercising the receiver: listens on 127.0.0.1, sends a
hello and real-time Opus chunks of a tone, answers clock probes on the same
CLOCK_MONOTONIC the real host uses, and keeps what the guest sent."""

import ctypes
import ctypes.util
import math
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "Tools"))
import zoranth_wire as wire  # noqa: E402

CHUNK_NANOS = 20_000_000
_packet_cache = {}


def tone_packets(count, frequency=440.0, channels=2):
    """Opus packets of a continuous sine, one per 960-frame chunk."""
    key = (count, frequency, channels)
    if key in _packet_cache:
        return _packet_cache[key]
    lib = ctypes.CDLL(ctypes.util.find_library("opus"))
    lib.opus_encoder_create.restype = ctypes.c_void_p
    lib.opus_encoder_create.argtypes = [ctypes.c_int32, ctypes.c_int, ctypes.c_int,
                                        ctypes.POINTER(ctypes.c_int)]
    lib.opus_encode.restype = ctypes.c_int32
    lib.opus_encode.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int16), ctypes.c_int,
                                ctypes.c_char_p, ctypes.c_int32]
    lib.opus_encoder_destroy.argtypes = [ctypes.c_void_p]
    error = ctypes.c_int(0)
    encoder = lib.opus_encoder_create(48000, channels, 2049, ctypes.byref(error))  # AUDIO
    assert encoder and error.value == 0
    pcm = (ctypes.c_int16 * (960 * channels))()
    out = ctypes.create_string_buffer(4000)
    packets = []
    n = 0
    for _ in range(count):
        for i in range(960):
            v = int(12000 * math.sin(2 * math.pi * frequency * n / 48000))
            n += 1
            for c in range(channels):
                pcm[i * channels + c] = v
        size = lib.opus_encode(encoder, pcm, 960, out, 4000)
        assert size > 0
        packets.append(out.raw[:size])
    lib.opus_encoder_destroy(encoder)
    _packet_cache[key] = packets
    return packets


class FakeHost:
    """One guest connection. `chunks` real-time chunks follow the hello;
    `skip_seq` leaves one sequence number out, `shift_seq` starts that chunk
    1 ms late, `clock_skew_ns` answers probes from a clock that far ahead,
    `prelude` replaces the hello with raw bytes."""

    def __init__(self, chunks=150, channels=2, buffer_delay_ms=1500, skip_seq=None,
                 shift_seq=None, clock_skew_ns=0, prelude=None, frequency=440.0):
        self.packets = tone_packets(chunks, frequency, channels)
        self.channels = channels
        self.bufferDelayMs = buffer_delay_ms
        self.skipSeq = skip_seq
        self.shiftSeq = shift_seq
        self.clockSkewNs = clock_skew_ns
        self.prelude = prelude
        self.received = []
        self.done = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(1)
        self._listener.settimeout(10)
        self.port = self._listener.getsockname()[1]
        self._sendLock = threading.Lock()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.done.wait(10)
        self._listener.close()

    def stats(self):
        return [m for m in self.received if isinstance(m, wire.ClientStat)]

    def _send(self, conn, data):
        with self._sendLock:
            conn.sendall(data)

    def _serve(self):
        try:
            conn, _ = self._listener.accept()
        except OSError:
            self.done.set()
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reader = threading.Thread(target=self._read, args=(conn,), daemon=True)
        reader.start()
        try:
            if self.prelude is not None:
                self._send(conn, self.prelude)
            else:
                self._stream(conn)
        except OSError:
            pass
        reader.join(10)
        conn.close()
        self.done.set()

    def _stream(self, conn):
        self._send(conn, wire.encode(wire.Hello(48000, self.channels, 16, 960, self.bufferDelayMs)))
        base = time.monotonic_ns()
        for seq, packet in enumerate(self.packets):
            if self.closed:
                return
            wake = base + seq * CHUNK_NANOS
            time.sleep(max(0, wake - time.monotonic_ns()) / 1e9)
            if seq == self.skipSeq:
                continue
            host_time = base + seq * CHUNK_NANOS + (1_000_000 if seq == self.shiftSeq else 0)
            header = wire.AudioChunkHeader(seq, host_time, 960, self.bufferDelayMs)
            self._send(conn, wire.encodeAudioFrame(header, packet))
        self._send(conn, wire.encode(wire.Bye()))

    closed = False

    def _read(self, conn):
        decoder = wire.FrameDecoder()
        try:
            while True:
                data = conn.recv(65536)
                if not data:
                    break
                decoder.append(data)
                while (message := decoder.next()) is not None:
                    if isinstance(message, wire.TimeReq):
                        self._send(conn, wire.encode(wire.TimeResp(message.t1, time.monotonic_ns() + self.clockSkewNs)))
                    self.received.append(message)
        except (OSError, wire.FrameDecoder.Failure):
            pass
        self.closed = True
