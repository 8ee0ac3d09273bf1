"""The host-guest wire format for Python tools: every message, the frame encoder
and the incremental frame decoder, with the same rules and failure cases as the
host's own codec. Standard library only; a decoder is owned by one reader."""

import struct
from dataclasses import dataclass, field
from enum import IntEnum
from typing import Optional, Union

MAGIC = b"ZRTH"
MAGIC_BE = 0x5A525448
VERSION = 2
HEADER_SIZE = 8
MAX_PAYLOAD = 0xFFFF
MAX_FRAME = HEADER_SIZE + MAX_PAYLOAD
FRAMES_PER_CHUNK = 960
SAMPLE_RATE = 48000
MAX_DEVICE_NAME_BYTES = 63


class MessageType(IntEnum):
    hello = 1
    audio = 2
    timeReq = 3
    timeResp = 4
    clientStat = 5
    bye = 6
    clientState = 7
    beat = 8
    cue = 9


class RouteKind(IntEnum):
    unknown = 0
    speaker = 1
    wired = 2
    bluetooth = 3
    airPlay = 4


_HELLO = struct.Struct("<IBBHH")
_AUDIO_HEADER = struct.Struct("<IQIH")
_TIME_REQ = struct.Struct("<Q")
_TIME_RESP = struct.Struct("<QQ")
_CLIENT_STAT = struct.Struct("<IIqiHHHB")
_BEAT = struct.Struct("<QBBHB")
_CUE = struct.Struct("<QBBB")
_HEADER = struct.Struct("<4sBBH")


@dataclass(frozen=True)
class Hello:
    sampleRate: int
    channels: int
    bitsPerSample: int
    framesPerChunk: int
    bufferDelayMs: int

    wireSize = 10

    @property
    def bytesPerFrame(self) -> int:
        return self.channels * self.bitsPerSample // 8


@dataclass(frozen=True)
class AudioChunkHeader:
    seq: int
    hostTimeNanos: int
    frameCount: int
    bufferDelayMs: int

    wireSize = 18


@dataclass(frozen=True)
class Audio:
    header: AudioChunkHeader
    packet: bytes


@dataclass(frozen=True)
class TimeReq:
    t1: int

    wireSize = 8


@dataclass(frozen=True)
class TimeResp:
    t1: int
    t2: int

    wireSize = 16


@dataclass(frozen=True)
class ClientStat:
    rttNanos: int
    minRttNanos: int
    offsetNanos: int
    syncErrorMicros: int
    latencyMs: int
    flags: int
    bufferDepthMs: int
    deviceName: str

    fixedWireSize = 27
    hasMeasurementBit = 0x0001
    lockedBit = 0x0002
    calibratedBit = 0x0004
    clampedBit = 0x0008

    @staticmethod
    def makeFlags(hasMeasurement=False, locked=False, calibrated=False, clamped=False,
                  route=RouteKind.unknown) -> int:
        bits = ((ClientStat.hasMeasurementBit if hasMeasurement else 0)
                | (ClientStat.lockedBit if locked else 0)
                | (ClientStat.calibratedBit if calibrated else 0)
                | (ClientStat.clampedBit if clamped else 0))
        return bits | ((int(route) << 4) & 0x0070)


@dataclass(frozen=True)
class ClientState:
    isPaused: bool

    wireSize = 1


@dataclass(frozen=True)
class Beat:
    hostTimeNanos: int
    isDownbeat: bool
    beatInBar: int
    bpmCenti: int
    confidence: int

    wireSize = 13


@dataclass(frozen=True)
class Cue:
    hostTimeNanos: int
    kind: int
    value: int
    value2: int

    wireSize = 11


@dataclass(frozen=True)
class Unknown:
    type: int
    length: int


@dataclass(frozen=True)
class Bye:
    pass


Message = Union[Hello, Audio, TimeReq, TimeResp, ClientStat, ClientState, Beat, Cue,
                Unknown, Bye]


def truncatedNameBytes(name: str) -> bytes:
    """The device name as UTF-8 of at most 63 bytes, cut where the host cuts it:
    the trailing partial character goes, and so does the last character when the
    cut fell right after it, so both sides report the same name."""
    raw = name.encode("utf-8")
    if len(raw) <= MAX_DEVICE_NAME_BYTES:
        return raw
    end = MAX_DEVICE_NAME_BYTES
    while end > 0 and 0x80 <= raw[end - 1] <= 0xBF:
        end -= 1
    if end > 0 and raw[end - 1] >= 0xC0:
        end -= 1
    return raw[:end]


