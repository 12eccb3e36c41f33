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
expect_files() {  # ROOT LABEL
  for f in "${expected[@]}"; do
    if [[ ! -f "$1/$f" ]]; then echo "FAIL: $2 lacks $f"; failures=$((failures + 1)); fi
  done
}

DESTDIR="$scratch/destdir" cmake --install "$build" --prefix /usr >/dev/null
expect_files "$scratch/destdir/usr" "cmake --install"

(cd "$scratch" && cpack -B "$scratch/deb" --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$scratch"/deb/vell_*.deb)
dpkg-deb -x "$deb" "$scratch/unpacked"
expect_files "$scratch/unpacked/usr" ".deb"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libgtk-3-0 libwebkit2gtk-4.1-0 libpulse0 at-spi2-core; do
  [[ "$depends" == *"$lib"* ]] || { echo "FAIL: .deb does not depend on $lib"; failures=$((failures + 1)); }
done

entry="$scratch/unpacked/usr/share/applications/vell.desktop"
desktop-file-validate "$entry" || failures=$((failures + 1))
grep -qx 'Exec=vell %u' "$entry" || { echo "FAIL: Exec line"; failures=$((failures + 1)); }
grep -qx 'MimeType=x-scheme-handler/vell;' "$entry" || { echo "FAIL: MimeType line"; failures=$((failures + 1)); }
python3 -c 'import json,sys; json.load(open(sys.argv[1]))["VellAPIBase"]' "$scratch/unpacked/usr/share/vell/info.json" \
  || { echo "FAIL: deployment file"; failures=$((failures + 1)); }

((failures == 0)) && echo "install check: everything in place" || exit 1
