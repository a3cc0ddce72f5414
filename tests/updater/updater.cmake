# The updater runs end to end against a stand-in application (a real executable, so that its
# process image can be checked) and a stand-in installer script.
add_executable(zelvo_stand_in_app ${CMAKE_CURRENT_LIST_DIR}/stand_in_app.cpp)
set_target_properties(zelvo_stand_in_app PROPERTIES AUTOMOC OFF AUTORCC OFF AUTOUIC OFF)
add_executable(zelvo_status_window_probe ${CMAKE_CURRENT_LIST_DIR}/status_window_probe.cpp)
set_target_properties(zelvo_status_window_probe PROPERTIES AUTOMOC OFF AUTORCC OFF AUTOUIC OFF)
target_link_libraries(zelvo_status_window_probe PRIVATE X11::X11)

add_dependencies(test_updater_updater ZelvoUpdater zelvo_stand_in_app zelvo_status_window_probe)
target_compile_definitions(test_updater_updater PRIVATE
  ZELVO_UPDATER_PROGRAM="$<TARGET_FILE:ZelvoUpdater>"
  ZELVO_STAND_IN_APP="$<TARGET_FILE:zelvo_stand_in_app>"
  ZELVO_WINDOW_PROBE="$<TARGET_FILE:zelvo_status_window_probe>"
  ZELVO_STAND_IN_INSTALLER="${CMAKE_CURRENT_LIST_DIR}/stand_in_installer.sh")
# The updater test talks to programs only; it needs none of the application's libraries.
set_property(TARGET test_updater_updater PROPERTY LINK_LIBRARIES Qt6::Core Qt6::Test)
