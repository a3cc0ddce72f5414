# The user-interface self-test on the real window under the test environment's Xvfb, with the real
# decks and the generated clips. It runs the program copy that sits beside the stand-in NDI and OMT
# runtimes, since one case starts an OMT sender (the stand-ins' folder is set up by the outputs
# tests, which this folder is read before); its captures and files land in captures/ui.

add_test(NAME selftest.ui
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/uitest.sh ${CMAKE_BINARY_DIR}/selftest-state/ui
                 ${CMAKE_BINARY_DIR}/standin-app/ZelvoPlayout ${CMAKE_BINARY_DIR}/captures/ui/ui.json --ui-test
                 --fixtures ${ZELVO_FIXTURES})
set_tests_properties(selftest.ui PROPERTIES
                     ENVIRONMENT "${ZELVO_TEST_ENV};QT_QPA_PLATFORM=xcb"
                     ENVIRONMENT_MODIFICATION "ZELVO_OMT_RUNTIME=unset:;ZELVO_NDI_RUNTIME=unset:;ZELVO_DISABLE_NETWORK_RUNTIME=unset:;OMT_STORAGE_PATH=unset:"
                     SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL TRUE)
