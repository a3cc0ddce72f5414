# The built-in update self-test reads the committed signed manifests (made by
# scripts/make-update-fixtures.sh); the later --fixtures wins over the media fixtures folder.
zelvo_selftest_case(NAME update OPTION --update-test ARGS --fixtures ${CMAKE_SOURCE_DIR}/tests/update/fixtures
                    TIMEOUT 120)

if(ZELVO_FUZZ)
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/fuzz ${CMAKE_BINARY_DIR}/tests/update/fuzz)
endif()
