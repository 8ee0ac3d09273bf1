#!/usr/bin/env python3
"""ZoranthHost's default beat helper: a small energy-based beat tracker in plain
Python 3 (standard library only).

Input (standard input), records back to back in the machine's byte order:
    u64 host time in nanoseconds of the record's first frame
    u32 frame count n
    n x f32 mono samples
Output (standard output), one line per event:
    B hostTimeNanos downbeat beatInBar bpmCenti confidence
    C hostTimeNanos kind value value2        (kind 5: energy level 0-255)
    L free text                              (logged by the host)

The host sends audio only after the readiness line ("L Beat This! ready ..."),
the phrase every helper speaking this protocol announces itself with.

Records do not carry the sample rate. It is read from the records themselves:
a record's frame count over the time to the next record's time stamp, snapped
to a common rate, and changed only when three records in a row agree.

How it tracks: the log energy of every 10 ms hop, its positive rise as onset
strength, every half second an autocorrelation of the last 6 s of onsets for the
beat period (60-200 BPM, mildly preferring 120), a comb search for the phase, and
the beats of that grid as the audio passes them. The bar's downbeat is the beat
slot (of four) with the most onset strength so far; beatInBar stays 0 until
eight beats have been heard. It is a modest tracker: steady, percussive music
works, rubato does not.

Install: python3 -m venv "${XDG_DATA_HOME:-$HOME/.local/share}/zoranth/beat-venv"
(no packages needed), or set ZORANTH_BEAT_PYTHON to any python3.
"""

import array
import math
import struct
import sys

HEADER = struct.Struct("=QI")
COMMON_RATES = (8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, 176400, 192000)
HOPS_PER_SECOND = 100
WINDOW_HOPS = 600          # 6 s of onsets per analysis
FIRST_ANALYSIS_HOPS = 400  # analyse once 4 s are in
ANALYSE_EVERY_HOPS = 50
MIN_LAG, MAX_LAG = 30, 100  # 200 BPM .. 60 BPM at 10 ms hops
ENERGY_EVERY_HOPS = 100


