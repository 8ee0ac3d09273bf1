#!/usr/bin/env bash
# Soak run, by hand only (not part of CI): a host in serve mode under 50 simulated
# guests of mixed behaviours, with churn, for a bounded time, all on 127.0.0.1. Samples
# the host's CPU time and resident memory from /proc when the guests arrive and before
# they leave, and reports CPU per guest, memory at both ends, chunks lost per guest
# behaviour (as the guests saw it and as the host counted it) and whether the host
# crashed or hung.
#
#   bench/soak.sh [--seconds N] [--guests MIX] [--port P] [--out DIR]
#
#   --seconds N   how long the guests play (default 600)
#   --guests MIX  zoranth-guestsim's mix (default 50 guests:
#                 normal=30,slow=4,stalled=4,flapping=6,garbage=3,silent=3)
#   --port P      the port the host serves on (default: a free one)
#   --out DIR     where the logs and the report go (default build/soak-<time>)
#
# ZORANTH_SOAK_HOST and ZORANTH_SOAK_GUESTSIM name other executables than
# build/zoranth-host and build/Tools/guestsim/zoranth-guestsim. Without services in
# the environment (ZORANTH_TEST_SERVICES) the script starts a private set (sound
# server with the null sink, no avahi-daemon) and stops it at the end; serve mode then
# waits its 4 s for a Bonjour confirmation that never comes and carries on.
# Exit status: 0 when the host survived and every normal guest was served cleanly.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
mix="normal=30,slow=4,stalled=4,flapping=6,garbage=3,silent=3"
port=""
out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --guests) mix="$2"; shift 2 ;;
    --port) port="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    -h|--help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$seconds" in ''|*[!0-9]*) echo "soak: --seconds takes whole seconds" >&2; exit 2 ;; esac
[ "$seconds" -ge 10 ] || { echo "soak: run at least 10 seconds" >&2; exit 2; }

host_exe="${ZORANTH_SOAK_HOST:-build/zoranth-host}"
guestsim_exe="${ZORANTH_SOAK_GUESTSIM:-build/Tools/guestsim/zoranth-guestsim}"
for exe in "$host_exe" "$guestsim_exe"; do
  [ -x "$exe" ] || { echo "soak: $exe is missing (cmake --build build --target zoranth-host zoranth-guestsim)" >&2; exit 2; }
done

out="${out:-build/soak-$(date +%Y%m%d-%H%M%S)}"
mkdir -p "$out"
host_out="$out/host.out"
guests_out="$out/guestsim.out"
rss_series="$out/rss.txt"
report="$out/report.txt"
: >"$rss_series"

warmup=6          # serve mode's start-up, including its 4 s wait for Bonjour
# A stalled guest stops reading 5 s after it joins and reads again this much later:
# long enough for the host's audio budget, its drops and its rule that drops a guest
# stalled for 10 s.
stall_for=30
grace=15          # how long the host may take to stop after SIGINT before it counts as hung
ticks=$(getconf CLK_TCK)
name="Soak $$"

log() { echo "soak: $*" >&2; }

started_services=0
if [ -z "${ZORANTH_TEST_SERVICES:-}" ]; then
  export ZORANTH_SERVICES_DIR="${ZORANTH_SERVICES_DIR:-/tmp/zoranth-soak-$(id -un)}"
  export ZORANTH_TEST_DISPLAY="${ZORANTH_TEST_DISPLAY:-93}"
  export ZORANTH_SERVICES_NO_AVAHI="${ZORANTH_SERVICES_NO_AVAHI:-1}"
  eval "$(scripts/test-services start)"
  started_services=1
fi

host_pid=""
tone_pid=""
sampler_pid=""
cleanup() {
  for pid in "$sampler_pid" "$tone_pid"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  done
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
    kill -KILL "$host_pid" 2>/dev/null || true
  fi
  [ "$started_services" = 1 ] && scripts/test-services stop >/dev/null 2>&1 || true
}
trap cleanup EXIT

if [ -z "$port" ]; then
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
fi

# Something to encode: a sweep into the null sink the host captures, for the whole run.
total=$((seconds + warmup + 30))
if command -v sox >/dev/null && command -v pacat >/dev/null; then
  ( sox -q -n -r 48000 -c 2 -b 16 -e signed -t raw - synth "$total" sine 110-1760 vol 0.3 2>/dev/null |
      pacat --raw --rate=48000 --channels=2 --format=s16le 2>/dev/null ) &
  tone_pid=$!
fi

guest_count=$(awk -F'[=,]' '{ n = 0; for (i = 2; i <= NF; i += 2) n += $i; print n }' <<<"$mix")
# A room for every simulated guest (the host takes 256 unless told).
max_guests=$(( guest_count > 256 ? guest_count : 256 ))
ZORANTH_LISTEN_ADDRESS=127.0.0.1 "$host_exe" --serve --port "$port" --name "$name" --seconds "$total" --max-guests "$max_guests" >"$host_out" 2>&1 &
host_pid=$!
log "started host $host_pid ($host_exe --serve --port $port), output in $host_out"

