# The desktop entry and the icon, in the places the desktop looks for them.
# The entry starts the program in its own folder, wherever it was installed.
file(READ ${CMAKE_SOURCE_DIR}/resources/quilmon7400.desktop QUIL_DESKTOP_ENTRY)
string(REGEX REPLACE "\nExec=[^\n]*" "\nExec=${QUIL_APPDIR}/quilmon7400"
       QUIL_DESKTOP_ENTRY "${QUIL_DESKTOP_ENTRY}")
file(WRITE ${CMAKE_BINARY_DIR}/quilmon7400.desktop "${QUIL_DESKTOP_ENTRY}")

install(FILES ${CMAKE_BINARY_DIR}/quilmon7400.desktop
        DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/quilmon7400.png
        DESTINATION share/icons/hicolor/32x32/apps)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/quilmon7400.png DESTINATION ${QUIL_APPDIR})
