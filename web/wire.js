// The host-guest wire format as the page speaks it: every message, the frame encoder
// and a frame decoder with the host's own rules and failure cases. Over the WebSocket
// each binary message carries exactly one frame, so the decoder takes one message at
// a time. Host times and offsets are BigInt nanoseconds; they outgrow a Number.

export const MAGIC_BE = 0x5a525448; // "ZRTH"
export const VERSION = 2;
export const HEADER_SIZE = 8;
export const MAX_PAYLOAD = 0xffff;
export const MAX_DEVICE_NAME_BYTES = 63;

export const MessageType = Object.freeze({
  hello: 1,
  audio: 2,
  timeReq: 3,
  timeResp: 4,
  clientStat: 5,
  bye: 6,
  clientState: 7,
  beat: 8,
  cue: 9,
});

const typeNames = Object.fromEntries(Object.entries(MessageType).map(([k, v]) => [v, k]));

export const RouteKind = Object.freeze({ unknown: 0, speaker: 1, wired: 2, bluetooth: 3, airPlay: 4 });

export const StatFlags = Object.freeze({
  hasMeasurement: 0x0001,
  locked: 0x0002,
  calibrated: 0x0004,
  clamped: 0x0008,
});

export function statFlags({ hasMeasurement = false, locked = false, calibrated = false,
                            clamped = false, route = RouteKind.unknown } = {}) {
  return (hasMeasurement ? StatFlags.hasMeasurement : 0) |
         (locked ? StatFlags.locked : 0) |
         (calibrated ? StatFlags.calibrated : 0) |
         (clamped ? StatFlags.clamped : 0) |
         ((route << 4) & 0x0070);
}

// A frame the page cannot read; the page then abandons the connection, as the host
// does with a guest whose bytes make no sense.
export class FrameFailure extends Error {
  constructor(kind, ...values) {
    super(kind + (values.length ? `(${values.join(", ")})` : ""));
    this.kind = kind;
    this.values = values;
  }
}

// The device name as UTF-8 of at most 63 bytes, cut where the host cuts it: the
// trailing partial character goes, and so does the last character when the cut fell
// right after it.
export function truncatedNameBytes(name) {
  const raw = new TextEncoder().encode(name);
  if (raw.length <= MAX_DEVICE_NAME_BYTES) return raw;
  let end = MAX_DEVICE_NAME_BYTES;
  while (end > 0 && raw[end - 1] >= 0x80 && raw[end - 1] <= 0xbf) end--;
  if (end > 0 && raw[end - 1] >= 0xc0) end--;
  return raw.slice(0, end);
}

function frame(type, payloadLength, fill) {
  const bytes = new Uint8Array(HEADER_SIZE + payloadLength);
  const view = new DataView(bytes.buffer);
  view.setUint32(0, MAGIC_BE, false);
  view.setUint8(4, VERSION);
  view.setUint8(5, type);
  view.setUint16(6, payloadLength, true);
  if (fill) fill(view, bytes);
  return bytes;
}

export function encodeTimeReq(t1) {
  return frame(MessageType.timeReq, 8, (view) => view.setBigUint64(8, BigInt.asUintN(64, t1), true));
}

export function encodeBye() {
  return frame(MessageType.bye, 0);
}

export function encodeClientState(isPaused) {
  return frame(MessageType.clientState, 1, (view) => view.setUint8(8, isPaused ? 1 : 0));
}

const clampInt = (value, low, high) => Math.max(low, Math.min(high, Math.round(value)));

export function encodeClientStat(stat) {
  const name = truncatedNameBytes(stat.deviceName ?? "");
  return frame(MessageType.clientStat, 27 + name.length, (view, bytes) => {
    view.setUint32(8, clampInt(stat.rttNanos, 0, 0xffffffff), true);
    view.setUint32(12, clampInt(stat.minRttNanos, 0, 0xffffffff), true);
    const limit = (1n << 63n) - 1n;
    const offset = stat.offsetNanos > limit ? limit : stat.offsetNanos < -limit - 1n ? -limit - 1n
                 : stat.offsetNanos;
    view.setBigInt64(16, offset, true);
    view.setInt32(24, clampInt(stat.syncErrorMicros, -0x80000000, 0x7fffffff), true);
    view.setUint16(28, clampInt(stat.latencyMs, 0, 0xffff), true);
    view.setUint16(30, stat.flags & 0xffff, true);
    view.setUint16(32, clampInt(stat.bufferDepthMs, 0, 0xffff), true);
    view.setUint8(34, name.length);
    bytes.set(name, 35);
  });
}

// Reads the frames of one stream, one whole frame per call. Like the host's decoder
// it never resynchronises: after a failure every later frame fails the same way.
export class FrameDecoder {
  constructor() {
    this.streamFormat = null; // the latest hello
    this.failure = null;
  }

