#!/usr/bin/env bash
# Runs every benchmark of bench/ on the generated fixtures (ZELVO_FIXTURES) and prints their figures.
# Meant to run inside scripts/test-env.sh (display and sound server); the PTP and AES67 ones re-run
# themselves in a private network namespace and need root.
set -u
build=${1:-build}
export ZELVO_FIXTURES="$build/fixtures"
status=0
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  echo "== $name"
  platform=offscreen
  [ "$name" = bench_scaling ] && platform=xcb   # the GPU path needs the X display
  [ "$name" = bench_window ] && platform=xcb    # the desk paints its monitors on the X display
  QT_QPA_PLATFORM=$platform "$b" || status=1
done
exit $status
