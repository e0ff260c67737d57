# Installed the way a Debian system lays programs out; `make deb` packs the
# same tree (cmake/package.cmake).
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(QUIL_APPSTREAM_ID "io.github.quilmon7400.Quilmon7400")

install(TARGETS quilmon7400 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES resources/quillmon.hlp DESTINATION ${CMAKE_INSTALL_DATADIR}/quilmon7400)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES resources/icons/hicolor/${size}x${size}/apps/quilmon7400.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES packaging/${QUIL_APPSTREAM_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian keeps changelogs and manual pages compressed, reproducibly (-n: no
# name or time stamp in the header).
set(QUIL_GZ_DIR ${CMAKE_BINARY_DIR}/packaging)
set(QUIL_GZ_FILES)
foreach(pair "changelog|changelog.gz" "quilmon7400.1|quilmon7400.1.gz"
             "ja/quilmon7400.1|ja/quilmon7400.1.gz")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  get_filename_component(to_dir ${QUIL_GZ_DIR}/${to} DIRECTORY)
  add_custom_command(OUTPUT ${QUIL_GZ_DIR}/${to}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${to_dir}
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/${from} > ${QUIL_GZ_DIR}/${to}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/${from} VERBATIM)
  list(APPEND QUIL_GZ_FILES ${QUIL_GZ_DIR}/${to})
endforeach()
add_custom_target(quil_compressed_docs ALL DEPENDS ${QUIL_GZ_FILES})
install(FILES ${QUIL_GZ_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${QUIL_GZ_DIR}/quilmon7400.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${QUIL_GZ_DIR}/ja/quilmon7400.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/ja/man1)

# The desktop entry starts the program by its full path under the prefix
# chosen at install time (--prefix may differ from the one configured; a
# package build installs with DESTDIR and its own prefix).
install(CODE "set(QUIL_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")")
install(CODE [[
  set(apps "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/applications")
  file(READ "${QUIL_SOURCE_DIR}/resources/quilmon7400.desktop" entry)
  string(REGEX REPLACE "\nExec=[^\n]*" "\nExec=${CMAKE_INSTALL_PREFIX}/bin/quilmon7400"
         entry "${entry}")
  file(MAKE_DIRECTORY "${apps}")
  file(WRITE "${apps}/quilmon7400.desktop" "${entry}")
  file(CHMOD "${apps}/quilmon7400.desktop" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  message(STATUS "Installing: ${apps}/quilmon7400.desktop")
]])

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
