# The desk test measures a dissolve on published frames; keep it away from CPU-hungry tests.
set_tests_properties(app.desk PROPERTIES RUN_SERIAL TRUE)
