# Every outside library comes from Debian's packages (scripts/install-deps.sh).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)

pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gio-2.0 gobject-2.0)
pkg_check_modules(GTK REQUIRED IMPORTED_TARGET gtk+-3.0)
pkg_check_modules(GTKMM REQUIRED IMPORTED_TARGET gtkmm-3.0)
pkg_check_modules(WEBKIT REQUIRED IMPORTED_TARGET webkit2gtk-4.1)
pkg_check_modules(ATSPI REQUIRED IMPORTED_TARGET atspi-2)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse libpulse-simple)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 xtst xfixes xi)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(SQLITE REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
pkg_check_modules(SPHINX REQUIRED IMPORTED_TARGET pocketsphinx sphinxbase)
# Debian's sphinxbase.pc names /usr/include/sphinxbase, which the package does
# not ship (its headers are under the multiarch folder); CMake refuses imported
# targets with missing include folders, so keep only the ones that exist.
get_target_property(sphinx_includes PkgConfig::SPHINX INTERFACE_INCLUDE_DIRECTORIES)
list(FILTER sphinx_includes EXCLUDE REGEX "^/usr/include/sphinxbase$")
set_target_properties(PkgConfig::SPHINX PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${sphinx_includes}")
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

if(VELL_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(VELL_BUILD_BENCH AND NOT VELL_SANITIZE)
  find_package(benchmark REQUIRED)
endif()
