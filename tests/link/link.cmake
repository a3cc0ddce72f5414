# Link masters broadcast their beacons every second, so everything that starts a Link node runs
# inside a private network namespace made by link-netns.sh (skipped, exit 77, where none can be
# made). The tests here are registered by hand for that reason, not by the tst_ glob.
zelvo_selftest_case(NAME link OPTION --link-test WRAPPER ${CMAKE_CURRENT_LIST_DIR}/link-netns.sh TIMEOUT 240)
set_tests_properties(selftest.link PROPERTIES SKIP_RETURN_CODE 77)