def _header(type_byte: int, length: int) -> bytes:
    return _HEADER.pack(MAGIC, VERSION, type_byte, length)


def encodeAudioFrame(header: AudioChunkHeader, packet: bytes) -> bytes:
    return (_header(MessageType.audio, AudioChunkHeader.wireSize + len(packet))
            + _AUDIO_HEADER.pack(header.seq, header.hostTimeNanos, header.frameCount,
                                 header.bufferDelayMs)
            + bytes(packet))


def encode(message: Message) -> bytes:
    """One complete frame for any message."""
    m = message
    if isinstance(m, Hello):
        return _header(MessageType.hello, Hello.wireSize) + _HELLO.pack(
            m.sampleRate, m.channels, m.bitsPerSample, m.framesPerChunk, m.bufferDelayMs)
    if isinstance(m, Audio):
        return encodeAudioFrame(m.header, m.packet)
    if isinstance(m, TimeReq):
        return _header(MessageType.timeReq, TimeReq.wireSize) + _TIME_REQ.pack(m.t1)
    if isinstance(m, TimeResp):
        return _header(MessageType.timeResp, TimeResp.wireSize) + _TIME_RESP.pack(m.t1, m.t2)
    if isinstance(m, ClientStat):
        name = truncatedNameBytes(m.deviceName)
        return (_header(MessageType.clientStat, ClientStat.fixedWireSize + len(name))
                + _CLIENT_STAT.pack(m.rttNanos, m.minRttNanos, m.offsetNanos,
                                    m.syncErrorMicros, m.latencyMs, m.flags, m.bufferDepthMs,
                                    len(name))
                + name)
    if isinstance(m, ClientState):
        return _header(MessageType.clientState, 1) + bytes([1 if m.isPaused else 0])
    if isinstance(m, Beat):
        return _header(MessageType.beat, Beat.wireSize) + _BEAT.pack(
            m.hostTimeNanos, 1 if m.isDownbeat else 0, m.beatInBar, m.bpmCenti, m.confidence)
    if isinstance(m, Cue):
        return _header(MessageType.cue, Cue.wireSize) + _CUE.pack(
            m.hostTimeNanos, m.kind, m.value, m.value2)
    if isinstance(m, Unknown):
        return _header(m.type, m.length) + bytes(m.length)
    if isinstance(m, Bye):
        return _header(MessageType.bye, 0)
    raise TypeError(f"not a message: {m!r}")


