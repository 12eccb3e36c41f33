#!/usr/bin/env bash
# Checks what installing Vell puts on a machine: `cmake --install` into a
# scratch prefix and the .deb from CPack both hold the program, the deployment
# file, the desktop entry claiming vell:// and the icons, and the entry passes
# desktop-file-validate.
#   check-install.sh BUILD_DIR   use an existing build tree
#   check-install.sh             clone the repository's HEAD and build only the program
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d /tmp/vell-install-check.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

if [[ $# -ge 1 ]]; then
  build=$(cd "$1" && pwd)
else
  git clone -q "$source_dir" "$scratch/clone"
  build="$scratch/build"
  cmake -S "$scratch/clone" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELL_BUILD_TESTS=OFF -DVELL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" --target vell -j2 >/dev/null
fi

expected=(bin/vell share/vell/info.json share/applications/vell.desktop share/icons/hicolor/scalable/apps/vell.svg)
failures=0
fail() { echo "FAIL: $1"; failures=$((failures + 1)); }

DESTDIR="$scratch/destdir" cmake --install "$build" --prefix /usr >/dev/null
(cd "$scratch" && cpack -B "$scratch/deb" --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$scratch"/deb/vell_*.deb)
dpkg-deb -x "$deb" "$scratch/unpacked"
for root in destdir unpacked; do
  for f in "${expected[@]}"; do [[ -f "$scratch/$root/usr/$f" ]] || fail "$root lacks $f"; done
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libgtk-3-0 libwebkit2gtk-4.1-0 libpulse0 at-spi2-core; do
  [[ "$depends" == *"$lib"* ]] || fail ".deb does not depend on $lib"
done

entry="$scratch/unpacked/usr/share/applications/vell.desktop"
desktop-file-validate "$entry" || fail "desktop-file-validate"
grep -qx 'Exec=vell %u' "$entry" || fail "Exec line"
grep -qx 'MimeType=x-scheme-handler/vell;' "$entry" || fail "MimeType line"
python3 -c 'import json,sys; json.load(open(sys.argv[1]))["VellAPIBase"]' "$scratch/unpacked/usr/share/vell/info.json" \
  || fail "deployment file"

((failures == 0)) && echo "install check: everything in place" || exit 1
