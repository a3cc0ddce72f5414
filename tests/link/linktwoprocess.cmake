# Two real program processes in two network namespaces joined by a veth pair: discovery by
# beacon, pairing, the show and its media verified by hash, and synchronized takes that switch
# both decks. Its driver is the two-machine take benchmark, here with a few takes; the timing
# figures are the benchmark's (20 takes), not judged here.
add_test(NAME link.two_process COMMAND ${CMAKE_CURRENT_LIST_DIR}/link-two-process.sh $<TARGET_FILE:ZelvoPlayout>
         $<TARGET_FILE:bench_link_take> ${ZELVO_FIXTURES} 4)
set_tests_properties(link.two_process PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}" SKIP_RETURN_CODE 77 TIMEOUT 180
                     RUN_SERIAL TRUE)
