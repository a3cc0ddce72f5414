# The runner test drives the built-in update self-test, which lives in the self-test library.
target_link_libraries(test_update_runner PRIVATE zelvo_selftest)
