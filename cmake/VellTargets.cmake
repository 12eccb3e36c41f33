# Warnings are errors in our own code only; third-party headers come in as
# system includes through their imported targets.
add_library(vell_warnings INTERFACE)
target_compile_options(vell_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror -Wno-missing-field-initializers)

# vell_library(NAME SOURCES ... LIBS ...): one static library per module.
function(vell_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS} PRIVATE vell_warnings)
endfunction()

# vell_unit_test(NAME SOURCES ... LIBS ... [ENVIRONMENT VAR=VALUE]): logic on the
# fake platform; each test case is its own CTest test, labelled "unit".
function(vell_unit_test name)
  cmake_parse_arguments(ARG "" "ENVIRONMENT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE vell_test_support ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main vell_warnings)
  set(environment "")
  if(DEFINED ARG_ENVIRONMENT)
    set(environment ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name} TEST_PREFIX "${name}." PROPERTIES LABELS unit TIMEOUT 60 ${environment} DISCOVERY_TIMEOUT 60)
  add_dependencies(unit_tests ${name})
endfunction()

# vell_integration_test(NAME SOURCES ... LIBS ... [TIMEOUT s] [WM]): runs inside its own
# headless desktop session (Xvfb, D-Bus with AT-SPI, a private sound server;
# with WM also the openbox window manager).
function(vell_integration_test name)
  cmake_parse_arguments(ARG "WM" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE vell_test_support ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main vell_warnings)
  set(session_options)
  if(ARG_WM)
    set(session_options --wm)
  endif()
  add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/scripts/headless-session.sh ${session_options} $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES LABELS integration TIMEOUT ${ARG_TIMEOUT})
  add_dependencies(integration_tests ${name})
endfunction()

# vell_module(NAME LIBS ...): a module library from every .cpp file in the
# current folder (an interface library while the folder has none yet).
function(vell_module name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    vell_library(${name} SOURCES ${sources} LIBS ${ARG_LIBS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_LIBS})
  endif()
endfunction()
