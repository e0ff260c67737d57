# The installed tree and the Debian package (tests/e2e/install.sh).
add_test(NAME install_layout COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install.sh ${CMAKE_BINARY_DIR} layout)
add_test(NAME package COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install.sh ${CMAKE_BINARY_DIR} package)
set_tests_properties(install_layout package PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
