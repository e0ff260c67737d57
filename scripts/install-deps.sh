#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and only
# what is missing, so a second `make` costs nothing.
set -euo pipefail

PKGS=(
  # build
  cmake make g++ clang-format pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev libfontconfig-dev libssl-dev
  qtkeychain-qt6-dev libgmime-3.0-dev
  # real peers the tests start themselves
  dovecot-core dovecot-pop3d python3 python3-aiosmtpd python3-dbusmock dbus openssl
  iproute2 nftables
  # seeing it as a user: X server, tray host, clicks, screenshots, clock shifting
  xvfb xauth x11-utils dbus-x11 xdotool imagemagick trayer libfaketime faketime fonts-ipafont-gothic
  at-spi2-core gir1.2-atspi-2.0 python3-gi
  # the desktop's keyring and notifications, as the tests start them; the
  # package's own dependency that opens the mail client
  gnome-keyring libsecret-tools xdg-utils
  # installing, packaging and fuzzing
  desktop-file-utils appstream lintian dpkg-dev file clang-14 libclang-rt-14-dev
  # the yardstick of the TLS benchmark
  fetchmail
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
# Package scripts must not start a system Dovecot or D-Bus on port 110 behind our back.
made_policy=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  made_policy=1
fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
[ -n "$made_policy" ] && $SUDO rm -f /usr/sbin/policy-rc.d
exit 0
