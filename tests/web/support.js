// What the browser tests stand on: a host to join (the real zoranth-host --serve, or
// the stand-in page host), headless Chromium playing into a chosen sink of the test
// sound server, and recordings of those sinks with a little signal analysis.
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";
import puppeteer from "puppeteer-core";

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function eventually(condition, { timeoutMs = 10000, everyMs = 100, what = "condition" } = {}) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(everyMs);
  }
}

// A host process whose standard output is JSON lines: the first names the port.
export class PageHost {
  static async start({ port = 0, delayMs = 1500, name = "Test Rave", signal = "tone" } = {}) {
    const host = new PageHost();
    host.process = spawn(process.env.ZORANTH_PAGE_HOST, [
      "--port", String(port), "--delay-ms", String(delayMs), "--name", name, "--signal", signal,
    ], { stdio: ["ignore", "pipe", "inherit"] });
    host.lines = [];
    host.exited = new Promise((resolve) => host.process.on("exit", resolve));
    const first = new Promise((resolve) => {
      createInterface({ input: host.process.stdout }).on("line", (line) => {
        const value = JSON.parse(line);
        host.lines.push(value);
        if (value.port !== undefined) resolve(value);
      });
    });
    const { port: listening, startNanos } = await first;
    host.port = listening;
    host.startNanos = BigInt(startNanos);
    return host;
  }

  // The guests' latest reports by name.
  reports() {
    const byName = new Map();
    for (const line of this.lines) if (line.name !== undefined) byName.set(line.name, line);
    return byName;
  }

  logLines() {
    return this.lines.filter((line) => line.log !== undefined).map((line) => line.log);
  }

  async stop() {
    if (this.process.exitCode === null) this.process.kill("SIGTERM");
    await this.exited;
  }
}

const chromiumArgs = [
  "--no-sandbox",
  "--disable-gpu",
  "--disable-background-networking",
  "--disable-component-update",
  "--disable-sync",
  "--no-first-run",
  "--disable-features=AudioServiceOutOfProcess",
];

