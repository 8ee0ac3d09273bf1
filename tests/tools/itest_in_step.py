"""Two receivers on one machine are heard in step, measured in one recording of
both: a real host in serve mode clicks every 2 s, and the offset between the
left and right channels' clicks is what counts, not what the receivers report.
One of them then has its output latency raised (its stream moved to a sink about
16 ms slower) and must come back into step within a few seconds."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from in_step_rig import InStepRig, latency_rise  # noqa: E402

HOST_EXE = os.environ.get("ZORANTH_HOST_EXE", "")
LIMIT_MS = 2.0
SETTLE_S = 3.0  # the receivers connect, measure the clock and start playing
BEFORE_S = 8.0
AFTER_S = 10.0
RECOVERY_S = 4.0  # the latency change must be worked off within this


@unittest.skipUnless(os.environ.get("ZORANTH_TEST_SERVICES") and os.access(HOST_EXE, os.X_OK),
                     "needs scripts/test-services and ZORANTH_HOST_EXE")
class TwoReceiversInStep(unittest.TestCase):
    def test_heard_in_step_and_back_in_step_after_a_latency_rise(self):
        with InStepRig(HOST_EXE, seconds=SETTLE_S + BEFORE_S + AFTER_S + 10) as rig:
            clicks, moved_at, latencies = latency_rise(rig, BEFORE_S, AFTER_S, SETTLE_S)
            summaries = [rig.read(f"recv-{name}-0.out").strip().splitlines()[-1]
                         for name in ("left", "right")]
        print("\nclicks (s into the recording, left - right ms): "
              + ", ".join(f"{at:.1f}s {offset:+.2f}" for at, offset in clicks)
              + f"; moved at {moved_at:.1f}s\n" + "\n".join(summaries), flush=True)
        before = [offset for at, offset in clicks if at < moved_at]
        after = [offset for at, offset in clicks if at > moved_at + RECOVERY_S]
        self.assertGreaterEqual(len(before), 3, clicks)
        self.assertGreaterEqual(len(after), 2, clicks)
        for offset in before + after:
            self.assertLessEqual(abs(offset), LIMIT_MS, clicks)
        # The move really did lengthen the left receiver's output.
        self.assertGreaterEqual(max(latencies[-3:]), min(latencies[2:6]) + 5, latencies)


if __name__ == "__main__":
    unittest.main()
