# The desk test measures a dissolve on published frames; keep it away from CPU-hungry tests.
set_tests_properties(app.desk PROPERTIES RUN_SERIAL TRUE)
# The desk captures grab the X display, where the decks' video views draw.
set_property(TEST app.deskcaptures APPEND PROPERTY ENVIRONMENT "QT_QPA_PLATFORM=xcb" "ZELVO_TEST_ALLOW_SOFTWARE_GL=1")
# Another test's window on the same display would stand in front of the one being grabbed.
set_tests_properties(app.deskcaptures PROPERTIES RUN_SERIAL TRUE)
