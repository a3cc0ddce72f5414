# NDI and OMT outputs: the stand-in runtimes, the unit tests that load them, and the network runner,
# once beside the stand-ins (everything must pass) and once where no runtime can be found (exactly
# the cases that need a runtime must fail, with the loaders' texts).
include(${CMAKE_CURRENT_LIST_DIR}/standins/standins.cmake)

foreach(name networkruntime networkbus)
  if(TARGET test_outputs_${name})
    add_dependencies(test_outputs_${name} ${zelvo_standin_libraries})
    set_property(TEST outputs.${name} APPEND PROPERTY ENVIRONMENT
                 "ZELVO_STANDIN_APP=${ZELVO_STANDIN_APP}" "ZELVO_STANDIN_VARIANTS=${ZELVO_STANDIN_VARIANTS}")
  endif()
endforeach()

# The runner reads 01-h264.mp4 from the folder it is given and counts only 1920x1080 pictures.
set(zelvo_network_fixtures ${CMAKE_BINARY_DIR}/network-fixtures)
file(MAKE_DIRECTORY ${zelvo_network_fixtures})
file(CREATE_LINK ${ZELVO_FIXTURES}/clip_1080p25.mp4 ${zelvo_network_fixtures}/01-h264.mp4 SYMBOLIC)

# Nothing from the caller's environment may point the loaders elsewhere.
set(zelvo_network_env_cleanup "ZELVO_NDI_RUNTIME=unset:" "ZELVO_OMT_RUNTIME=unset:" "NDI_RUNTIME_DIR_V6=unset:"
    "NDI_RUNTIME_DIR_V5=unset:" "ZELVO_DISABLE_NETWORK_RUNTIME=unset:" "OMT_STORAGE_PATH=unset:")

add_test(NAME selftest.network
         COMMAND ${CMAKE_SOURCE_DIR}/scripts/run-selftest.sh ${ZELVO_STANDIN_APP}/ZelvoPlayout
                 ${CMAKE_BINARY_DIR}/selftest-results/network.json --network-test
                 --fixtures ${zelvo_network_fixtures} --state-dir ${CMAKE_BINARY_DIR}/selftest-state/network)
set_tests_properties(selftest.network PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}"
                     ENVIRONMENT_MODIFICATION "${zelvo_network_env_cleanup}" TIMEOUT 300)

add_executable(network_without_runtime_check ${CMAKE_CURRENT_LIST_DIR}/network_without_runtime_check.cpp)
target_link_libraries(network_without_runtime_check PRIVATE Qt6::Core)
add_test(NAME selftest.network_without_runtime
         COMMAND network_without_runtime_check $<TARGET_FILE:ZelvoPlayout> ${zelvo_network_fixtures}
                 ${CMAKE_BINARY_DIR}/selftest-results/network-without-runtime.json
                 ${CMAKE_BINARY_DIR}/selftest-state/network-without-runtime)
set_tests_properties(selftest.network_without_runtime PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}"
                     ENVIRONMENT_MODIFICATION "${zelvo_network_env_cleanup}" TIMEOUT 300)
# The runner's mute and missing-device cases give a playing 1080p deck 80 and 120 ms to show a new
# picture and silent packets; beside another CPU-hungry test its decoder misses that window.
set_tests_properties(selftest.network selftest.network_without_runtime PROPERTIES RUN_SERIAL TRUE)
