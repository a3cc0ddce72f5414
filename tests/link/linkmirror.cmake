# The backup-mirroring self-test: a master, its mirroring backup and a control station, three
# hidden main windows in one process joined over loopback. Link binds fixed ports and broadcasts,
# so it runs inside the private namespace of link-netns.sh. Its synchronized-take and position
# cases measure timing: kept apart from CPU-hungry tests.
zelvo_selftest_case(NAME link-mirror OPTION --link-mirror-test WRAPPER ${CMAKE_CURRENT_LIST_DIR}/link-netns.sh
                    ARGS --state-dir ${CMAKE_BINARY_DIR}/selftest-state/link-mirror TIMEOUT 240)
set_tests_properties(selftest.link-mirror PROPERTIES SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)
