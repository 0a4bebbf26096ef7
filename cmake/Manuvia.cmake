# Helpers shared by every folder of the project.

# Adds a source folder unless MANUVIA_ONLY names others.
function(manuvia_add_area dir)
  if(MANUVIA_ONLY)
    set(_wanted FALSE)
    foreach(only IN LISTS MANUVIA_ONLY)
      if(dir STREQUAL only OR dir MATCHES "^${only}/")
        set(_wanted TRUE)
      endif()
    endforeach()
    if(NOT _wanted)
      return()
    endif()
  endif()
  add_subdirectory(${dir})
endfunction()

# manuvia_add_gtest(<name> LABELS <label> SOURCES <src>... [LIBS <lib>...] [TIMEOUT <s>])
# One GoogleTest program; every test case becomes a CTest test carrying the labels.
function(manuvia_add_gtest name)
  if(NOT MANUVIA_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT;LABELS" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
endfunction()
