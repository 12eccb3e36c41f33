#!/usr/bin/env bash
# Installs every Debian package Vell needs to build, run and test. Idempotent:
# packages already present are left alone, so a second run costs a few seconds.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake pkg-config ninja-build git ccache
  # fuzz targets: clang with libFuzzer and the sanitizer runtimes
  clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # GUI, web view, X11
  libgtk-3-dev libgtkmm-3.0-dev libwebkit2gtk-4.1-dev
  libx11-dev libxtst-dev libxfixes-dev libxi-dev
  # tray item: its menu over com.canonical.dbusmenu
  libdbusmenu-glib-dev
  # accessibility
  libatspi2.0-dev at-spi2-core
  # audio capture and encoding
  libpulse-dev libavcodec-dev libavformat-dev libavutil-dev libswresample-dev
  # HTTP, JSON, Unicode
  libcurl4-openssl-dev nlohmann-json3-dev libicu-dev uuid-dev
  # the local stand-in service
  libcpp-httplib-dev libmicrohttpd-dev libsqlite3-dev libsodium-dev libssl-dev
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx-en-us
  # headless desktop session for integration tests and the demo
  xvfb xauth dbus dbus-x11 openbox pulseaudio pulseaudio-utils
  flite ffmpeg sox xdotool x11-utils imagemagick
  # fonts so the panel and web view render readable text
  fonts-dejavu-core
  # installing: the desktop entry's check, the scheme registration, the .deb's dependencies
  desktop-file-utils xdg-utils dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
