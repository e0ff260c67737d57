# The desktop entry and the icon, in the places the desktop looks for them.
# The entry starts the program in its own folder under the prefix chosen at
# install time (--prefix may differ from the one configured).
install(CODE "set(QUIL_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")")
install(CODE [[
  file(READ "${QUIL_SOURCE_DIR}/resources/quilmon7400.desktop" entry)
  string(REGEX REPLACE "\nExec=[^\n]*" "\nExec=${CMAKE_INSTALL_PREFIX}/quilmon7400/quilmon7400"
         entry "${entry}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/applications")
  file(WRITE "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/applications/quilmon7400.desktop" "${entry}")
  message(STATUS "Installing: $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/applications/quilmon7400.desktop")
]])
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/quilmon7400.png
        DESTINATION share/icons/hicolor/32x32/apps)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/quilmon7400.png DESTINATION ${QUIL_APPDIR})
