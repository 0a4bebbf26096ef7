# The demos' simulated devices as a CTest fixture: scripts/demo.sh starts kelbsim and writes
# a registry and configuration into the build folder before the first test that requires
# "demo_devices", and stops it after the last.
#
# demos_add_gtest(<name> SOURCES <src>... [LIBS <lib>...] [TIMEOUT <s>] [DISPLAY] [SLOW]) adds a
# GoogleTest program labelled "demos" whose tests require the fixture. The program is compiled
# with
#   DEMO_STATE_DIR   the fixture's folder (env, devices.json, devicemanager.conf, forces.bin)
#   DEMO_BIN_DIR     where the demos are built
#   DEMO_SCRIPT      scripts/demo.sh
# and reads DEMO_STATE_DIR/env for the variables a demo needs. The tests take the devices in
# turn (one glove link, opened exclusively). DISPLAY: the program runs on an X display. SLOW:
# its tests carry the label "slow" too.
# Set for every includer; what follows is defined once.
set(DEMO_STATE_DIR ${CMAKE_BINARY_DIR}/demo-devices)
include_guard(GLOBAL)

if(MANUVIA_TESTS)
  add_test(NAME demos_devices_start
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/demo.sh --build ${CMAKE_BINARY_DIR} --start ${DEMO_STATE_DIR})
  add_test(NAME demos_devices_stop
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/demo.sh --stop ${DEMO_STATE_DIR})
  set_tests_properties(demos_devices_start PROPERTIES FIXTURES_SETUP demo_devices LABELS demos)
  set_tests_properties(demos_devices_stop PROPERTIES FIXTURES_CLEANUP demo_devices LABELS demos)
endif()

function(demos_add_gtest name)
  if(NOT MANUVIA_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "DISPLAY;SLOW" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  set(_labels demos)
  if(ARG_SLOW)
    list(APPEND _labels slow)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 180)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(ARG_DISPLAY)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${MANUVIA_WITH_DISPLAY})
  endif()
  target_compile_definitions(${name} PRIVATE
    DEMO_STATE_DIR="${CMAKE_BINARY_DIR}/demo-devices"
    DEMO_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
    DEMO_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/demo.sh")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    TEST_LIST ${name}_all
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} FIXTURES_REQUIRED demo_devices RESOURCE_LOCK demo_devices
    DISCOVERY_TIMEOUT 60)
  manuvia_label_discovered(${name}_all "${_labels}")
  # The peers a demo test talks to, built with it.
  add_dependencies(${name} kelbsim forcesim glove linemux)
endfunction()
