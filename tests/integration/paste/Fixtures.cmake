# Fixture programs of the paste scene (tests/integration/paste/PasteScene.h):
# the GTK window whose focused entry is the paste target, and another program
# that owns or reads the clipboard. Included by the integration test and the
# benchmark, whichever comes first.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/../fill/FormFixture.cmake)
add_executable(vell_paste_clipboard_tool ${CMAKE_CURRENT_LIST_DIR}/ClipboardTool.cpp)
target_link_libraries(vell_paste_clipboard_tool PRIVATE PkgConfig::GTK PkgConfig::X11 vell_warnings)

# vell_paste_scene(TARGET): lets TARGET start the fixtures.
function(vell_paste_scene target)
  target_compile_definitions(${target} PRIVATE
    VELL_FORM_FIXTURE="$<TARGET_FILE:vell_fill_form_fixture>"
    VELL_PASTE_CLIPBOARD_TOOL="$<TARGET_FILE:vell_paste_clipboard_tool>")
  add_dependencies(${target} vell_fill_form_fixture vell_paste_clipboard_tool)
  # The scene starts its fixtures through the tests' one process helper.
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support ${PROJECT_SOURCE_DIR}/tests)
endfunction()