class FrameDecoder:
    """Reassembles frames from byte chunks however the stream was split. A
    failure is final: the decoder never resynchronises, so every later call
    fails the same way and the reader abandons the stream."""

    @dataclass(frozen=True)
    class Failure(Exception):
        kind: str
        values: tuple = field(default=())

        def __str__(self) -> str:
            if self.kind == "badMagic":
                return f"badMagic(0x{self.values[0]:08X})"
            if self.kind == "unsupportedVersion":
                return f"unsupportedVersion({self.values[0]})"
            if self.kind == "payloadLengthMismatch":
                type_, expected, got = self.values
                return f"payloadLengthMismatch({type_.name}, expected: {expected}, got: {got})"
            if self.kind == "malformedPayload":
                return f"malformedPayload({self.values[0].name})"
            return self.kind

        @classmethod
        def badMagic(cls, magic):
            return cls("badMagic", (magic,))

        @classmethod
        def unsupportedVersion(cls, version):
            return cls("unsupportedVersion", (version,))

        @classmethod
        def payloadLengthMismatch(cls, type_, expected, got):
            return cls("payloadLengthMismatch", (type_, expected, got))

        @classmethod
        def malformedPayload(cls, type_):
            return cls("malformedPayload", (type_,))

        @classmethod
        def audioBeforeHello(cls):
            return cls("audioBeforeHello")

    # Consumed bytes are dropped only when everything is consumed or when more
    # than this many pile up at the front, not after every frame.
    compactionThreshold = 32768

    def __init__(self):
        self._buffer = bytearray()
        self._readIndex = 0
        self._pending = None  # (type byte, length) of a parsed header awaiting its payload
        self.streamFormat: Optional[Hello] = None

    def append(self, data: bytes) -> None:
        self._buffer += data

    @property
    def bufferedByteCount(self) -> int:
        return len(self._buffer) - self._readIndex

    def next(self) -> Optional[Message]:
        """The next complete message, or None until more bytes arrive.
        Raises FrameDecoder.Failure."""
        if self._pending is None:
            if self.bufferedByteCount < HEADER_SIZE:
                return None
            self._pending = self._parseHeader()
            self._readIndex += HEADER_SIZE
        type_byte, length = self._pending
        if self.bufferedByteCount < length:
            return None
        payload = memoryview(self._buffer)[self._readIndex:self._readIndex + length]
        try:
            message = self._decodePayload(type_byte, length, payload)
        finally:
            payload.release()
        self._readIndex += length
        self._pending = None
        self._compact()
        return message

    def _parseHeader(self):
        start = self._readIndex
        magic = int.from_bytes(self._buffer[start:start + 4], "big")
        if magic != MAGIC_BE:
            raise self.Failure.badMagic(magic)
        version = self._buffer[start + 4]
        if version != VERSION:
            raise self.Failure.unsupportedVersion(version)
        length = int.from_bytes(self._buffer[start + 6:start + 8], "little")
        return self._buffer[start + 5], length

    def _decodePayload(self, type_byte, length, payload):
        try:
            type_ = MessageType(type_byte)
        except ValueError:
            return Unknown(type_byte, length)
        if type_ is MessageType.audio and self.streamFormat is None:
            raise self.Failure.audioBeforeHello()
        exact = {
            MessageType.hello: Hello.wireSize,
            MessageType.timeReq: TimeReq.wireSize,
            MessageType.timeResp: TimeResp.wireSize,
            MessageType.bye: 0,
            MessageType.clientState: ClientState.wireSize,
            MessageType.beat: Beat.wireSize,
            MessageType.cue: Cue.wireSize,
        }
        if type_ in exact and length != exact[type_]:
            raise self.Failure.payloadLengthMismatch(type_, exact[type_], length)
        try:
            return self._readPayload(type_, length, payload)
        except struct.error:
            raise self.Failure.malformedPayload(type_) from None

    def _readPayload(self, type_, length, payload):
        if type_ is MessageType.hello:
            hello = Hello(*_HELLO.unpack(payload))
            if hello.sampleRate == 0 or hello.channels == 0 or hello.bitsPerSample != 16:
                raise self.Failure.malformedPayload(type_)
            self.streamFormat = hello
            return hello
        if type_ is MessageType.audio:
            if length < AudioChunkHeader.wireSize:
                raise self.Failure.payloadLengthMismatch(type_, AudioChunkHeader.wireSize, length)
            header = AudioChunkHeader(*_AUDIO_HEADER.unpack_from(payload))
            return Audio(header, bytes(payload[AudioChunkHeader.wireSize:]))
        if type_ is MessageType.timeReq:
            return TimeReq(*_TIME_REQ.unpack(payload))
        if type_ is MessageType.timeResp:
            return TimeResp(*_TIME_RESP.unpack(payload))
        if type_ is MessageType.clientStat:
            return self._readClientStat(length, payload)
        if type_ is MessageType.bye:
            return Bye()
        if type_ is MessageType.clientState:
            return ClientState(bool(payload[0] & 1))
        if type_ is MessageType.beat:
            time_, flags, in_bar, bpm, confidence = _BEAT.unpack(payload)
            return Beat(time_, bool(flags & 1), in_bar, bpm, confidence)
        return Cue(*_CUE.unpack(payload))

    def _readClientStat(self, length, payload):
        fixed = ClientStat.fixedWireSize
        if length < fixed:
            raise self.Failure.payloadLengthMismatch(MessageType.clientStat, fixed, length)
        *values, n = _CLIENT_STAT.unpack_from(payload)
        if length != fixed + n:
            raise self.Failure.payloadLengthMismatch(MessageType.clientStat, fixed + n, length)
        try:
            name = bytes(payload[fixed:]).decode("utf-8")
        except UnicodeDecodeError:
            raise self.Failure.malformedPayload(MessageType.clientStat) from None
        return ClientStat(*values, name)

    def _compact(self):
        if self._readIndex == len(self._buffer):
            self._buffer.clear()
            self._readIndex = 0
        elif self._readIndex > self.compactionThreshold:
            del self._buffer[:self._readIndex]
            self._readIndex = 0
