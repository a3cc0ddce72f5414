#!/usr/bin/env bash
# Runs one built-in self-test of the program and shows its report, so a failing case is visible in the
# test log. Usage: run-selftest.sh PROGRAM RESULT_JSON OPTION [ARGS...]
set -u
program=$1; result=$2; shift 2
mkdir -p "$(dirname "$result")"
rm -f "$result"
"$program" "$@" --result "$result"
code=$?
if [ -f "$result" ]; then
  cat "$result"
fi
echo "exit code $code"
exit $code
