#!/usr/bin/env bash
# Serve-mode load, by hand only (not part of CI): the host on 127.0.0.1 with 1, 10 and
# 50 well-behaved simulated guests in turn, each for a bounded time; one soak report per
# size (CPU per guest, memory, chunks lost or dropped, which must be none on loopback).
#
#   bench/serve_load.sh [SECONDS]     (default 30 per size)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
out="build/serve-load-$(date +%Y%m%d-%H%M%S)"
status=0
for guests in 1 10 50; do
  bench/soak.sh --seconds "$seconds" --guests "normal=$guests" --out "$out/$guests" || status=1
done
echo "reports: $out/*/report.txt"
exit $status