def emit(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def snapped_rate(frames, nanos):
    if nanos <= 0:
        return None
    estimate = frames * 1e9 / nanos
    for rate in COMMON_RATES:
        if abs(estimate - rate) <= rate * 0.01:
            return rate
    return None


class RateReader:
    """Infers the sample rate from consecutive records."""

    def __init__(self):
        self.rate = None
        self.candidate = None
        self.agreeing = 0
        self.previous = None

    def observe(self, host, frames):
        if self.previous is not None:
            seen = snapped_rate(self.previous[1], host - self.previous[0])
            if seen is not None and self.rate is None:
                self.rate = seen
            elif seen is not None and seen != self.rate:
                self.agreeing = self.agreeing + 1 if seen == self.candidate else 1
                self.candidate = seen
                if self.agreeing >= 3:
                    self.rate, self.candidate, self.agreeing = seen, None, 0
            else:
                self.candidate, self.agreeing = None, 0
        self.previous = (host, frames)


class Tracker:
    def __init__(self):
        self.rate = None
        self.hop = 0
        self.filled = 0
        self.energy = 0.0
        self.hop_start = 0
        self.previous_log = None
        self.onsets = []       # onset strength per hop (window only)
        self.hop_times = []    # host time of each hop's first sample
        self.hops = 0
        self.last_beat_hop = None
        self.beat_count = 0
        self.slot_strength = [0.0] * 4
        self.energy_sum = 0.0
        self.energy_hops = 0

    def set_rate(self, rate):
        if rate != self.rate:
            self.rate = rate
            self.hop = max(1, round(rate / HOPS_PER_SECOND))
            self.filled = 0
            self.energy = 0.0

    def feed(self, host, samples):
        for index, sample in enumerate(samples):
            if self.filled == 0:
                self.hop_start = host + int(index * 1e9 / self.rate)
            self.energy += sample * sample
            self.filled += 1
            if self.filled == self.hop:
                self.close_hop()

    def close_hop(self):
        mean_square = self.energy / self.hop
        level = math.log10(mean_square + 1e-10)
        rise = 0.0 if self.previous_log is None else max(0.0, level - self.previous_log)
        self.previous_log = level
        self.onsets.append(rise)
        self.hop_times.append(self.hop_start)
        if len(self.onsets) > WINDOW_HOPS:
            del self.onsets[0]
            del self.hop_times[0]
        self.hops += 1
        self.filled = 0
        self.energy = 0.0
        self.energy_sum += mean_square
        self.energy_hops += 1
        if self.energy_hops == ENERGY_EVERY_HOPS:
            self.report_energy()
        if self.hops >= FIRST_ANALYSIS_HOPS and self.hops % ANALYSE_EVERY_HOPS == 0:
            self.analyse()

    def report_energy(self):
        rms = math.sqrt(self.energy_sum / self.energy_hops)
        decibels = 20 * math.log10(rms + 1e-9)
        level = min(255, max(0, round((decibels + 60) / 60 * 255)))
        emit("C %d 5 %d 0" % (self.hop_start, level))
        self.energy_sum = 0.0
        self.energy_hops = 0

    def period(self):
        curve = self.onsets
        mean = sum(curve) / len(curve)
        centred = [value - mean for value in curve]
        zero_lag = sum(value * value for value in centred)
        if zero_lag <= 0:
            return None
        scores = {}
        for lag in range(MIN_LAG - 1, MAX_LAG + 2):
            scores[lag] = sum(centred[i] * centred[i - lag] for i in range(lag, len(centred))) / zero_lag
        weighted = {lag: scores[lag] * math.exp(-0.5 * (math.log2(lag / 50.0) / 1.2) ** 2)
                    for lag in range(MIN_LAG, MAX_LAG + 1)}
        best = max(weighted, key=weighted.get)
        if scores[best] <= 0.05:
            return None
        # A parabola through the neighbours places the peak between whole hops.
        left, middle, right = scores[best - 1], scores[best], scores[best + 1]
        curvature = left - 2 * middle + right
        offset = 0.5 * (left - right) / curvature if curvature < 0 else 0.0
        return best + max(-0.5, min(0.5, offset)), min(1.0, scores[best])

    def phase(self, period):
        """Hops back from the newest hop to the most recent beat."""
        newest = len(self.onsets) - 1
        best_phase, best_score = 0, -1.0
        for phase in range(int(period)):
            score, position = 0.0, newest - phase
            while position >= 0:
                score += self.onsets[int(round(position))]
                position -= period
            if score > best_score:
                best_phase, best_score = phase, score
        return best_phase

    def analyse(self):
        found = self.period()
        if found is None:
            return
        period, confidence = found
        newest = len(self.onsets) - 1
        first_hop = self.hops - len(self.onsets)
        beat = newest - self.phase(period)
        # Walk back to the earliest grid beat not yet reported, then report forward.
        while beat - period >= 0 and (self.last_beat_hop is None or
                                      first_hop + beat - period > self.last_beat_hop + 0.6 * period):
            beat -= period
        while beat <= newest:
            absolute = first_hop + int(round(beat))
            if self.last_beat_hop is None or absolute > self.last_beat_hop + 0.6 * period:
                self.report_beat(absolute, int(round(beat)), period, confidence)
            beat += period

    def report_beat(self, absolute, position, period, confidence):
        slot = self.beat_count % 4
        if slot == 0:  # older bars count less, a whole bar at a time
            self.slot_strength = [strength * 0.9 for strength in self.slot_strength]
        self.slot_strength[slot] += self.onsets[position]
        self.beat_count += 1
        self.last_beat_hop = absolute
        beat_in_bar = 0
        if self.beat_count > 8:
            downbeat_slot = max(range(4), key=lambda index: self.slot_strength[index])
            beat_in_bar = (slot - downbeat_slot) % 4 + 1
        bpm_centi = min(65535, round(HOPS_PER_SECOND * 60 / period * 100))
        emit("B %d %d %d %d %d" % (self.hop_times[position], 1 if beat_in_bar == 1 else 0,
                                   beat_in_bar, bpm_centi, round(confidence * 255)))


def read_exactly(stream, count):
    data = stream.read(count)
    return data if data is not None and len(data) == count else None


def main():
    source = sys.stdin.buffer
    rates = RateReader()
    tracker = Tracker()
    waiting = []  # records held until the rate is known
    emit("L energy beat tracker (standard library only)")
    emit("L Beat This! ready (energy tracker; sample rate read from the records)")
    while True:
        header = read_exactly(source, HEADER.size)
        if header is None:
            break
        host, frames = HEADER.unpack(header)
        payload = read_exactly(source, 4 * frames)
        if payload is None:
            break
        samples = array.array("f")
        samples.frombytes(payload)
        rates.observe(host, frames)
        if rates.rate is None and len(waiting) < 50:
            waiting.append((host, samples))
            continue
        # Time stamps that never show a rate: assume what live capture sends.
        tracker.set_rate(rates.rate or 48000)
        for held_host, held in waiting:
            tracker.feed(held_host, held)
        waiting = []
        tracker.feed(host, samples)


if __name__ == "__main__":
    try:
        main()
    except (BrokenPipeError, KeyboardInterrupt):
        pass
