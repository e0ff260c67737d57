# Installing into a scratch prefix gives the program folder, help, icon and a
# desktop entry that desktop-file-validate accepts, pointing at the program.
add_test(NAME install_layout
  COMMAND bash -c "set -e; p=$(mktemp -d); trap 'rm -rf $p' EXIT; \
cmake --install '${CMAKE_BINARY_DIR}' --prefix $p >/dev/null; \
test -x $p/quilmon7400/quilmon7400; test -s $p/quilmon7400/quillmon.hlp; \
test -s $p/share/icons/hicolor/32x32/apps/quilmon7400.png; \
desktop-file-validate $p/share/applications/quilmon7400.desktop; \
grep -qx \"Exec=$p/quilmon7400/quilmon7400\" $p/share/applications/quilmon7400.desktop")
