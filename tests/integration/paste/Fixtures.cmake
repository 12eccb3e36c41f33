# Fixture programs of the paste scene (tests/integration/paste/PasteScene.h):
# a GTK window with a focused entry, the paste target, and another program
# that owns or reads the clipboard. Included by the integration test and the
# benchmark, whichever comes first.
include_guard(GLOBAL)
foreach(fixture EntryWindow ClipboardTool)
  string(REGEX REPLACE "([a-z])([A-Z])" "\\1_\\2" snake ${fixture})
  string(TOLOWER "vell_paste_${snake}" target)
  add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${fixture}.cpp)
  target_link_libraries(${target} PRIVATE PkgConfig::GTK PkgConfig::X11 vell_warnings)
endforeach()

# vell_paste_scene(TARGET): lets TARGET start the fixtures.
function(vell_paste_scene target)
  target_compile_definitions(${target} PRIVATE
    VELL_PASTE_ENTRY_WINDOW="$<TARGET_FILE:vell_paste_entry_window>"
    VELL_PASTE_CLIPBOARD_TOOL="$<TARGET_FILE:vell_paste_clipboard_tool>")
  add_dependencies(${target} vell_paste_entry_window vell_paste_clipboard_tool)
  # The scene starts its fixtures through the tests' one process helper.
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
endfunction()
