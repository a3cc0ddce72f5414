#!/usr/bin/env bash
# Runs every benchmark of bench/ on the generated fixtures and prints their figures.
set -u
build=${1:-build}
fixtures="$build/fixtures"
status=0
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} ZELVO_FIXTURES="$fixtures" "$b" "$fixtures" || status=1
done
exit $status
