# The built-in low-latency audio engine test runner; the ALSA device list needs the test
# environment's PulseAudio daemon.
zelvo_selftest_case(NAME audio_engine OPTION --audio-engine-test TIMEOUT 180)