listening() { ss -ltnH "sport = :$port" 2>/dev/null | grep -q .; }
deadline=$((SECONDS + 30))
until listening; do
  if ! kill -0 "$host_pid" 2>/dev/null; then
    wait "$host_pid" && status=0 || status=$?
    log "the host exited during start-up with status $status; its output ends:"
    tail -20 "$host_out" >&2
    exit 1
  fi
  [ $SECONDS -lt $deadline ] || { log "the host never listened on port $port"; exit 1; }
  sleep 0.2
done
sleep "$warmup"

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$host_pid/stat" 2>/dev/null; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$host_pid/status" 2>/dev/null; }
now() { date +%s.%N; }

# Resident memory every 30 s, to tell steady growth from a step.
( while kill -0 "$host_pid" 2>/dev/null; do
    echo "$SECONDS $(rss_kb)" >>"$rss_series"; sleep 30
  done ) &
sampler_pid=$!

cpu_start=$(cpu_ticks); rss_start=$(rss_kb); t_start=$(now)
log "$mix for ${seconds}s (output in $guests_out)"
"$guestsim_exe" "127.0.0.1:$port" --guests "$mix" --seconds "$seconds" --strict \
  --stall-after 5 --stall-for "$stall_for" >"$guests_out" 2>&1 &
guestsim_pid=$!

# The end sample is taken while the guests are still there.
sleep $((seconds - 2))
cpu_end=$(cpu_ticks || true); rss_end=$(rss_kb || true); t_end=$(now)
wait "$guestsim_pid" && guestsim_status=0 || guestsim_status=$?
kill "$sampler_pid" 2>/dev/null || true
sampler_pid=""

# Crash: gone before we asked it to stop. Hang: still there long after we did.
verdict="ok"
if ! kill -0 "$host_pid" 2>/dev/null; then
  wait "$host_pid" && host_status=0 || host_status=$?
  verdict="CRASHED (exited with status $host_status while serving)"
else
  age=$(( $(date +%s) - $(stat -c %Y "$host_out") ))
  kill -INT "$host_pid"
  for _ in $(seq 1 $((grace * 10))); do
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$host_pid" 2>/dev/null; then
    verdict="HUNG (no exit ${grace}s after SIGINT; killed)"
    kill -KILL "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
  else
    wait "$host_pid" && host_status=0 || host_status=$?
    if [ "$host_status" -ne 0 ]; then
      verdict="FAILED (exit status $host_status after SIGINT)"
    elif [ "$age" -gt 10 ]; then
      verdict="STALLED (no output for ${age}s before SIGINT)"
    fi
  fi
fi
host_pid=""

{
  echo "soak: $guest_count guests ($mix) for ${seconds}s against $host_exe --serve on 127.0.0.1:$port"
  echo "host: $verdict"
  if [ -n "${cpu_start:-}" ] && [ -n "${cpu_end:-}" ]; then
    awk -v c0="$cpu_start" -v c1="$cpu_end" -v t0="$t_start" -v t1="$t_end" -v hz="$ticks" -v n="$guest_count" 'BEGIN {
      cpu = (c1 - c0) / hz; wall = t1 - t0; share = 100 * cpu / wall
      printf "cpu: %.1f s over %.1f s = %.2f%% of one core; %.3f%% per guest\n", cpu, wall, share, share / n }'
  else
    echo "cpu: not sampled (the host was gone)"
  fi
  echo "rss: start ${rss_start:-?} kB, end ${rss_end:-?} kB$( [ -n "${rss_start:-}" ] && [ -n "${rss_end:-}" ] && echo ", growth $((rss_end - rss_start)) kB")"
  echo "rss every 30 s (s kB): $(awk '{ printf "%s %s; ", $1, $2 }' "$rss_series")"
  echo
  echo "chunks lost, as the guests saw them (missing = never received):"
  awk '/^behaviour / { printf "  %-9s", $2; for (i = 3; i <= NF; i++) if ($i ~ /^(guests|chunks|gaps|missing|connections|host_endings|garbage_sent|garbage_dropped)=/) printf " %s", $i; print "" }' "$guests_out"
  echo "chunks dropped and expired, as the host counted them (each connection's last status line):"
  awk '
    /^ +client +[0-9]+ / {
      id = $2; dropped = ""; stale = ""
      for (i = 3; i < NF; i++) { if ($i == "dropped") dropped = $(i + 1); if ($i == "stale") stale = $(i + 1) }
      who = "unnamed"
      if (match($0, /"[^"]*"$/)) { n = substr($0, RSTART + 1, RLENGTH - 2); k = split(n, parts, "-"); who = parts[k] }
      last_dropped[id] = dropped; last_stale[id] = stale; behaviour[id] = who
    }
    END {
      for (id in behaviour) { seen = 1; d[behaviour[id]] += last_dropped[id]; s[behaviour[id]] += last_stale[id]; c[behaviour[id]]++ }
      for (b in c) printf "  %-9s connections=%d dropped=%d expired=%d\n", b, c[b], d[b], s[b]
      if (!seen) print "  (no guest lines in the host output)"
    }' "$host_out" | sort
  echo
  grep -E '^(FAULT|result:)' "$guests_out" || echo "guestsim: no result (status $guestsim_status)"
} | tee "$report"

[ "$verdict" = "ok" ] && [ "$guestsim_status" -eq 0 ]
