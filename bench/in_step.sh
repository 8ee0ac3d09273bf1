#!/usr/bin/env bash
# How far apart two receivers on one machine are heard, by hand only (not part of
# CI): a host in serve mode on 127.0.0.1 clicks every 2 s; two Tools/recv.py --play
# receivers play into the left and right channels of one null sink, whose monitor
# is recorded, and the offset between the channels' clicks is measured. Each run
# starts fresh receivers.
#
#   bench/in_step.sh [RUNS]          (default 10 runs of 10 s)
#   bench/in_step.sh --rise [RUNS]   the left receiver's output latency is raised
#                                    mid-run; clicks every 250 ms show its way back
#
# Without services in the environment (ZORANTH_TEST_SERVICES) the script starts a
# private set (sound server only) and stops it at the end. ZORANTH_INSTEP_HOST names
# another executable than build/zoranth-host. Exit status 0 when every click of every
# run was within 2 ms.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=()
if [ "${1:-}" = "--rise" ]; then mode=(--rise); shift; fi
runs="${1:-10}"
case "$runs" in ''|*[!0-9]*) echo "in_step: RUNS is a whole number" >&2; exit 2 ;; esac
host_exe="${ZORANTH_INSTEP_HOST:-build/zoranth-host}"
[ -x "$host_exe" ] || { echo "in_step: $host_exe is missing (cmake --build build --target zoranth-host)" >&2; exit 2; }

started_services=0
if [ -z "${ZORANTH_TEST_SERVICES:-}" ]; then
  export ZORANTH_SERVICES_DIR="${ZORANTH_SERVICES_DIR:-/tmp/zoranth-instep-$(id -un)}"
  export ZORANTH_TEST_DISPLAY="${ZORANTH_TEST_DISPLAY:-92}"
  export ZORANTH_SERVICES_NO_AVAHI="${ZORANTH_SERVICES_NO_AVAHI:-1}"
  eval "$(scripts/test-services start)"
  started_services=1
fi
cleanup() { [ "$started_services" = 1 ] && scripts/test-services stop >/dev/null 2>&1 || true; }
trap cleanup EXIT

python3 tests/tools/in_step_rig.py --host-exe "$host_exe" --runs "$runs" "${mode[@]}"
