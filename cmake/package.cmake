# `make deb`: a Debian package of the installed tree, built by CPack.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quilmon7400)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT
    "Quilmon 7400 maintainers <maintainers@users.noreply.c-seed-5fcc4eea.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "POP3 mail checker for the system tray")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Quilmon 7400 (クイルモン7400) sits in the system tray and checks one POP3\n"
  "mailbox at wall-clock-aligned intervals, optionally over a NetworkManager\n"
  "dial-up connection. It counts the messages it has not seen before and\n"
  "tells of them by a popup that stays on top or by a short notice mail.\n"
  "Its settings file is shared with the Windows program of the same name;\n"
  "everything it shows is Japanese.")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# platform/tls.cpp opens libssl.so.3 itself on the first secure connection,
# so dpkg-shlibdeps cannot see it; メールを開く runs xdg-open.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3, xdg-utils")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
include(CPack)
