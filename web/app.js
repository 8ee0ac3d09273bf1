// The guest page: joins the rave over a WebSocket to the host that served it, keeps
// the host's clock, decodes and plays the stream in step with everyone else, flashes
// on the beat and reports how it is doing. Reconnects by itself whenever the host
// goes away and comes back.
import { ClockSync } from "./clock_sync.js";
import { createOpusDecoding } from "./opus_decoding.js";
import { Player } from "./player.js";
import {
  FrameDecoder, encodeBye, encodeClientStat, encodeTimeReq, statFlags,
} from "./wire.js";

const codecDelayMs = 312 / 48; // libopus's look-ahead: decoded audio trails its input
const statIntervalMs = 1000;
const quickProbes = 8; // at connection, then one a second
const quickProbeMs = 100;
const probeMs = 1000;
const reconnectDelaysMs = [500, 1000, 2000, 3000];
const storage = {
  name: "zoranth.guestName",
  nudge: "zoranth.latencyNudgeMs",
  volume: "zoranth.volume",
};

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);

const ui = {
  raveName: $("rave-name"),
  state: $("state"),
  listen: $("listen"),
  controls: $("controls"),
  volume: $("volume"),
  nudge: $("nudge"),
  nudgeValue: $("nudge-value"),
  name: $("guest-name"),
  flash: $("flash"),
  screenHint: $("screen-hint"),
};

function remembered(key, fallback) {
  try {
    return localStorage.getItem(key) ?? fallback;
  } catch {
    return fallback;
  }
}

function remember(key, value) {
  try {
    localStorage.setItem(key, String(value));
  } catch {
    // private mode: the setting lasts for this visit only
  }
}

// "Chrome on Android", "Safari on iPhone", "Firefox on Linux": what the person knows
// their phone as in the host's guest list.
function browserName() {
  const agent = navigator.userAgent;
  const browser = /Edg\//.test(agent) ? "Edge"
    : /Firefox\//.test(agent) ? "Firefox"
    : /SamsungBrowser\//.test(agent) ? "Samsung Internet"
    : /HeadlessChrome\//.test(agent) ? "Headless Chrome"
    : /Chrome\//.test(agent) ? "Chrome"
    : /Safari\//.test(agent) ? "Safari"
    : "Browser";
  const device = /iPhone/.test(agent) ? "iPhone"
    : /iPad/.test(agent) ? "iPad"
    : /Android/.test(agent) ? "Android"
    : /Mac OS X/.test(agent) ? "Mac"
    : /Windows/.test(agent) ? "Windows"
    : /Linux/.test(agent) ? "Linux"
    : "";
  return device ? `${browser} on ${device}` : browser;
}

class Guest {
  constructor() {
    this.clock = new ClockSync();
    this.decoder = new FrameDecoder();
    this.decoding = null;
    this.decodingChannels = 0;
    this.decodingKind = params.get("decoder") === "wasm" ? "wasm" : "best";
    this.context = null;
    this.player = null;
    this.socket = null;
    this.state = "connecting";
    this.ended = false;
    this.attempt = 0;
    this.bufferDelayMs = 0;
    this.timers = [];
    this.volume = Number(remembered(storage.volume, "0.8"));
    this.nudgeMs = Number(remembered(storage.nudge, "0"));
    this.name = remembered(storage.name, "") || browserName();
    this.counts = { audio: 0, decoded: 0, beats: 0, connections: 0, failures: 0 };
    this.newestDueMs = null; // when the newest chunk that arrived is to be heard
    this.decodeTimes = []; // the last few hundred decodes, ms
    this.lastStat = null;
  }

  start() {
    this.connect();
    setInterval(() => {
      this.player?.updateMapping();
      this.player?.pump();
    }, 100);
    setInterval(() => this.report(), statIntervalMs);
    setInterval(() => this.refreshState(), 250);
  }

  // The listen tap: the one user gesture that may start audio.
  async listen() {
    if (this.context) return;
    this.context = new AudioContext({ latencyHint: "interactive", sampleRate: 48000 });
    await this.context.resume();
    this.player = new Player(this.context);
    this.player.nudgeMs = this.nudgeMs;
    this.player.setVolume(this.volume);
    this.keepScreenOn();
    this.refreshState();
  }

  async keepScreenOn() {
    if ("wakeLock" in navigator) {
      try {
        await navigator.wakeLock.request("screen");
        ui.screenHint.hidden = true;
        return;
      } catch {
        // refused (battery saver): the hint says what to do instead
      }
    }
    ui.screenHint.hidden = false;
  }

