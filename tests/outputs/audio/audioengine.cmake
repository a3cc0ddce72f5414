# The built-in low-latency audio engine test runner; the ALSA device list needs the test
# environment's PulseAudio daemon.
zelvo_selftest_case(NAME audio_engine OPTION --audio-engine-test TIMEOUT 180)
# Both play in real time and judge what comes out: the ALSA test records 12 s of a Program's tone
# through the test environment's sound server, the runner measures the render thread's cost and
# whether each Program sounds. The decks' players deliver their audio only 20 ms ahead and the
# engine reads it 10 ms behind the clock; a CPU-hungry test beside them makes that audio late.
set_tests_properties(outputs.alsabackend selftest.audio_engine PROPERTIES RUN_SERIAL TRUE)
