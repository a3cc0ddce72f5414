# The web monitor's runner binds the viewers' fixed UDP port range, so it runs inside a private
# network namespace (skipped, exit 77, where none can be made). Its fixture is a 1920x1080 clip with
# sound under the name the runner reads.
set(web_fixtures ${CMAKE_BINARY_DIR}/web-fixtures)
file(MAKE_DIRECTORY ${web_fixtures})
file(CREATE_LINK ${ZELVO_FIXTURES}/clip_1080p25.mp4 ${web_fixtures}/01-h264.mp4 SYMBOLIC)
zelvo_selftest_case(NAME web OPTION --web-test WRAPPER ${CMAKE_CURRENT_LIST_DIR}/web-netns.sh TIMEOUT 300
                    ARGS --fixtures ${web_fixtures})
set_tests_properties(selftest.web PROPERTIES SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)

# Chromium watches the monitor page of an in-process server (headless, through chromium-driver).
add_executable(test_web_browser ${CMAKE_CURRENT_LIST_DIR}/browser_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/WebDriverSession.h)
target_link_libraries(test_web_browser PRIVATE zelvo_web Qt6::Test)
target_include_directories(test_web_browser PRIVATE ${CMAKE_SOURCE_DIR})
add_test(NAME web.browser COMMAND ${CMAKE_CURRENT_LIST_DIR}/web-netns.sh $<TARGET_FILE:test_web_browser>)
set_tests_properties(web.browser PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}" SKIP_RETURN_CODE 77 TIMEOUT 300
                     RUN_SERIAL TRUE)

# The server's LAN mode against the namespace's veth address.
add_test(NAME web.webserver_lan COMMAND ${CMAKE_CURRENT_LIST_DIR}/web-netns.sh $<TARGET_FILE:test_web_webserver>
         lanModeOffersNetworkCandidates)
set_tests_properties(web.webserver_lan PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}" SKIP_RETURN_CODE 77 TIMEOUT 120)
