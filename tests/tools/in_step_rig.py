#!/usr/bin/env python3
"""Are two receivers heard in step? A host in serve mode on 127.0.0.1 captures a
click every 2 s; two Tools/recv.py --play receivers play it into the left and
the right channel of one null sink (a remap sink over each channel), and that
sink's monitor is recorded. One recording holds both on one clock, so the offset
between the channels' clicks is what a listener between the two would hear, not
what the receivers claim.

Used by the integration test next to it and, by hand, for repeated runs:

    python3 tests/tools/in_step_rig.py --host-exe build/zoranth-host --runs 10

which needs the test services' sound server in the environment (bench/in_step.sh
starts a private one). Standard library only; pactl, pacat and parec do the
sound server's side.
"""

import argparse
import array
import json
import math
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RECV = os.path.join(HERE, "..", "..", "Tools", "recv.py")

RATE = 48000
CLICK_PERIOD_S = 2.0
# A short 1.5 kHz burst with a sharp start: its onset is easy to find to a sample
# after the codec, in both channels alike.
CLICK_MS = 4
CLICK_HZ = 1500
CLICK_AMPLITUDE = 16000
# A click is found where the signal first passes this level, then timed where it
# first reaches a quarter of its own peak (between samples, linearly).
DETECT_LEVEL = 3000
ONSET_SHARE = 0.25


