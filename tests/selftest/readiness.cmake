# Cue verification on the muted Preview deck and the Program deck's metrics, on the numbered clips
# that make-fixtures.sh links into readiness/fixtures.
zelvo_selftest_case(NAME readiness OPTION --readiness-test ARGS --fixtures ${ZELVO_FIXTURES}/readiness)
