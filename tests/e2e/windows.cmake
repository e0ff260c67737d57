# A driver that shows one of the small windows, or the tray icon with its
# menu, on a real display for scripts/screenshots.sh.
add_executable(windows_show ${CMAKE_CURRENT_LIST_DIR}/windows_show.cpp)
target_link_libraries(windows_show PRIVATE quilui)
