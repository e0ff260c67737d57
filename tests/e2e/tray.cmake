# The tray icon through a StatusNotifierItem host of the test's own.
add_test(NAME e2e_tray_sni COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/tray_sni.sh ${CMAKE_BINARY_DIR})
set_tests_properties(e2e_tray_sni PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
