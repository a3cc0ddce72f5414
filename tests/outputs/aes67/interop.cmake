# Our PTP clock and AES67 sender against standard peers from Debian: linuxptp's ptp4l as master and
# as slave, ffmpeg and GStreamer as AES67 receivers. They bind the PTP ports and multicast, so they
# run in the private network namespace (a veth pair) that interop-netns.sh makes; skipped (exit 77)
# where none can be made. Timing matters, so they run alone.
add_executable(test_outputs_aes67_interop ${CMAKE_CURRENT_LIST_DIR}/interop_netns_test.cpp)
target_link_libraries(test_outputs_aes67_interop PRIVATE zelvo_outputs Qt6::Test)
target_include_directories(test_outputs_aes67_interop PRIVATE ${CMAKE_SOURCE_DIR})
add_test(NAME outputs.aes67_interop
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/interop-netns.sh $<TARGET_FILE:test_outputs_aes67_interop>)
set_tests_properties(outputs.aes67_interop PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}" SKIP_RETURN_CODE 77
                     TIMEOUT 240 RUN_SERIAL TRUE)
