# The user-interface self-test on the real window under the test environment's Xvfb, with the real
# decks and the generated clips. It runs the program copy that sits beside the stand-in NDI and OMT
# runtimes, since one case starts an OMT sender (the stand-ins' folder is set up by the outputs
# tests, which this folder is read before); its captures and files land in captures/ui.
#
# Not registered yet: 103 of its 113 cases pass (about 10 s); these still fail because MAIN desk
# parts they drive are not finished:
#   five_tile_geometry_{en,pt-BR}_1280: at 1280 x 800 the multiview's viewport (527 px) takes two
#     tile columns, so the fifth tile's third row lies below it;
#   detached_deck_opens_window_sharing_program_frames, detaching_twice_reuses_the_same_window,
#   tally_marks_only_programs_with_media_on_air, deck_window_controls_drive_its_program_only,
#   closing_deck_window_docks_it_without_stopping, empty_program_deck_can_be_detached,
#   removing_program_closes_its_detached_deck, preview_deck_detaches_without_tally_and_docks:
#     tiles have no "Detach deck" button carrying deckKey, the Preview's has no deckKey, and deck
#     windows have no "deck" child, "onAirBadge" or "Play / pause" button.
# Uncomment the registration below once they pass.
#add_test(NAME selftest.ui
#         COMMAND ${CMAKE_CURRENT_LIST_DIR}/uitest.sh ${CMAKE_BINARY_DIR}/selftest-state/ui
#                 ${CMAKE_BINARY_DIR}/standin-app/ZelvoPlayout ${CMAKE_BINARY_DIR}/captures/ui/ui.json --ui-test
#                 --fixtures ${ZELVO_FIXTURES})
#set_tests_properties(selftest.ui PROPERTIES
#                     ENVIRONMENT "${ZELVO_TEST_ENV};QT_QPA_PLATFORM=xcb"
#                     ENVIRONMENT_MODIFICATION "ZELVO_OMT_RUNTIME=unset:;ZELVO_NDI_RUNTIME=unset:;ZELVO_DISABLE_NETWORK_RUNTIME=unset:;OMT_STORAGE_PATH=unset:"
#                     SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL TRUE)
