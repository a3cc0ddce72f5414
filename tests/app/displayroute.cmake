# The display route opens a real output window on the second monitor of the test environment's Xvfb.
if(TARGET test_app_displayroute)
  set_property(TEST app.displayroute APPEND PROPERTY ENVIRONMENT "QT_QPA_PLATFORM=xcb" "ZELVO_TEST_ALLOW_SOFTWARE_GL=1")
  set_tests_properties(app.displayroute PROPERTIES RUN_SERIAL TRUE)
endif()
