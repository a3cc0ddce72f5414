# Display outputs: scalers, output windows and their self-test runners.

# The output window tests place windows on three offscreen screens (two side by side, one HiDPI).
set_property(TEST outputs.outputwindow APPEND PROPERTY ENVIRONMENT
             "QT_QPA_PLATFORM=offscreen:configfile=${CMAKE_CURRENT_LIST_DIR}/screens.json")
# The GPU tests need a real OpenGL driver: the Xvfb display of scripts/test-env.sh with Mesa, whose
# software renderer only the test switch lets through.
set_property(TEST outputs.gpuscaling APPEND PROPERTY ENVIRONMENT "QT_QPA_PLATFORM=xcb"
             "ZELVO_TEST_ALLOW_SOFTWARE_GL=1")

zelvo_selftest_case(NAME output OPTION --output-test TIMEOUT 180)
# Its stream cases must scale 8 pictures of a 4K clip within 12 s; beside other tests of a sanitizer
# build they get too little of the machine.
set_tests_properties(selftest.output PROPERTIES RUN_SERIAL TRUE)

# The GPU runner's reports are judged by a checker that knows the software renderer (see its header).
add_executable(check_gpu_report ${CMAKE_CURRENT_LIST_DIR}/check_gpu_report.cpp)
target_link_libraries(check_gpu_report PRIVATE zelvo_outputs)
# The runner as shipped: on a software renderer it must refuse the GPU path and fall back to native
# scaling with its notice.
zelvo_selftest_case(NAME gpu OPTION --gpu-test ENV QT_QPA_PLATFORM=xcb TIMEOUT 240
                    WRAPPER $<TARGET_FILE:check_gpu_report> fallback ${CMAKE_BINARY_DIR}/selftest-results/gpu.json --)
# The same runner with the software renderer let through: every case must pass, the playback streams
# at the pace the software renderer affords.
zelvo_selftest_case(NAME gpu_software OPTION --gpu-test ENV QT_QPA_PLATFORM=xcb ZELVO_TEST_ALLOW_SOFTWARE_GL=1
                    TIMEOUT 240
                    WRAPPER $<TARGET_FILE:check_gpu_report> software
                            ${CMAKE_BINARY_DIR}/selftest-results/gpu_software.json --)
# The software renderer needs the machine's cores to keep up with playback; no other test runs beside it.
set_tests_properties(selftest.gpu_software outputs.gpuscaling PROPERTIES RUN_SERIAL TRUE)
