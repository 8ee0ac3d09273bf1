"""The receiver against a small fake host on 127.0.0.1: clock sync, reports,
loopback assertions, decoded audio, and its failures."""

import cmath
import math
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "Tools"))
import zoranth_wire as wire  # noqa: E402
from fake_host import FakeHost  # noqa: E402
from recv import FIRST_CHUNK_PATIENCE_NS, ClockSync, Receiver, parse_args  # noqa: E402

RECV = os.path.join(HERE, "..", "..", "Tools", "recv.py")


def run_recv(*args, timeout=20):
    return subprocess.run([sys.executable, RECV, *args], capture_output=True, text=True,
                          timeout=timeout)


def dominant_frequency(samples, rate, low=100, high=2000, step=10):
    best, best_power = None, -1.0
    for f in range(low, high + 1, step):
        w = cmath.exp(-2j * math.pi * f / rate)
        acc, z = 0j, 1 + 0j
        for s in samples:
            acc += s * z
            z *= w
        if abs(acc) > best_power:
            best, best_power = f, abs(acc)
    return best


class ClockEstimate(unittest.TestCase):
    def test_offset_comes_from_the_shortest_recent_round_trip(self):
        clock = ClockSync()
        true_offset = 5_000_000
        # (send time, round trip, share of the trip spent going out)
        for t1, rtt, out_share in [(0, 8_000_000, 0.9), (1_000_000_000, 200_000, 0.5),
                                   (2_000_000_000, 3_000_000, 0.1)]:
            sent = clock.request(t1)
            t2 = sent + int(rtt * out_share) + true_offset
            self.assertTrue(clock.response(sent, t2, sent + rtt))
        self.assertEqual(clock.offsetNanos, true_offset)
        self.assertEqual(clock.latestRttNanos, 3_000_000)
        self.assertEqual(clock.minRttNanos, 200_000)

    def test_an_older_short_trip_wins_until_drift_makes_it_doubtful(self):
        clock = ClockSync()
        sent = clock.request(0)
        self.assertTrue(clock.response(sent, sent + 100_000 + 1_000, sent + 200_000))
        # Then a trip of 2 ms every second, the host's answer 500 us after the
        # midpoint: an offset 500 us off.
        offsets = {}
        for second in range(1, 13):
            t1 = clock.request(second * 1_000_000_000)
            clock.response(t1, t1 + 1_000_000 + 500_000, t1 + 2_000_000)
            offsets[second] = clock.offsetNanos
        # Doubt: 100 us of asymmetry plus 100 us per second of age, against 1 ms.
        self.assertEqual(offsets[5], 1_000)
        self.assertEqual(offsets[12], 500_000)
        self.assertEqual(clock.minRttNanos, 2_000_000)

    def test_answers_to_unasked_or_repeated_probes_are_ignored(self):
        clock = ClockSync()
        sent = clock.request(1000)
        self.assertFalse(clock.response(999, 5000, 2000))
        self.assertTrue(clock.response(sent, 5000, 2000))
        self.assertFalse(clock.response(sent, 9000, 3000))
        self.assertEqual(clock.answered, 1)


class Reporting(unittest.TestCase):
    """What the receiver tells the host, with the clock and the audio it has."""

    MS = 1_000_000

    def receiver(self, offset_ns=None, newest_due_ns=None, started_ns=0):
        r = Receiver(parse_args(["--raw", "--name", "den"]))
        r.startedNs = started_ns
        if offset_ns is not None:
            sent = r.clock.request(1_000 * self.MS)
            r.clock.response(sent, sent + 100_000 + offset_ns, sent + 200_000)
        r.newestDueNs = newest_due_ns
        return r

    def test_no_report_without_a_clock_measurement(self):
        r = self.receiver(newest_due_ns=5_000 * self.MS)
        self.assertFalse(r.canReport(10_000 * self.MS))

    def test_the_first_report_waits_a_little_for_the_first_chunk(self):
        r = self.receiver(offset_ns=0, started_ns=1_000 * self.MS)
        self.assertFalse(r.canReport(1_000 * self.MS + FIRST_CHUNK_PATIENCE_NS - 1))
        self.assertTrue(r.canReport(1_000 * self.MS + FIRST_CHUNK_PATIENCE_NS))
        stat = r.clientStat(1_000 * self.MS + FIRST_CHUNK_PATIENCE_NS)
        self.assertEqual(stat.bufferDepthMs, 0)  # nothing arrived: nothing held
        self.assertTrue(stat.flags & wire.ClientStat.hasMeasurementBit)

    def test_buffer_depth_is_measured_on_the_host_clock(self):
        # The host's clock reads 7 ms more than this one; the newest chunk is due
        # at host time 2.5 s, and it is 1.0 s here (1.007 s on the host).
        r = self.receiver(offset_ns=7 * self.MS, newest_due_ns=2_500 * self.MS)
        self.assertTrue(r.canReport(1_000 * self.MS))
        stat = r.clientStat(1_000 * self.MS)
        self.assertEqual(stat.bufferDepthMs, 1493)
        self.assertEqual(stat.offsetNanos, 7 * self.MS)
        self.assertEqual(stat.flags, wire.ClientStat.makeFlags(hasMeasurement=True))
        self.assertEqual(stat.deviceName, "den")


