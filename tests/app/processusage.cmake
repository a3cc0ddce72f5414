# The comparison with ps burns one processor for two seconds and reads its own share of it.
set_tests_properties(app.processusage PROPERTIES RUN_SERIAL TRUE)
