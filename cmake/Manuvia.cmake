# Helpers shared by every folder of the project.

# A sanitized module built by clang leaves the sanitizer runtimes to the program that loads it,
# so only then may a library keep undefined symbols; everything else resolves at link time.
function(manuvia_no_undefined target)
  if(NOT (MANUVIA_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang"))
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# manuvia_add_plugin(<name> SOURCES <src>... [LIBS <lib>...] [DEVICE_MANAGER]
#                    [OUTPUT_DIRECTORY <dir>] [VERSION_SCRIPT <file>])
# A loadable module exporting only its interface (everything else hidden, no "lib" prefix).
# DEVICE_MANAGER: a device-manager plug-in, built into the core's plug-in folder, finding the
# core beside its folder once installed, and installed there.
function(manuvia_add_plugin name)
  cmake_parse_arguments(ARG "DEVICE_MANAGER" "OUTPUT_DIRECTORY;VERSION_SCRIPT" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES
    PREFIX "" CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  if(ARG_DEVICE_MANAGER)
    set_target_properties(${name} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${RZ_PLUGIN_DIR}
      BUILD_RPATH "$<TARGET_FILE_DIR:VXS_DeviceManagerCore>" INSTALL_RPATH "$ORIGIN/..")
    include(GNUInstallDirs)
    install(TARGETS ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/rzplugins)
  endif()
  if(ARG_OUTPUT_DIRECTORY)
    set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY})
  endif()
  # Only the listed entry points leave the library, also of the static libraries linked in.
  if(ARG_VERSION_SCRIPT)
    target_link_options(${name} PRIVATE -Wl,--version-script=${ARG_VERSION_SCRIPT})
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${ARG_VERSION_SCRIPT})
  endif()
  manuvia_no_undefined(${name})
endfunction()

# Runs a test program with an X display of its own when the caller has none.
set(MANUVIA_WITH_DISPLAY ${PROJECT_SOURCE_DIR}/scripts/with_display.sh)

# manuvia_label_discovered(<test list> <labels>)
# Labels the tests gtest_discover_tests finds into <test list> when ctest loads them. Its own
# PROPERTIES flatten a list of labels into separate arguments, keeping only the first.
function(manuvia_label_discovered list labels)
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${list}_labels.cmake)
  file(WRITE ${file} "if(${list})\n  set_tests_properties(\${${list}} PROPERTIES LABELS \"${labels}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

# manuvia_add_gtest(<name> LABELS <label>... SOURCES <src>... [LIBS <lib>...] [TIMEOUT <s>]
#                   [SLOW <gtest filter>] [DISPLAY])
# One GoogleTest program; every test case becomes a CTest test carrying the labels. The cases
# the SLOW filter selects (GoogleTest syntax, "Suite.*:Other.Case") also carry the label
# "slow", which `ctest -LE slow` leaves out. DISPLAY: the program draws on an X display.
function(manuvia_add_gtest name)
  if(NOT MANUVIA_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "DISPLAY" "TIMEOUT;SLOW" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(ARG_DISPLAY)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${MANUVIA_WITH_DISPLAY})
  endif()
  if(ARG_SLOW)
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      TEST_FILTER "${ARG_SLOW}"
      TEST_LIST ${name}_slow
      PROPERTIES TIMEOUT ${ARG_TIMEOUT}
      DISCOVERY_TIMEOUT 60)
    set(_filter "-${ARG_SLOW}")
  else()
    set(_filter "*")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    TEST_FILTER "${_filter}"
    TEST_LIST ${name}_quick
    PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
  manuvia_label_discovered(${name}_quick "${ARG_LABELS}")
  if(ARG_SLOW)
    manuvia_label_discovered(${name}_slow "${ARG_LABELS};slow")
  endif()
endfunction()