class AgainstFakeHost(unittest.TestCase):
    def test_clean_loopback_stream_passes_and_reports_back(self):
        with FakeHost(chunks=200) as host:
            result = run_recv("--port", str(host.port), "--raw", "--timesync",
                              "--assert-loopback", "--seconds", "2", "--stats",
                              "--name", "test receiver")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("loopback check passed", result.stdout)
        self.assertRegex(result.stdout, r"frames \d+  gaps 0  offset [+-]0\.\d{3} ms")
        stats = host.stats()
        self.assertGreaterEqual(len(stats), 1)
        last = stats[-1]
        self.assertEqual(last.deviceName, "test receiver")
        self.assertTrue(last.flags & wire.ClientStat.hasMeasurementBit)
        self.assertLess(abs(last.offsetNanos), 1_000_000)
        self.assertTrue(0 < last.minRttNanos <= last.rttNanos)
        # The host's 1500 ms of buffer, less the moment a chunk takes to arrive:
        # comfortable, in every report, the first one included.
        for stat in stats:
            # Within what the clock estimate can be off: half its round trip.
            leeway = stat.rttNanos // 2_000_000 + 1
            self.assertGreater(stat.bufferDepthMs, 1400, stat)
            self.assertLessEqual(stat.bufferDepthMs, 1500 + leeway, stat)
        self.assertIsInstance(host.received[-1], wire.Bye)

    def test_broken_stream_fails_the_loopback_check(self):
        cases = [("sequence gap", dict(skip_seq=20), "sequence numbers broke"),
                 ("chunk time off by 1 ms", dict(shift_seq=20), "chunk times did not step"),
                 ("host clock 3 ms ahead", dict(clock_skew_ns=3_000_000), "offset reached +3.")]
        for case, fault, message in cases:
            with self.subTest(case):
                with FakeHost(chunks=100, **fault) as host:
                    result = run_recv("--port", str(host.port), "--raw", "--timesync",
                                      "--assert-loopback", "--seconds", "1")
                self.assertEqual(result.returncode, 3, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)

    def test_dumped_audio_holds_the_tone(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "out.wav")
            with FakeHost(chunks=100) as host:
                result = run_recv("--port", str(host.port), "--timesync", "--dump-wav", path,
                                  "--seconds", "1")
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            with wave.open(path) as w:
                self.assertEqual((w.getnchannels(), w.getsampwidth(), w.getframerate()),
                                 (2, 2, 48000))
                self.assertGreaterEqual(w.getnframes(), 960 * 25)
                w.readframes(960 * 5)  # past the codec's start-up
                data = w.readframes(2400)
        left = [int.from_bytes(data[i:i + 2], "little", signed=True)
                for i in range(0, len(data), 4)]
        self.assertGreater(max(left), 4000)
        self.assertEqual(dominant_frequency(left, 48000), 440)

    def test_bad_frame_ends_the_run_with_the_failure(self):
        prelude = wire.encode(wire.Hello(48000, 2, 16, 960, 1500)) + b"ZRTH\x03\x02\x00\x00"
        with FakeHost(prelude=prelude) as host:
            result = run_recv("--port", str(host.port), "--raw", "--seconds", "5")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.strip(), "protocol error: unsupportedVersion(3)")
        self.assertIsInstance(host.received[-1], wire.Bye)

    def test_refused_connection(self):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        result = run_recv("--port", str(port), "--raw")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.strip(),
                         f"could not connect to 127.0.0.1:{port}: Connection refused")


@unittest.skipUnless(os.environ.get("ZORANTH_TEST_SERVICES"), "needs scripts/test-services")
class WithTestServices(unittest.TestCase):
    def test_playback_through_the_sound_server_reports_its_sync(self):
        with FakeHost(chunks=250, buffer_delay_ms=400) as host:
            result = run_recv("--port", str(host.port), "--play", "--seconds", "4")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertRegex(result.stdout, r", [1-9]\d* chunk\(s\) played")
        # How close playback comes is measured elsewhere, in a recording; here
        # the reports must hang together: once playing, the stream's latency
        # as the sound server has it, and locked exactly when the error is
        # within 5 ms.
        reports = host.stats()
        playing = [r for r in reports if r.latencyMs > 0]
        self.assertTrue(playing, reports)
        for report in reports:
            locked = bool(report.flags & wire.ClientStat.lockedBit)
            self.assertEqual(locked, report.latencyMs > 0 and abs(report.syncErrorMicros) <= 5000,
                             report)
        self.assertTrue(any(r.flags & wire.ClientStat.lockedBit for r in reports), reports)
        self.assertGreater(playing[-1].latencyMs, 10)
        self.assertLess(playing[-1].latencyMs, 1000)
        self.assertGreater(reports[-1].bufferDepthMs, 300)

    @unittest.skipUnless(shutil.which("avahi-publish"), "needs avahi-publish")
    def test_port_found_through_service_discovery(self):
        with FakeHost(chunks=60) as host:
            publisher = subprocess.Popen(["avahi-publish", "-s", "recv test rave",
                                          "_zoranth._tcp", str(host.port)],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                result = run_recv("--host", "127.0.0.1", "--raw", "--seconds", "0.5")
            finally:
                publisher.terminate()
                publisher.wait()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(f'found "recv test rave" at 127.0.0.1:{host.port}', result.stdout)


if __name__ == "__main__":
    unittest.main()