  connect() {
    const scheme = location.protocol === "https:" ? "wss" : "ws";
    const socket = new WebSocket(`${scheme}://${location.host}/ws`);
    socket.binaryType = "arraybuffer";
    this.socket = socket;
    this.decoder = new FrameDecoder();
    socket.onopen = () => this.opened(socket);
    socket.onmessage = (event) => this.received(socket, event.data);
    socket.onclose = () => this.closed(socket);
  }

  opened(socket) {
    if (socket !== this.socket) return;
    this.attempt = 0;
    this.ended = false;
    this.counts.connections++;
    this.clock.reset();
    this.newestDueMs = null;
    for (let i = 0; i < quickProbes; i++) {
      this.timers.push(setTimeout(() => this.probe(socket), i * quickProbeMs));
    }
    this.timers.push(setInterval(() => this.probe(socket), probeMs));
    this.report();
    this.refreshState();
  }

  probe(socket) {
    if (socket.readyState === WebSocket.OPEN) socket.send(encodeTimeReq(this.clock.probe()));
  }

  received(socket, data) {
    if (socket !== this.socket || !(data instanceof ArrayBuffer)) return;
    let message;
    try {
      message = this.decoder.decode(data);
    } catch (failure) {
      console.warn(`the host's frame made no sense: ${failure.message}`);
      this.counts.failures++;
      socket.close();
      return;
    }
    switch (message.type) {
      case "hello":
        this.bufferDelayMs = message.bufferDelayMs;
        this.prepareDecoding(message.channels);
        break;
      case "audio":
        this.counts.audio++;
        if (this.clock.hasEstimate) {
          this.newestDueMs = this.dueMs(message.hostTimeNanos, message.bufferDelayMs) + 20;
        }
        this.play(message);
        break;
      case "timeResp":
        this.clock.answer(message.t1, message.t2);
        break;
      case "beat":
        this.beat(message);
        break;
      case "bye":
        this.ended = true;
        this.player?.stop();
        this.refreshState();
        break;
      default:
        break; // cues and anything newer: nothing to show yet
    }
  }

  async prepareDecoding(channels) {
    const wanted = Math.min(2, Math.max(1, channels));
    if (this.decoding && this.decodingChannels === wanted) return;
    this.decoding?.close();
    this.decodingChannels = wanted;
    this.decoding = null;
    this.player?.stop();
    const decoding = await createOpusDecoding(wanted, { preferWasm: this.decodingKind === "wasm" });
    if (this.decodingChannels === wanted) this.decoding = decoding;
    else decoding.close();
  }

  // The moment a chunk's first sample must be heard, in page milliseconds.
  dueMs(hostTimeNanos, bufferDelayMs) {
    return this.clock.hostToPageMs(hostTimeNanos) + bufferDelayMs - codecDelayMs;
  }

  async play(audio) {
    // Until the tap, and until the clocks are known, there is nothing to play into.
    if (!this.player?.ready || !this.decoding || !this.clock.hasEstimate) return;
    const decoding = this.decoding;
    const due = this.dueMs(audio.hostTimeNanos, audio.bufferDelayMs);
    let decoded;
    try {
      decoded = await decoding.decode(audio.packet, audio.seq * 20000);
    } catch (error) {
      console.warn(`a chunk did not decode: ${error.message}`);
      return;
    }
    if (decoding !== this.decoding || this.ended) return;
    this.counts.decoded++;
    this.decodeTimes.push(decoded.decodeMs);
    if (this.decodeTimes.length > 500) this.decodeTimes.shift();
    this.player.enqueue(decoded.planes, due);
  }

  beat(beat) {
    this.counts.beats++;
    const at = this.clock.hasEstimate
      ? this.dueMs(beat.hostTimeNanos, this.bufferDelayMs) + codecDelayMs - this.nudgeMs
      : performance.now();
    const wait = Math.min(Math.max(0, at - performance.now()), 10000);
    setTimeout(() => {
      ui.flash.classList.remove("on");
      void ui.flash.offsetWidth; // restart the animation
      ui.flash.classList.add("on");
    }, wait);
  }

  closed(socket) {
    if (socket !== this.socket) return;
    for (const timer of this.timers.splice(0)) clearTimeout(timer);
    this.player?.stop();
    this.socket = null;
    this.refreshState();
    const delay = reconnectDelaysMs[Math.min(this.attempt, reconnectDelaysMs.length - 1)];
    this.attempt++;
    setTimeout(() => this.connect(), delay);
  }

