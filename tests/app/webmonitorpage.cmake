# The Web monitor tab's LAN mode listens on every address of the machine and on its fixed port, so it
# runs again inside the web tests' private network namespace (skipped, exit 77, where none can be made).
add_test(NAME app.webmonitorpage_lan COMMAND ${CMAKE_SOURCE_DIR}/tests/web/web-netns.sh
         $<TARGET_FILE:test_app_webmonitorpage> lanModeListsNetworkUrlsAndOpensLoopback)
set_tests_properties(app.webmonitorpage_lan PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}" SKIP_RETURN_CODE 77
                     TIMEOUT 120)