def click_track(seconds, period_s=CLICK_PERIOD_S, first_click_s=0.5):
    """Stereo s16le: a click every `period_s`, identical in both channels."""
    frames = int(seconds * RATE)
    samples = array.array("h", bytes(frames * 4))
    burst = [int(CLICK_AMPLITUDE * math.sin(2 * math.pi * CLICK_HZ * i / RATE))
             for i in range(CLICK_MS * RATE // 1000)]
    at = first_click_s
    while at < seconds - 0.1:
        start = int(at * RATE)
        for i, v in enumerate(burst):
            samples[2 * (start + i)] = v
            samples[2 * (start + i) + 1] = v
        at += period_s
    return samples.tobytes()


def click_onsets(channel, period_s=CLICK_PERIOD_S):
    """Fractional sample positions of the clicks in one channel (array of s16)."""
    onsets = []
    n = len(channel)
    step = 240
    i = 0
    while i < n:
        block = channel[i:i + step]
        if max(block) < DETECT_LEVEL and -min(block) < DETECT_LEVEL:
            i += step
            continue
        window = channel[max(0, i - step):min(n, i + 2 * step)]
        peak = max(max(window), -min(window))
        level = ONSET_SHARE * peak
        j = max(0, i - step)
        while abs(channel[j]) < level:
            j += 1
        before = abs(channel[j - 1]) if j > 0 else 0.0
        onsets.append(j - 1 + (level - before) / (abs(channel[j]) - before))
        i = j + int(period_s * RATE / 2)  # one click per period
    return onsets


def pair_offsets(left, right, period_s=CLICK_PERIOD_S):
    """(left onset in s, left minus right in ms) for each click found in both."""
    pairs = []
    for onset in left:
        near = [r for r in right if abs(r - onset) < period_s / 4 * RATE]
        if near:
            pairs.append((onset / RATE, (onset - near[0]) * 1000 / RATE))
    return pairs


def read_recording(path):
    samples = array.array("h")
    with open(path, "rb") as f:
        data = f.read()
    samples.frombytes(data[:len(data) // 4 * 4])
    return samples[0::2], samples[1::2]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RigError(Exception):
    pass


def pactl(*args):
    result = subprocess.run(["pactl", *args], capture_output=True, text=True, timeout=10)
    if result.returncode != 0:
        raise RigError(f"pactl {' '.join(args)}: {result.stderr.strip()}")
    return result.stdout


class InStepRig:
    """The host, the click source, the sinks and the receivers of one measurement.
    Sink names carry `tag`, so that rigs on one sound server do not meet."""

    def __init__(self, host_exe, seconds=60, delay_ms=1500, click_period_s=CLICK_PERIOD_S,
                 tag=None, workdir=None):
        self.hostExe = host_exe
        self.seconds = seconds  # how long the clicks go on
        self.delayMs = delay_ms
        self.clickPeriod = click_period_s
        tag = tag or str(os.getpid())
        self.sink = f"zoranth_instep_{tag}"
        self.sinks = {"left": f"{self.sink}_left", "right": f"{self.sink}_right"}
        # The left channel again, through a sink at 8 kHz: a stream moved there
        # holds more audio, so what it is given now is heard about 18 ms later
        # than on the plain remap sink (its latency, as the sound server reports
        # it). A receiver that writes by the clock would fall that far behind.
        self.slowSink = f"{self.sink}_slow"
        self._tmp = None if workdir else tempfile.TemporaryDirectory(prefix="instep-")
        self.dir = workdir or self._tmp.name
        self._modules = []
        self._processes = []
        self.receivers = {}
        self.port = None
        self._recorder = None
        self.recordingPath = os.path.join(self.dir, "recording.raw")

    # -- set-up and tear-down

    def __enter__(self):
        try:
            self._load_sinks()
            self._start_clicks()
            self._start_host()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _load(self, *args):
        self._modules.append(pactl("load-module", *args).strip())

    def _load_sinks(self):
        self._load("module-null-sink", f"sink_name={self.sink}", "rate=48000", "channels=2")
        for sink, position, *rate in ((self.sinks["left"], "front-left"),
                                      (self.sinks["right"], "front-right"),
                                      (self.slowSink, "front-left", "rate=8000",
                                       "resample_method=speex-float-10")):
            self._load("module-remap-sink", f"sink_name={sink}", f"master={self.sink}",
                       "channels=1", f"master_channel_map={position}", "channel_map=mono",
                       "remix=no", *rate)

    def _spawn(self, command, out_name, **kwargs):
        out = open(os.path.join(self.dir, out_name), "wb")
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, **kwargs)
        out.close()
        self._processes.append(process)
        return process

    def _start_clicks(self):
        # Into the sink the host captures: the sound server's default sink.
        track = os.path.join(self.dir, "clicks.raw")
        with open(track, "wb") as f:
            f.write(click_track(self.seconds, self.clickPeriod))
        self._spawn(["pacat", "--playback", "--raw", "--format=s16le", "--rate=48000",
                     "--channels=2", "--client-name=in-step clicks", track], "clicks.out")

    def _start_host(self):
        self.port = free_port()
        env = dict(os.environ, ZORANTH_LISTEN_ADDRESS="127.0.0.1")
        self.host = self._spawn([self.hostExe, "--serve", "--port", str(self.port),
                                 "--delay-ms", str(self.delayMs), "--name", "In step",
                                 "--seconds", str(self.seconds + 30)], "host.out", env=env)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.host.poll() is not None:
                raise RigError(f"the host exited with status {self.host.returncode}: "
                               f"{self.read('host.out')[-2000:]}")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise RigError("the host never listened")

    def close(self):
        for process in reversed(self._processes):
            if process.poll() is None:
                process.send_signal(signal.SIGINT if process is getattr(self, "host", None)
                                    else signal.SIGTERM)
        for process in reversed(self._processes):
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self._processes.clear()
        for module in reversed(self._modules):
            try:
                pactl("unload-module", module)
            except RigError:
                pass
        self._modules.clear()
        if self._tmp:
            self._tmp.cleanup()
            self._tmp = None

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read().decode("utf-8", "replace")

    # -- receivers and recording

    def start_receivers(self, seconds, run=0):
        for name, sink in self.sinks.items():
            process = self._spawn([sys.executable, RECV, "--host", "127.0.0.1", "--port",
                                   str(self.port), "--play", "--sink", sink, "--name", name,
                                   "--stats", "--seconds", str(seconds)],
                                  f"recv-{name}-{run}.out")
            self.receivers[name] = process

    def stop_receivers(self):
        for process in self.receivers.values():
            if process.poll() is None:
                process.terminate()
        for process in self.receivers.values():
            process.wait(timeout=10)
        self.receivers.clear()

    def receivers_alive(self):
        return all(p.poll() is None for p in self.receivers.values())

    def start_recording(self):
        out = open(self.recordingPath, "wb")
        self._recorder = subprocess.Popen(
            ["parec", f"--device={self.sink}.monitor", "--raw", "--format=s16le",
             "--rate=48000", "--channels=2", "--latency-msec=200"], stdout=out)
        out.close()
        self._processes.append(self._recorder)

    def recorded_seconds(self):
        """How much the recording holds so far: the recording's own clock."""
        return os.path.getsize(self.recordingPath) / 4 / RATE

    def stop_recording(self):
        self._recorder.terminate()
        self._recorder.wait(timeout=10)
        self._processes.remove(self._recorder)

    def offsets(self):
        """(seconds since the recording started, left minus right in ms) per click."""
        left, right = read_recording(self.recordingPath)
        period = self.clickPeriod
        return pair_offsets(click_onsets(left, period), click_onsets(right, period), period)

    def sink_input_of(self, name):
        pid = str(self.receivers[name].pid)
        for stream in json.loads(pactl("-f", "json", "list", "sink-inputs")):
            if stream.get("properties", {}).get("application.process.id") == pid:
                return str(stream["index"])
        raise RigError(f"no playback stream of the {name} receiver")

    def move(self, name, sink):
        pactl("move-sink-input", self.sink_input_of(name), sink)

    def latencies(self, name, run=0):
        """The output latencies the receiver's status lines gave, in ms, in order."""
        text = self.read(f"recv-{name}-{run}.out")
        return [int(line.split("  latency ")[1].split()[0])
                for line in text.splitlines() if "  latency " in line]


def check_alive(rig, run):
    if not rig.receivers_alive():
        raise RigError("a receiver ended early: " + rig.read(f"recv-left-{run}.out")[-500:]
                       + rig.read(f"recv-right-{run}.out")[-500:])


def measure(rig, seconds, settle_s, run=0):
    """One run with fresh receivers: the offset of every click after `settle_s`."""
    rig.start_receivers(seconds + settle_s + 2, run)
    time.sleep(settle_s)
    rig.start_recording()
    time.sleep(seconds)
    rig.stop_recording()
    check_alive(rig, run)
    rig.stop_receivers()
    return [offset for _, offset in rig.offsets()]


def latency_rise(rig, before_s, after_s, settle_s, run=0):
    """Both receivers in step, then the left one's stream moved to the slower
    sink. Returns the clicks (seconds into the recording, left minus right in
    ms), when in the recording the move came, and the left receiver's reported
    latencies."""
    rig.start_receivers(settle_s + before_s + after_s + 3, run)
    time.sleep(settle_s)
    rig.start_recording()
    time.sleep(before_s)
    moved_at = rig.recorded_seconds()
    rig.move("left", rig.slowSink)
    time.sleep(after_s)
    rig.stop_recording()
    check_alive(rig, run)
    rig.stop_receivers()
    return rig.offsets(), moved_at, rig.latencies("left", run)


def main(argv=None):
    p = argparse.ArgumentParser(description="Measure how far apart two receivers are heard.")
    p.add_argument("--host-exe", default="build/zoranth-host")
    p.add_argument("--runs", type=int, default=10)
    p.add_argument("--seconds", type=float, default=10, help="recorded per run")
    p.add_argument("--settle", type=float, default=3, help="seconds before recording")
    p.add_argument("--delay-ms", type=int, default=1500)
    p.add_argument("--rise", action="store_true",
                   help="instead: raise the left receiver's output latency mid-run, with a "
                        "click every 250 ms to follow its way back")
    p.add_argument("--keep", metavar="DIR", help="keep the logs and recordings in DIR")
    args = p.parse_args(argv)
    if not os.environ.get("PULSE_SERVER"):
        print("in-step: needs the test services' sound server (PULSE_SERVER)", file=sys.stderr)
        return 2
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    period = 0.25 if args.rise else CLICK_PERIOD_S
    per_run = args.settle + (10 if args.rise else args.seconds) + 4
    with InStepRig(args.host_exe, args.runs * per_run + 10, args.delay_ms, period,
                   workdir=args.keep) as rig:
        return rise_runs(rig, args) if args.rise else step_runs(rig, args)


def step_runs(rig, args):
    worst = 0.0
    for run in range(1, args.runs + 1):
        offsets = measure(rig, args.seconds, args.settle, run)
        if not offsets:
            print(f"run {run}: no clicks found", flush=True)
            worst = math.inf
            continue
        mean = sum(offsets) / len(offsets)
        spread = max(offsets, key=abs)
        worst = max(worst, abs(spread))
        print(f"run {run:2d}: {len(offsets)} clicks, left - right mean {mean:+.2f} ms, "
              f"worst {spread:+.2f} ms  ({', '.join(f'{o:+.2f}' for o in offsets)})", flush=True)
    print(f"worst offset over {args.runs} runs: {worst:.2f} ms", flush=True)
    return 0 if worst <= 2.0 else 1


def rise_runs(rig, args):
    status = 0
    for run in range(1, args.runs + 1):
        clicks, moved_at, latencies = latency_rise(rig, 3, 7, args.settle, run)
        after = [(at - moved_at, offset) for at, offset in clicks if at > moved_at]
        before = [offset for at, offset in clicks if at <= moved_at]
        # Back in step: from the first click after which every click is within 2 ms.
        back = next((at for i, (at, _) in enumerate(after)
                     if all(abs(o) <= 2.0 for _, o in after[i:])), None)
        worst_before = max((abs(o) for o in before), default=math.inf)
        print(f"run {run:2d}: latency {min(latencies[2:6])} -> {max(latencies[-3:])} ms; "
              f"before the move worst {worst_before:.2f} ms; after it "
              + " ".join(f"{at:.2f}s:{o:+.1f}" for at, o in after), flush=True)
        print("        back within 2 ms "
              + (f"{back:.2f} s after the move" if back is not None else "never"), flush=True)
        if back is None or back > 4 or worst_before > 2.0:
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
