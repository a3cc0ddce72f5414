# The NDI/OMT card runs beside the stand-in runtimes (built by tests/outputs/network), and once more
# where no runtime can be found.
if(TARGET test_app_digitalpanel)
  add_dependencies(test_app_digitalpanel zelvo_standin_ndi zelvo_standin_vmx zelvo_standin_omt)
  set_property(TEST app.digitalpanel APPEND PROPERTY ENVIRONMENT "ZELVO_STANDIN_APP=${CMAKE_BINARY_DIR}/standin-app")
  add_test(NAME app.digitalpanel_without_runtime COMMAND test_app_digitalpanel)
  set_tests_properties(app.digitalpanel_without_runtime PROPERTIES ENVIRONMENT "${ZELVO_TEST_ENV}"
                       ENVIRONMENT_MODIFICATION "ZELVO_DISABLE_NETWORK_RUNTIME=unset:" TIMEOUT 120)
endif()
