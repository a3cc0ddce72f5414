# Local monitoring under transport: records the shared PulseAudio sink, so nothing else may sound
# at the same time.
set_tests_properties(engine.deckmonitoring PROPERTIES RUN_SERIAL TRUE TIMEOUT 180)
