# Link masters broadcast their beacons every second, so everything that starts a Link node runs
# inside a private network namespace made by link-netns.sh (skipped, exit 77, where none can be
# made). The tests here are registered by hand for that reason, not by the tst_ glob.
zelvo_selftest_case(NAME link OPTION --link-test WRAPPER ${CMAKE_CURRENT_LIST_DIR}/link-netns.sh TIMEOUT 240)
# Its clock case allows 3 ms of error between in-process nodes: kept apart from CPU-hungry tests.
set_tests_properties(selftest.link PROPERTIES SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)

# Node tests with real sockets, each one executable run inside the namespace.
foreach(name session media)
  add_executable(test_link_${name} ${CMAKE_CURRENT_LIST_DIR}/link_${name}_test.cpp ${CMAKE_CURRENT_LIST_DIR}/RawLinkPeer.h)
  target_link_libraries(test_link_${name} PRIVATE zelvo_link Qt6::Test)
  target_include_directories(test_link_${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_LIST_DIR})
  add_test(NAME link.${name} COMMAND ${CMAKE_CURRENT_LIST_DIR}/link-netns.sh $<TARGET_FILE:test_link_${name}>)
  set_tests_properties(link.${name} PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}" SKIP_RETURN_CODE 77 TIMEOUT 120 RUN_SERIAL TRUE)
endforeach()

# libFuzzer targets for the line parser and the media request head, built on demand (clang,
# -DZELVO_FUZZ=ON).
if(ZELVO_FUZZ)
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/fuzz ${CMAKE_BINARY_DIR}/tests/link/fuzz)
endif()
