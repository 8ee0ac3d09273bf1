// Opus packets to PCM: through WebCodecs' AudioDecoder where the page has it (secure
// origins), else through the vendored WebAssembly build of libopus, which works on a
// plain-http LAN origin too. Both hand back one Float32Array per channel per packet,
// in packet order, and time each decode.

const vendoredDecoder = "vendor/opus-decoder/opus-decoder.min.js";

function loadScript(src) {
  return new Promise((resolve, reject) => {
    const script = document.createElement("script");
    script.src = src;
    script.onload = resolve;
    script.onerror = () => reject(new Error(`could not load ${src}`));
    document.head.append(script);
  });
}

class WebCodecsDecoding {
  kind = "webcodecs";

  constructor(channels) {
    this.channels = channels;
    this.pending = []; // {resolve, reject, started}, in decode order
    this.decoder = new AudioDecoder({
      output: (data) => this.#output(data),
      error: (error) => this.#fail(error),
    });
    this.decoder.configure({ codec: "opus", sampleRate: 48000, numberOfChannels: channels });
  }

  static async supported(channels) {
    if (typeof AudioDecoder === "undefined") return false;
    try {
      const { supported } = await AudioDecoder.isConfigSupported({
        codec: "opus", sampleRate: 48000, numberOfChannels: channels,
      });
      return supported;
    } catch {
      return false;
    }
  }

  decode(packet, timestampMicros) {
    return new Promise((resolve, reject) => {
      this.pending.push({ resolve, reject, started: performance.now() });
      this.decoder.decode(new EncodedAudioChunk({ type: "key", timestamp: timestampMicros, data: packet }));
    });
  }

  #output(data) {
    const waiting = this.pending.shift();
    const planes = [];
    for (let channel = 0; channel < this.channels; channel++) {
      const plane = new Float32Array(data.numberOfFrames);
      data.copyTo(plane, { planeIndex: Math.min(channel, data.numberOfChannels - 1), format: "f32-planar" });
      planes.push(plane);
    }
    data.close();
    waiting?.resolve({ planes, decodeMs: performance.now() - waiting.started });
  }

  #fail(error) {
    for (const waiting of this.pending.splice(0)) waiting.reject(error);
  }

  close() {
    if (this.decoder.state !== "closed") this.decoder.close();
    this.#fail(new Error("decoder closed"));
  }
}

class WasmDecoding {
  kind = "wasm";

  constructor(decoder, channels) {
    this.decoder = decoder;
    this.channels = channels;
  }

  static async create(channels) {
    if (!globalThis["opus-decoder"]) await loadScript(vendoredDecoder);
    const { OpusDecoder } = globalThis["opus-decoder"];
    const decoder = new OpusDecoder({
      channels,
      streamCount: 1,
      coupledStreamCount: channels === 2 ? 1 : 0,
      channelMappingTable: channels === 2 ? [0, 1] : [0],
      preSkip: 0,
    });
    await decoder.ready;
    return new WasmDecoding(decoder, channels);
  }

  async decode(packet) {
    const started = performance.now();
    const { channelData, samplesDecoded } = this.decoder.decodeFrame(packet);
    // Copied out: the decoder's own arrays are views of its memory.
    const planes = [];
    for (let channel = 0; channel < this.channels; channel++) {
      const source = channelData[Math.min(channel, channelData.length - 1)];
      planes.push(source ? source.slice(0, samplesDecoded) : new Float32Array(0));
    }
    return { planes, decodeMs: performance.now() - started };
  }

  close() {
    this.decoder.free();
  }
}

// The best decoder this page has for `channels` (1 or 2) channels of 48 kHz Opus.
export async function createOpusDecoding(channels, { preferWasm = false } = {}) {
  if (!preferWasm && (await WebCodecsDecoding.supported(channels))) {
    return new WebCodecsDecoding(channels);
  }
  return WasmDecoding.create(channels);
}
