// Plays decoded chunks in step with the host: each chunk is an AudioBufferSourceNode
// started where the host's timeline says it must be heard. Chunks wait in a queue and
// are started only within a short horizon, so a change of the audio clock (a glitch of
// a busy phone, another output) reaches what is heard within that horizon rather than
// after the whole buffer. Host time becomes page time
// through the clock estimate; page time becomes audio-context time through
// getOutputTimestamp(), which already counts the output's latency. That mapping is
// only taken once the audio clock runs (before, performanceTime reads 0 and a mapping
// would be half a second off) and is smoothed after. Chunks follow each other without
// gaps; the small drift between the clocks is taken up by playing a little faster or
// slower (at most 0.5 %, a few cents, inaudible), never by a jump, unless the error
// grows beyond what a gentle correction could absorb.

const mappingSmoothing = 0.1; // per reading, about ten readings a second
// The first readings after the audio clock starts wander by tens of milliseconds:
// the mapping waits until the clock has run this long, then averages its way in.
const settleSeconds = 0.3;
const mappingJumpMs = 40; // a reading this far off is a new clock: taken as it is
// Readings that all sit this far to one side of the mapping mean the output moved by a
// step (an underrun of a busy phone): the mapping takes the step at once rather than
// creeping after it.
const stepReadings = 5;
const stepMs = 3;
const resyncSeconds = 0.02; // chained start this far from the ideal: audio already glitched, start afresh
const correctionGain = 1; // rate change per second of error
const maxRateChange = 0.005;
const deadbandSeconds = 0.0005;
const horizonSeconds = 0.4; // how far ahead chunks are handed to the audio engine
const lockedMicros = 2000; // in sync: placed within this of the timeline
const lockedChunks = 25; // ... for half a second of chunks in a row
const steadyReadings = 20; // and the audio clock steady for the last two seconds:
const steadyMs = 3; // four readings in five within this of the mapping,
const steadySlopeMs = 1.5; // and the newer half of them no further than this from the older

export class Player {
  constructor(context) {
    this.context = context;
    this.gain = context.createGain();
    this.gain.connect(context.destination);
    this.mappingMs = null; // context ms − page ms at which a sample is heard
    this.readings = 0;
    this.recentDeviations = []; // |reading − mapping| of the latest readings, ms
    this.recentReadings = [];
    this.steadyWindow = []; // the latest readings themselves, for their trend
    this.nudgeMs = 0; // played this much earlier: headphones that hide their delay
    this.chainEnd = null; // context seconds where the next chunk starts when chained
    this.pending = []; // {planes, pageMs} in order, not yet handed to the engine
    this.started = []; // {source, planes, pageMs, start} handed to the engine
    this.syncErrorMicros = null;
    this.inTolerance = 0;
    this.newestPageMs = null;
    this.counts = { scheduled: 0, late: 0, resyncs: 0 };
  }

  // One reading of the audio clock against the page clock; call it often.
  updateMapping() {
    const stamp = this.context.getOutputTimestamp?.();
    if (!stamp || !(stamp.performanceTime > 0) || !(stamp.contextTime > settleSeconds)) {
      return; // the audio clock does not run yet, or only just
    }
    const reading = stamp.contextTime * 1000 - stamp.performanceTime;
    if (this.mappingMs !== null) {
      this.recentDeviations.push(Math.abs(reading - this.mappingMs));
      if (this.recentDeviations.length > steadyReadings) this.recentDeviations.shift();
    }
    this.steadyWindow.push(reading);
    if (this.steadyWindow.length > steadyReadings) this.steadyWindow.shift();
    this.recentReadings.push(reading);
    if (this.recentReadings.length > stepReadings) this.recentReadings.shift();
    if (this.mappingMs !== null && this.recentReadings.length === stepReadings) {
      const offsets = this.recentReadings.map((each) => each - this.mappingMs);
      if (offsets.every((offset) => offset > stepMs) || offsets.every((offset) => offset < -stepMs)) {
        this.mappingMs = [...this.recentReadings].sort((a, b) => a - b)[Math.floor(stepReadings / 2)];
        this.recentReadings = [];
        return;
      }
    }
    if (this.mappingMs === null || Math.abs(reading - this.mappingMs) > mappingJumpMs) {
      const jumped = this.mappingMs !== null;
      this.mappingMs = reading; // the first reading, or the output moved to another clock
      this.readings = 1;
      if (jumped) this.#restart();
    } else {
      this.readings++;
      const weight = Math.max(mappingSmoothing, 1 / this.readings);
      this.mappingMs += weight * (reading - this.mappingMs);
    }
  }

