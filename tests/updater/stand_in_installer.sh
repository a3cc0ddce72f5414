#!/bin/sh
# Stands in for the installer in the updater tests: records its working directory, its arguments,
# how many times the stand-in application had exited when it started and, when asked, what the
# status window probe saw; then sleeps (as the recorded process id) or exits as the test says.
{
  printf 'pid\t%s\n' "$$"
  printf 'cwd\t%s\n' "$(pwd)"
  for argument in "$@"; do
    printf 'arg\t%s\n' "$argument"
  done
  printf 'app-exits\t%s\n' "$(grep -c '^exit' "$ZELVO_TEST_APP_LOG" 2>/dev/null)"
  if [ -n "${ZELVO_TEST_WINDOW_PROBE:-}" ]; then
    "$ZELVO_TEST_WINDOW_PROBE" | sed 's/^/window\t/'
  fi
} >> "$ZELVO_TEST_INSTALLER_LOG"
if [ -n "${ZELVO_TEST_INSTALLER_SLEEP:-}" ]; then
  exec sleep "$ZELVO_TEST_INSTALLER_SLEEP"
fi
exit "${ZELVO_TEST_INSTALLER_EXIT:-0}"
