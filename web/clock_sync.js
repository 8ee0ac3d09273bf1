// The host clock as seen from the page: TimeReq/TimeResp probes give a round trip
// t4 − t1 and an offset t2 − (t1 + rtt/2) (host minus page); the estimate is the
// offset of the probe with the smallest round trip among the recent ones, the one
// least disturbed by queueing. The page's clock is performance.now() in nanoseconds.

export const nowNanos = () => BigInt(Math.round(performance.now() * 1e6));

export class ClockSync {
  // `window` probes are kept: about twenty seconds at the steady pace.
  constructor(window = 20) {
    this.window = window;
    this.samples = []; // {rttNanos, offsetNanos (BigInt), at}
    this.latestRttNanos = null;
    this.probesSent = 0;
  }

  // The next probe's t1.
  probe() {
    this.probesSent++;
    return nowNanos();
  }

  // A TimeResp: returns false for an answer to no probe of ours (a t1 from the future).
  answer(t1, t2, t4 = nowNanos()) {
    const rtt = t4 - t1;
    if (rtt < 0n) return false;
    const offset = t2 - (t1 + rtt / 2n);
    this.latestRttNanos = Number(rtt);
    this.samples.push({ rttNanos: Number(rtt), offsetNanos: offset, at: t4 });
    if (this.samples.length > this.window) this.samples.shift();
    return true;
  }

  get hasEstimate() {
    return this.samples.length > 0;
  }

  #best() {
    let best = null;
    for (const sample of this.samples) {
      if (!best || sample.rttNanos < best.rttNanos) best = sample;
    }
    return best;
  }

  // Host minus page clock, BigInt nanoseconds; null before the first answer.
  get offsetNanos() {
    return this.#best()?.offsetNanos ?? null;
  }

  get minRttNanos() {
    return this.#best()?.rttNanos ?? null;
  }

  // A host-clock time as the page's performance.now() milliseconds.
  hostToPageMs(hostNanos) {
    return Number(hostNanos - this.offsetNanos) / 1e6;
  }

  reset() {
    this.samples = [];
    this.latestRttNanos = null;
  }
}
