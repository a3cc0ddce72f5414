# PTP clocks bind the fixed ports 319/320 and multicast, so their socket tests run in a private
# network namespace made by ptp-netns.sh (skipped, exit 77, where none can be made).
add_executable(test_outputs_ptp_netns ${CMAKE_CURRENT_LIST_DIR}/ptp_netns_test.cpp)
target_link_libraries(test_outputs_ptp_netns PRIVATE zelvo_outputs Qt6::Test)
target_include_directories(test_outputs_ptp_netns PRIVATE ${CMAKE_SOURCE_DIR})
add_test(NAME outputs.ptp_netns
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/ptp-netns.sh $<TARGET_FILE:test_outputs_ptp_netns>)
set_tests_properties(outputs.ptp_netns PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}" SKIP_RETURN_CODE 77 TIMEOUT 120)

# libFuzzer target for the PTP message parser, built on demand (clang, -DZELVO_FUZZ=ON).
if(ZELVO_FUZZ)
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/fuzz ${CMAKE_BINARY_DIR}/tests/outputs/aes67/fuzz)
endif()
