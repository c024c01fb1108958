#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config ccache
  clang-14 libclang-rt-14-dev
  # libraries
  libxerces-c-dev libcurl4-openssl-dev libssl-dev libelf-dev libsystemd-dev
  qt6-base-dev qt6-base-dev-tools libxcb1-dev
  # the Wayland platform, and Qt's own texts (standard buttons) in the UI's
  # languages; the package recommends both
  qt6-wayland qt6-translations-l10n
  # tests
  libgtest-dev libgmock-dev python3 openssl curl
  # a private message bus for the fake systemd of the service tests
  dbus
  # the system helper's tests: the real polkit daemon on a private system
  # bus, in a mount namespace of its own (unshare), and systemd-analyze for
  # its unit
  polkitd util-linux systemd
  # real proxies for the transfer tests (HTTP, SOCKS 4/5, SOCKS 5 with a user)
  tinyproxy dante-server microsocks
  # an HTTPS server that asks for a client certificate and answers 400
  # without one (the connection test's diagnosis)
  nginx-light
  # an HTTP proxy demanding Basic, Digest and NTLM logins (its own helpers)
  squid
  # fonts so that the Japanese UI renders in screenshots and under Xvfb
  fonts-noto-cjk
  # renders the SVG sources of the bitmaps and icons (scripts/generate-images.sh)
  librsvg2-bin
  # the demo, the tray screenshots and the start-up benchmark: a virtual
  # display, an XEmbed tray host, X clicks and window queries, screenshots
  xvfb trayer xdotool x11-utils imagemagick
  # checks the installed desktop entries; builds and checks the Debian
  # package (dpkg-shlibdeps comes with dpkg-dev)
  desktop-file-utils dpkg-dev lintian
  # the tests through an accessibility client: the AT-SPI bus and registry,
  # and the client library for Debian's python3
  at-spi2-core python3-pyatspi
  # the Ansible collection's tests: real ansible-playbook runs, and
  # ansible-test's validate-modules run offline (it needs voluptuous)
  ansible-core python3-voluptuous
  # the tray tests: a StatusNotifierWatcher of their own (python3-dbus with
  # GLib's loop), a headless Wayland compositor, and Debian's Xfce panel
  # (its status tray, with the xfconf settings store it pulls in)
  python3-dbus python3-gi sway xfce4-panel
)

# The package test runs the polkit rule under a JavaScript engine; any
# node will do, Debian's when there is none.
if ! command -v node >/dev/null; then
  PACKAGES+=(nodejs)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
