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
