#!/usr/bin/env bash
# The installed tree, as `make install` and the package lay it out.
#
#   tests/e2e/install.sh <builddir> layout    install into a scratch prefix; check the
#                                             files, the desktop entry and the AppStream
#                                             data; start the installed copy (offscreen)
#   tests/e2e/install.sh <builddir> package   build the .deb in a scratch folder; check
#                                             its contents and lintian's verdict
# Exit 0: all seen; 1: something was wrong (printed); 77: a needed tool is missing.
set -euo pipefail
build=$(cd "$1" && pwd)
what=$2
work=$(mktemp -d /tmp/quil-install.XXXXXX)
app_pid=
cleanup() {
  if [ -n "$app_pid" ]; then
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
need() { command -v "$1" >/dev/null || { echo "SKIP: $1 is not installed"; exit 77; }; }
id=io.github.quilmon7400.Quilmon7400
icons="16 22 24 32 48 64 128 256"

layout() {
  need desktop-file-validate
  need appstreamcli
  local p=$work/prefix
  cmake --install "$build" --prefix "$p" >/dev/null
  test -x "$p/bin/quilmon7400" || fail "no program in bin"
  test -s "$p/share/quilmon7400/quillmon.hlp" || fail "no help file"
  for s in $icons; do
    test -s "$p/share/icons/hicolor/${s}x$s/apps/quilmon7400.png" || fail "no ${s}px icon"
  done
  test -s "$p/share/doc/quilmon7400/copyright" || fail "no copyright file"
  gzip -t "$p/share/doc/quilmon7400/changelog.gz" "$p/share/man/man1/quilmon7400.1.gz" \
    "$p/share/man/ja/man1/quilmon7400.1.gz" || fail "a compressed file is broken"
  desktop-file-validate "$p/share/applications/quilmon7400.desktop" || fail "desktop entry"
  grep -qx "Exec=$p/bin/quilmon7400" "$p/share/applications/quilmon7400.desktop" ||
    fail "the desktop entry starts something else"
  appstreamcli validate --no-net "$p/share/metainfo/$id.metainfo.xml" || fail "AppStream data"
  echo "ok   installed layout"

  # The installed copy, started by a user whose home is fresh: its files go
  # to private XDG folders, nothing beside the program.
  local home=$work/home
  mkdir -p "$home" "$work/run"
  chmod 700 "$work/run"
  local run=(env -u XDG_CONFIG_HOME -u XDG_STATE_HOME HOME="$home" XDG_RUNTIME_DIR="$work/run"
    QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 "$p/bin/quilmon7400")
  "${run[@]}" >"$work/first.out" 2>&1 &
  app_pid=$!
  local i
  for i in $(seq 100); do
    [ -e "$home/.local/state/quilmon7400/quil7400.lock" ] && break
    kill -0 "$app_pid" 2>/dev/null || { cat "$work/first.out"; fail "the program ended"; }
    sleep 0.1
  done
  [ -e "$home/.local/state/quilmon7400/quil7400.lock" ] || fail "no lock file in the state folder"
  for d in .config/quilmon7400 .local/state/quilmon7400; do
    [ "$(stat -c %a "$home/$d")" = 700 ] || fail "$d is $(stat -c %a "$home/$d"), not 700"
  done
  [ "$(ls -A "$p/bin")" = quilmon7400 ] || fail "files beside the installed program: $(ls -A "$p/bin")"
  # A second start ends at once, leaving the first one running.
  timeout 20 "${run[@]}" >/dev/null 2>&1 ||
    fail "the second start did not end by itself"
  kill -0 "$app_pid" 2>/dev/null || fail "the first copy ended"
  echo "ok   installed copy: private XDG folders, nothing beside it, one copy"

  # A settings folder others may write is refused: the program shows why
  # (and waits there for the user) instead of using it.
  mkdir -p "$work/shared/quilmon7400"
  chmod 777 "$work/shared/quilmon7400"
  local status=0
  timeout 5 env HOME="$work/home2" XDG_CONFIG_HOME="$work/shared" XDG_RUNTIME_DIR="$work/run" \
    QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 "$p/bin/quilmon7400" >"$work/refused.out" 2>&1 || status=$?
  [ $status -eq 124 ] || { cat "$work/refused.out"; fail "a refused folder ended the program with $status"; }
  [ -z "$(ls -A "$work/shared/quilmon7400")" ] && [ ! -e "$work/home2/.local/state/quilmon7400" ] ||
    fail "files were made despite the refused folder"
  echo "ok   a settings folder others may write is refused"
}

package() {
  need lintian
  need dpkg-deb
  need dpkg-shlibdeps
  cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.out" 2>&1 ||
    { cat "$work/cpack.out"; fail "cpack"; }
  local deb
  deb=$(ls "$work"/deb/quilmon7400_*.deb) || fail "no package"
  dpkg-deb -c "$deb" >"$work/contents"
  for f in ./usr/bin/quilmon7400 ./usr/share/quilmon7400/quillmon.hlp \
    ./usr/share/applications/quilmon7400.desktop ./usr/share/metainfo/$id.metainfo.xml \
    ./usr/share/doc/quilmon7400/copyright ./usr/share/doc/quilmon7400/changelog.gz \
    ./usr/share/man/man1/quilmon7400.1.gz; do
    grep -q " $f\$" "$work/contents" || fail "$f is not in the package"
  done
  dpkg-deb -f "$deb" Depends | grep -q 'libssl3' || fail "libssl3 is not a dependency"
  dpkg-deb -f "$deb" Depends | grep -q 'xdg-utils' || fail "xdg-utils is not a dependency"
  dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "no dependencies from the libraries"
  dpkg-deb -x "$deb" "$work/x"
  file "$work/x/usr/bin/quilmon7400" | grep -q ', stripped' || fail "the program is not stripped"
  grep -qx 'Exec=/usr/bin/quilmon7400' "$work/x/usr/share/applications/quilmon7400.desktop" ||
    fail "the packaged desktop entry starts something else"
  lintian --tag-display-limit 0 "$deb" >"$work/lintian.out" 2>&1 || true
  cat "$work/lintian.out"
  ! grep -q '^E:' "$work/lintian.out" || fail "lintian reports errors"
  echo "ok   package $(basename "$deb")"
}

"$what"
