# The playback runners on the generated clips.
zelvo_selftest_case(NAME smoke OPTION --smoke-test ARGS --fixtures ${ZELVO_FIXTURES}/smoke)
zelvo_selftest_case(NAME transport OPTION --transport-test)
