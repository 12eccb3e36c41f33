# The quick start. Each installs what is missing and builds what it needs first.
PREFIX ?= $(HOME)/.local
.PHONY: run test install uninstall deb
run:
	@bash scripts/run.sh
test:
	@bash scripts/test.sh
# Into a prefix in the home folder (default ~/.local); registers vell:// for this user.
install:
	@bash scripts/install-deps.sh
	@cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build --target vell -j"$$(nproc)"
	@cmake --install build --prefix "$(PREFIX)"
uninstall:
	@if [ -f build/install_manifest.txt ]; then xargs rm -fv < build/install_manifest.txt; fi
	@command -v update-desktop-database >/dev/null && update-desktop-database "$(PREFIX)/share/applications" || true
	@rm -fv "$${XDG_CONFIG_HOME:-$$HOME/.config}/autostart/vell.desktop"
# A Debian package in build/ (vell_<version>_<arch>.deb).
deb:
	@bash scripts/install-deps.sh
	@cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build --target vell -j"$$(nproc)"
	@cd build && cpack