  stat() {
    const player = this.player;
    const measured = this.clock.hasEstimate && player?.syncErrorMicros != null;
    // How far ahead of what is heard the stream has arrived: the network's margin,
    // known from the clock alone, before the tap too.
    const depth = this.newestDueMs === null ? null : this.newestDueMs - this.nudgeMs - performance.now();
    const latency = this.context
      ? (this.context.outputLatency || 0) * 1000 + (this.context.baseLatency || 0) * 1000
      : 0;
    return {
      rttNanos: this.clock.latestRttNanos ?? 0,
      minRttNanos: this.clock.minRttNanos ?? 0,
      offsetNanos: this.clock.offsetNanos ?? 0n,
      syncErrorMicros: measured ? player.syncErrorMicros : 0,
      latencyMs: latency + this.nudgeMs,
      flags: statFlags({
        hasMeasurement: measured,
        locked: measured && player.locked,
        calibrated: this.nudgeMs !== 0,
      }),
      bufferDepthMs: depth === null ? 0 : Math.max(0, depth),
      deviceName: this.name,
    };
  }

  report() {
    const socket = this.socket;
    if (!socket || socket.readyState !== WebSocket.OPEN) return;
    this.lastStat = this.stat();
    socket.send(encodeClientStat(this.lastStat));
  }

  currentState() {
    if (this.ended) return "ended";
    if (!this.socket) return "reconnecting";
    if (this.socket.readyState !== WebSocket.OPEN) {
      return this.counts.connections > 0 ? "reconnecting" : "connecting";
    }
    return this.player?.locked ? "in-sync" : "syncing";
  }

  refreshState() {
    const state = this.currentState();
    const words = {
      connecting: "Connecting…",
      syncing: "Syncing…",
      "in-sync": "In sync",
      reconnecting: "Reconnecting…",
      ended: "The rave ended",
    };
    this.state = state;
    document.body.dataset.state = state;
    ui.state.textContent = words[state];
    ui.listen.hidden = this.context !== null;
    ui.controls.hidden = this.context === null;
  }

  setNudge(ms) {
    this.nudgeMs = ms;
    remember(storage.nudge, ms);
    if (this.player) this.player.nudgeMs = ms;
    ui.nudgeValue.textContent = `${ms} ms`;
  }

  setVolume(fraction) {
    this.volume = fraction;
    remember(storage.volume, fraction);
    this.player?.setVolume(fraction);
  }

  setName(name) {
    this.name = name.trim() || browserName();
    remember(storage.name, name.trim());
  }

  // What the tests and the curious read: the decoder, the counts, decode times.
  diagnostics() {
    const times = [...this.decodeTimes].sort((a, b) => a - b);
    const percentile = (p) => (times.length ? times[Math.floor((times.length - 1) * p)] : null);
    return {
      state: this.state,
      decoder: this.decoding?.kind ?? null,
      counts: { ...this.counts, ...(this.player?.counts ?? {}) },
      decodeMs: { median: percentile(0.5), p95: percentile(0.95), max: percentile(1) },
      syncErrorMicros: this.player?.syncErrorMicros ?? null,
      locked: this.player?.locked ?? false,
      offsetNanos: this.clock.offsetNanos === null ? null : Number(this.clock.offsetNanos),
      minRttNanos: this.clock.minRttNanos,
      bufferDepthMs: this.player?.bufferDepthMs ?? null,
      name: this.name,
    };
  }
}

async function showRaveName() {
  try {
    const response = await fetch("rave.json", { cache: "no-store" });
    const { name } = await response.json();
    if (name) {
      ui.raveName.textContent = name;
      document.title = `${name} · Zoranth`;
    }
  } catch {
    // the name stays the page's own
  }
}

const guest = new Guest();
window.zoranthGuest = guest;
ui.listen.addEventListener("click", () => guest.listen());
ui.volume.value = String(Math.round(guest.volume * 100));
ui.volume.addEventListener("input", () => guest.setVolume(Number(ui.volume.value) / 100));
ui.nudge.value = String(guest.nudgeMs);
ui.nudgeValue.textContent = `${guest.nudgeMs} ms`;
ui.nudge.addEventListener("input", () => guest.setNudge(Number(ui.nudge.value)));
ui.name.placeholder = browserName();
ui.name.value = remembered(storage.name, "");
ui.name.addEventListener("change", () => guest.setName(ui.name.value));
addEventListener("pagehide", () => {
  if (guest.socket?.readyState === WebSocket.OPEN) guest.socket.send(encodeBye());
});
showRaveName();
guest.start();