  // One message from the bytes of exactly one frame (an ArrayBuffer or a view).
  decode(data) {
    if (this.failure) throw this.failure;
    try {
      return this.#decode(data instanceof ArrayBuffer ? new Uint8Array(data) : data);
    } catch (failure) {
      if (failure instanceof FrameFailure) this.failure = failure;
      throw failure;
    }
  }

  #decode(bytes) {
    if (bytes.length < HEADER_SIZE) throw new FrameFailure("incompleteFrame", bytes.length);
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const magic = view.getUint32(0, false);
    if (magic !== MAGIC_BE) {
      throw new FrameFailure("badMagic", "0x" + magic.toString(16).toUpperCase().padStart(8, "0"));
    }
    const version = view.getUint8(4);
    if (version !== VERSION) throw new FrameFailure("unsupportedVersion", version);
    const type = view.getUint8(5);
    const length = view.getUint16(6, true);
    if (bytes.length !== HEADER_SIZE + length) {
      // Over the WebSocket a message is one frame: no more and no less.
      throw new FrameFailure("incompleteFrame", bytes.length);
    }
    const payload = new DataView(bytes.buffer, bytes.byteOffset + HEADER_SIZE, length);
    const name = typeNames[type];
    if (name === undefined) return { type: "unknown", typeByte: type, length };
    if (type === MessageType.audio && !this.streamFormat) throw new FrameFailure("audioBeforeHello");
    const exact = { hello: 10, timeReq: 8, timeResp: 16, bye: 0, clientState: 1, beat: 13, cue: 11 };
    if (name in exact && length !== exact[name]) {
      throw new FrameFailure("payloadLengthMismatch", name, exact[name], length);
    }
    switch (type) {
      case MessageType.hello: {
        const hello = {
          type: "hello",
          sampleRate: payload.getUint32(0, true),
          channels: payload.getUint8(4),
          bitsPerSample: payload.getUint8(5),
          framesPerChunk: payload.getUint16(6, true),
          bufferDelayMs: payload.getUint16(8, true),
        };
        if (hello.sampleRate === 0 || hello.channels === 0 || hello.bitsPerSample !== 16) {
          throw new FrameFailure("malformedPayload", "hello");
        }
        this.streamFormat = hello;
        return hello;
      }
      case MessageType.audio:
        if (length < 18) throw new FrameFailure("payloadLengthMismatch", "audio", 18, length);
        return {
          type: "audio",
          seq: payload.getUint32(0, true),
          hostTimeNanos: payload.getBigUint64(4, true),
          frameCount: payload.getUint32(12, true),
          bufferDelayMs: payload.getUint16(16, true),
          packet: bytes.subarray(HEADER_SIZE + 18),
        };
      case MessageType.timeReq:
        return { type: "timeReq", t1: payload.getBigUint64(0, true) };
      case MessageType.timeResp:
        return { type: "timeResp", t1: payload.getBigUint64(0, true), t2: payload.getBigUint64(8, true) };
      case MessageType.clientStat:
        return this.#clientStat(payload, length);
      case MessageType.bye:
        return { type: "bye" };
      case MessageType.clientState:
        return { type: "clientState", isPaused: (payload.getUint8(0) & 1) !== 0 };
      case MessageType.beat:
        return {
          type: "beat",
          hostTimeNanos: payload.getBigUint64(0, true),
          isDownbeat: (payload.getUint8(8) & 1) !== 0,
          beatInBar: payload.getUint8(9),
          bpmCenti: payload.getUint16(10, true),
          confidence: payload.getUint8(12),
        };
      default:
        return {
          type: "cue",
          hostTimeNanos: payload.getBigUint64(0, true),
          kind: payload.getUint8(8),
          value: payload.getUint8(9),
          value2: payload.getUint8(10),
        };
    }
  }

  #clientStat(payload, length) {
    if (length < 27) throw new FrameFailure("payloadLengthMismatch", "clientStat", 27, length);
    const n = payload.getUint8(26);
    if (length !== 27 + n) throw new FrameFailure("payloadLengthMismatch", "clientStat", 27 + n, length);
    let deviceName;
    try {
      deviceName = new TextDecoder("utf-8", { fatal: true }).decode(
        new Uint8Array(payload.buffer, payload.byteOffset + 27, n));
    } catch {
      throw new FrameFailure("malformedPayload", "clientStat");
    }
    return {
      type: "clientStat",
      rttNanos: payload.getUint32(0, true),
      minRttNanos: payload.getUint32(4, true),
      offsetNanos: payload.getBigInt64(8, true),
      syncErrorMicros: payload.getInt32(16, true),
      latencyMs: payload.getUint16(20, true),
      flags: payload.getUint16(22, true),
      bufferDepthMs: payload.getUint16(24, true),
      deviceName,
    };
  }
}
