# The layout boards start the real program several times at once; keep them away from other
# CPU-hungry tests.
set_tests_properties(app.captures PROPERTIES RUN_SERIAL TRUE)