  get ready() {
    return this.mappingMs !== null;
  }

  // Whether the audio clock has kept to its mapping lately: while the output glitches
  // (a busy phone, a route change) the mapping moves and nothing is in sync yet.
  get steady() {
    if (this.recentDeviations.length < steadyReadings || this.steadyWindow.length < steadyReadings) {
      return false;
    }
    const within = this.recentDeviations.filter((deviation) => deviation <= steadyMs).length;
    const half = steadyReadings / 2;
    const mean = (values) => values.reduce((sum, value) => sum + value, 0) / values.length;
    const drift = mean(this.steadyWindow.slice(half)) - mean(this.steadyWindow.slice(0, half));
    return within >= 0.8 * this.recentDeviations.length && Math.abs(drift) <= steadySlopeMs;
  }

  get locked() {
    return this.inTolerance >= lockedChunks && this.steady;
  }

  // How long a stretch of audio is held ahead of what is heard now, ms; null before
  // anything was scheduled.
  get bufferDepthMs() {
    if (this.newestPageMs === null) return null;
    return Math.max(0, this.newestPageMs - this.nudgeMs - performance.now());
  }

  setVolume(fraction) {
    this.gain.gain.setTargetAtTime(fraction, this.context.currentTime, 0.02);
  }

  // One chunk: `planes` of 48 kHz samples whose first one must be heard at page time
  // `pageMs`, held until it is due to be handed on.
  enqueue(planes, pageMs) {
    if (planes.length === 0 || planes[0].length === 0) return;
    this.pending.push({ planes, pageMs });
    this.newestPageMs = pageMs + (planes[0].length / 48000) * 1000;
    this.pump();
  }

  // Hands the engine every held chunk that is due within the horizon.
  pump() {
    if (!this.ready) return;
    const horizon = this.context.currentTime + horizonSeconds;
    while (this.pending.length > 0 && this.#ideal(this.pending[0].pageMs) < horizon) {
      const { planes, pageMs } = this.pending.shift();
      this.#start(planes, pageMs);
    }
    const now = this.context.currentTime;
    while (this.started.length > 0 && this.started[0].end < now) this.started.shift();
  }

  #ideal(pageMs) {
    return (pageMs - this.nudgeMs + this.mappingMs) / 1000;
  }

  // The audio clock moved: what was handed on under the old mapping is taken back and
  // placed again.
  #restart() {
    const now = this.context.currentTime + 0.01;
    const waiting = this.started.filter((entry) => entry.start > now);
    this.started = this.started.filter((entry) => entry.start <= now);
    for (const entry of waiting) entry.source.stop();
    this.pending.unshift(...waiting.map(({ planes, pageMs }) => ({ planes, pageMs })));
    this.chainEnd = null;
    this.inTolerance = 0;
    this.counts.resyncs++;
    this.pump();
  }

  #start(planes, pageMs) {
    const frames = planes[0].length;
    const duration = frames / 48000;
    const ideal = this.#ideal(pageMs);
    const earliest = this.context.currentTime + 0.01;
    let start = ideal;
    let rate = 1;
    if (this.chainEnd !== null && Math.abs(this.chainEnd - ideal) <= resyncSeconds) {
      start = this.chainEnd;
      const error = start - ideal; // positive: the chain runs late
      if (Math.abs(error) > deadbandSeconds) {
        rate = 1 + Math.max(-maxRateChange, Math.min(maxRateChange, error * correctionGain));
      }
    } else if (this.chainEnd !== null) {
      this.counts.resyncs++;
    }
    if (start < earliest) {
      this.counts.late++;
      this.chainEnd = null;
      this.inTolerance = 0;
      return false;
    }
    const buffer = this.context.createBuffer(planes.length, frames, 48000);
    planes.forEach((plane, channel) => buffer.copyToChannel(plane, channel));
    const source = this.context.createBufferSource();
    source.buffer = buffer;
    source.playbackRate.value = rate;
    source.connect(this.gain);
    source.start(start);
    this.chainEnd = start + duration / rate;
    this.started.push({ source, planes, pageMs, start, end: this.chainEnd });
    this.counts.scheduled++;
    this.syncErrorMicros = Math.round((start - ideal) * 1e6);
    this.inTolerance = Math.abs(this.syncErrorMicros) <= lockedMicros ? this.inTolerance + 1 : 0;
    return true;
  }

  // Silences everything scheduled: the stream ended or starts over.
  stop() {
    for (const { source } of this.started) source.stop();
    this.started = [];
    this.pending = [];
    this.chainEnd = null;
    this.newestPageMs = null;
    this.syncErrorMicros = null;
    this.inTolerance = 0;
  }
}