// A fresh headless Chromium whose audio plays into `sink` of the test sound server.
export async function launchBrowser({ sink = "zoranth_guest", extraArgs = [] } = {}) {
  const profile = mkdtempSync(join(tmpdir(), "zoranth-chromium-"));
  const browser = await puppeteer.launch({
    executablePath: process.env.ZORANTH_CHROMIUM ?? "/usr/bin/chromium",
    headless: true,
    args: [...chromiumArgs, `--user-data-dir=${profile}`, ...extraArgs],
    // Puppeteer mutes audio by default; these tests listen to it.
    ignoreDefaultArgs: ["--mute-audio"],
    env: { ...process.env, PULSE_SINK: sink },
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}

// Opens the page, taps "Tap to listen" and returns the page.
export async function joinAndListen(browser, url, { name } = {}) {
  const page = await browser.newPage();
  if (name) {
    await page.evaluateOnNewDocument((guestName) => {
      localStorage.setItem("zoranth.guestName", guestName);
    }, name);
  }
  await page.goto(url, { waitUntil: "load" });
  await page.click("#listen");
  return page;
}

export const diagnostics = (page) => page.evaluate(() => window.zoranthGuest.diagnostics());
export const stateText = (page) => page.$eval("#state", (element) => element.textContent);

// `seconds` of a sink's monitor as 48 kHz float channels.
export async function record(sink, seconds, channels = 1) {
  const recorder = spawn("parec", [
    `--device=${sink}.monitor`, "--format=float32le", "--rate=48000", `--channels=${channels}`,
    "--raw", "--latency-msec=10",
  ], { stdio: ["ignore", "pipe", "inherit"] });
  const chunks = [];
  recorder.stdout.on("data", (chunk) => chunks.push(chunk));
  await sleep(seconds * 1000);
  recorder.kill("SIGTERM");
  await new Promise((resolve) => recorder.on("exit", resolve));
  const bytes = Buffer.concat(chunks);
  const samples = new Float32Array(bytes.buffer, bytes.byteOffset, Math.floor(bytes.length / 4));
  const planes = [];
  for (let c = 0; c < channels; c++) {
    const plane = new Float32Array(Math.floor(samples.length / channels));
    for (let i = 0; i < plane.length; i++) plane[i] = samples[i * channels + c];
    planes.push(plane);
  }
  return planes;
}

export function rms(samples) {
  let sum = 0;
  for (const s of samples) sum += s * s;
  return Math.sqrt(sum / Math.max(1, samples.length));
}

// The strongest frequency between 50 Hz and 4 kHz, to the hertz (Goertzel scan over
// the last second of the recording).
export function dominantFrequency(samples, rate = 48000) {
  const window = samples.subarray(Math.max(0, samples.length - rate));
  let best = { frequency: 0, power: 0 };
  for (let frequency = 50; frequency <= 4000; frequency++) {
    const coefficient = 2 * Math.cos((2 * Math.PI * frequency) / rate);
    let s1 = 0;
    let s2 = 0;
    for (const x of window) {
      const s0 = x + coefficient * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    const power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    if (power > best.power) best = { frequency, power };
  }
  return best.frequency;
}

// Where each burst begins: the first sample above `threshold` after at least
// `quietMs` of quiet.
export function onsets(samples, { threshold = 0.05, quietMs = 100, rate = 48000 } = {}) {
  const quiet = (quietMs * rate) / 1000;
  const found = [];
  let lastLoud = -Infinity;
  for (let i = 0; i < samples.length; i++) {
    if (Math.abs(samples[i]) > threshold) {
      if (i - lastLoud > quiet) found.push(i);
      lastLoud = i;
    }
  }
  return found;
}

// A free TCP port on 127.0.0.1, for a host that must come back on the same one.
export async function freePort() {
  const { createServer } = await import("node:net");
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.once("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// The real host: zoranth-host --serve on 127.0.0.1, its output kept line by line.
export class ServeHost {
  static async start({ port, delayMs = 1000, name = "Test Rave", extraArgs = [], env = {} } = {}) {
    const host = new ServeHost();
    host.port = port ?? (await freePort());
    host.lines = [];
    host.process = spawn(process.env.ZORANTH_HOST_EXE, [
      "--serve", "--port", String(host.port), "--delay-ms", String(delayMs), "--name", name,
      ...extraArgs,
    ], {
      stdio: ["ignore", "pipe", "pipe"],
      env: { ...process.env, ZORANTH_LISTEN_ADDRESS: "127.0.0.1", ...env },
    });
    host.exited = new Promise((resolve) => host.process.on("exit", resolve));
    for (const stream of [host.process.stdout, host.process.stderr]) {
      createInterface({ input: stream }).on("line", (line) => host.lines.push(line));
    }
    await eventually(() => host.lines.some((line) => line.includes(`listening on port ${host.port}`)) ||
                           host.process.exitCode !== null,
                     { what: "the host to listen" });
    if (host.process.exitCode !== null) {
      throw new Error(`the host ended at once:\n${host.lines.join("\n")}`);
    }
    return host;
  }

  output() {
    return this.lines.join("\n");
  }

  // The latest status line of the guest that reported `name`: its reported sync error.
  guestLine(name) {
    const lines = this.lines.filter((line) => /^\s*(client|guest) \d+ /.test(line) && line.includes(`"${name}"`));
    return lines.at(-1) ?? null;
  }

  async stop() {
    if (this.process.exitCode === null) this.process.kill("SIGINT");
    await this.exited;
  }
}

// Plays a signal into a sink of the test sound server until stopped: a steady 440 Hz
// tone, or 30 ms bursts of it every 250 ms (sharp onsets to line recordings up).
export function playIntoSink(sink, { signal = "tone", channels = 2 } = {}) {
  const player = spawn("pacat", [
    `--device=${sink}`, "--format=float32le", "--rate=48000", `--channels=${channels}`,
    "--raw", "--latency-msec=20", "--client-name=zoranth-test-signal",
  ], { stdio: ["pipe", "ignore", "inherit"] });
  let frame = 0;
  let stopped = false;
  const block = 4800; // 100 ms
  const write = () => {
    while (!stopped) {
      const samples = new Float32Array(block * channels);
      for (let i = 0; i < block; i++, frame++) {
        const tone = 0.5 * Math.sin((2 * Math.PI * 440 * frame) / 48000);
        const value = signal === "bursts" ? (frame % 12000 < 1440 ? tone : 0) : tone;
        for (let c = 0; c < channels; c++) samples[i * channels + c] = value;
      }
      if (!player.stdin.write(Buffer.from(samples.buffer))) {
        player.stdin.once("drain", write);
        return;
      }
    }
  };
  player.stdin.on("error", () => {});
  write();
  return {
    async stop() {
      stopped = true;
      player.kill("SIGTERM");
      await new Promise((resolve) => player.on("exit", resolve));
    },
  };
}
