#!/usr/bin/env bash
# Serve-mode load, by hand only (not part of CI): the host on 127.0.0.1 with 1, 10, 50,
# 200 and 500 well-behaved simulated guests in turn, each for a bounded time; one soak
# report per size, then one table: the serving process's CPU (% of one core, and per
# guest), its resident memory while the guests play, and whether every normal guest
# kept every chunk (it must, on loopback).
#
#   bench/serve_load.sh [SECONDS] [SIZES...]     (default 30 s per size; 1 10 50 200 500)
#
# The guests run in one zoranth-guestsim process beside the host; on a small machine
# their own CPU competes with the host's, which the host's figures do not include.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1 10 50 200 500)
out="build/serve-load-$(date +%Y%m%d-%H%M%S)"
status=0
for guests in "${sizes[@]}"; do
  bench/soak.sh --seconds "$seconds" --guests "normal=$guests" --out "$out/$guests" || status=1
done

echo
echo "serve load, ${seconds} s per size ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)):"
printf '%7s  %12s  %10s  %13s  %s\n' guests "cpu % core" "per guest" "rss end (MB)" "normal guests"
for guests in "${sizes[@]}"; do
  report="$out/$guests/report.txt"
  [ -f "$report" ] || { printf '%7s  (no report)\n' "$guests"; continue; }
  awk -v n="$guests" '
    /^cpu: / { for (i = 1; i <= NF; i++) if ($i == "=") share = $(i + 1); sub(/%$/, "", share) }
    /^rss: / { for (i = 1; i <= NF; i++) if ($i == "end") rss = $(i + 1) }
    /^ +normal / { line = $0; sub(/^ +normal +/, "", line) }
    /^result:/ { result = $0; sub(/^result: */, "", result) }
    END {
      printf "%7d  %12s  %10.3f  %13.1f  %s\n", n, share, share / n, rss / 1024, \
        (result != "" ? result : line)
    }' "$report"
done
echo "reports: $out/*/report.txt"
exit $status
