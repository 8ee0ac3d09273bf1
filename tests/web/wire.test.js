// The page's wire codec against the host's own byte layouts and failure rules.
import assert from "node:assert/strict";
import { test } from "node:test";
import {
  FrameDecoder, FrameFailure, encodeBye, encodeClientStat, encodeTimeReq, statFlags,
  truncatedNameBytes, RouteKind,
} from "../../web/wire.js";

const hex = (bytes) => Buffer.from(bytes).toString("hex");
const bytes = (text) => new Uint8Array(Buffer.from(text.replace(/ /g, ""), "hex"));

test("frames the page sends have the host's layout", () => {
  assert.equal(hex(encodeBye()), "5a52544802060000");
  assert.equal(hex(encodeTimeReq(0x0102030405060708n)), "5a525448020308000807060504030201");
  const stat = encodeClientStat({
    rttNanos: 1000, minRttNanos: 900, offsetNanos: -2n, syncErrorMicros: -5, latencyMs: 40,
    flags: statFlags({ hasMeasurement: true, calibrated: true, route: RouteKind.bluetooth }),
    bufferDepthMs: 1500, deviceName: "Kü",
  });
  assert.equal(hex(stat),
    "5a5254480205" + "1e00" + "e8030000" + "84030000" + "feffffffffffffff" + "fbffffff" +
    "2800" + "3500" + "dc05" + "03" + "4bc3bc");
});

test("reports are clamped into their fields", () => {
  const stat = new FrameDecoder().decode(encodeClientStat({
    rttNanos: 2 ** 40, minRttNanos: -1, offsetNanos: 1n << 70n, syncErrorMicros: 2 ** 40,
    latencyMs: 1e6, flags: 0, bufferDepthMs: -3, deviceName: "",
  }));
  assert.equal(stat.rttNanos, 0xffffffff);
  assert.equal(stat.minRttNanos, 0);
  assert.equal(stat.offsetNanos, (1n << 63n) - 1n);
  assert.equal(stat.syncErrorMicros, 0x7fffffff);
  assert.equal(stat.latencyMs, 0xffff);
  assert.equal(stat.bufferDepthMs, 0);
});

test("device names are cut where the host cuts them", () => {
  const cases = [
    ["a".repeat(63), 63],
    ["a".repeat(64), 63],
    ["é".repeat(32), 62], // 31 two-byte characters fit; the 32nd is cut
    ["a" + "é".repeat(32), 61], // the cut falls right after a whole character: it goes too
  ];
  for (const [name, length] of cases) assert.equal(truncatedNameBytes(name).length, length, name);
});

test("the host's frames decode, one per message", () => {
  const decoder = new FrameDecoder();
  const hello = decoder.decode(bytes("5a525448 0201 0a00 80bb0000 02 10 c003 dc05"));
  assert.deepEqual(hello, {
    type: "hello", sampleRate: 48000, channels: 2, bitsPerSample: 16, framesPerChunk: 960,
    bufferDelayMs: 1500,
  });
  const audio = decoder.decode(bytes(
    "5a525448 0202 1500 07000000 0100000000000000 c0030000 dc05 aabbcc"));
  assert.equal(audio.seq, 7);
  assert.equal(audio.hostTimeNanos, 1n);
  assert.equal(hex(audio.packet), "aabbcc");
  const beat = decoder.decode(bytes("5a525448 0208 0d00 0200000000000000 01 01 e22e c8"));
  assert.deepEqual(beat, {
    type: "beat", hostTimeNanos: 2n, isDownbeat: true, beatInBar: 1, bpmCenti: 12002, confidence: 200,
  });
  assert.deepEqual(decoder.decode(bytes("5a525448 02c8 0300 000000")),
                   { type: "unknown", typeByte: 200, length: 3 });
});

test("bad frames fail as the host's decoder fails, and for good", () => {
  const cases = [
    ["5a525449 0206 0000", "badMagic"],
    ["5a525448 0306 0000", "unsupportedVersion"],
    ["5a525448 0203 0700 00000000000000", "payloadLengthMismatch"],
    ["5a525448 0201 0a00 80bb0000 02 18 c003 dc05", "malformedPayload"],
    ["5a525448 0202 1200 000000000000000000000000000000000000", "audioBeforeHello"],
    ["5a525448 0205 1f00 " + "00".repeat(26) + " 05 61626364",
     "payloadLengthMismatch"],
    ["5a525448 0206 0100", "incompleteFrame"], // a message holds exactly one frame
    ["5a525448 0206 0000 00", "incompleteFrame"],
  ];
  for (const [frame, kind] of cases) {
    const decoder = new FrameDecoder();
    assert.throws(() => decoder.decode(bytes(frame)), (failure) => failure instanceof FrameFailure &&
                  failure.kind === kind, frame);
    assert.throws(() => decoder.decode(encodeBye()), (failure) => failure.kind === kind);
  }
});
