# The GTK window the fill, paste and panel tests and the benchmarks fill and
# paste into, run in its own process (FormFixture.cpp). Included by whichever
# comes first.
include_guard(GLOBAL)
add_executable(vell_fill_form_fixture ${CMAKE_CURRENT_LIST_DIR}/FormFixture.cpp)
target_link_libraries(vell_fill_form_fixture PRIVATE
  PkgConfig::GTK PkgConfig::X11 nlohmann_json::nlohmann_json vell_warnings)
