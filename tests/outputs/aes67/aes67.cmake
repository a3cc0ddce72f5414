# The AES67 sender multicasts and its PTP clock binds the fixed ports 319/320, so its socket tests and
# the built-in runner run inside a private network namespace made by aes67-netns.sh (skipped, exit 77,
# where none can be made).
add_executable(test_outputs_aes67_netns ${CMAKE_CURRENT_LIST_DIR}/aes67_netns_test.cpp)
target_link_libraries(test_outputs_aes67_netns PRIVATE zelvo_outputs Qt6::Test)
target_include_directories(test_outputs_aes67_netns PRIVATE ${CMAKE_SOURCE_DIR})
add_test(NAME outputs.aes67_netns
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/aes67-netns.sh $<TARGET_FILE:test_outputs_aes67_netns>)
set_tests_properties(outputs.aes67_netns PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}" SKIP_RETURN_CODE 77 TIMEOUT 120)

# The runner's PTP cases lock a slave to a master in the same process through the kernel's software
# time stamps, whose delays grow with the load of other tests: it runs alone.
zelvo_selftest_case(NAME aes67 OPTION --aes67-test WRAPPER ${CMAKE_CURRENT_LIST_DIR}/aes67-netns.sh TIMEOUT 240)
set_tests_properties(selftest.aes67 PROPERTIES SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)
