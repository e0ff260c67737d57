# The program run as a user would, in both notice modes (tests/e2e/user.sh).
add_test(NAME e2e_user COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/user.sh ${CMAKE_BINARY_DIR})
set_tests_properties(e2e_user PROPERTIES TIMEOUT 400 SKIP_RETURN_CODE 77
  ENVIRONMENT "TZ=Asia/Tokyo")
