#!/usr/bin/env bash
# Runs the user-interface self-test with a fresh state directory (its preferences, recovery copy
# and saved shows must start empty: one case reads the fade default) inside the Link tests' private
# network namespace, since one case starts a Link master, whose beacons are broadcasts.
#   uitest.sh STATE_DIR PROGRAM RESULT_JSON [OPTIONS...]
set -u
state=$1; shift
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$state" && mkdir -p "$state" || exit 1
exec "$here/../link/link-netns.sh" "$here/../../scripts/run-selftest.sh" "$@" --state-dir "$state"
