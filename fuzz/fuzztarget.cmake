# manuvia_fuzz_target(<name> SOURCES <src>... [LIBS <lib>...] [DEPENDS <target>...]
#                     [DEFINES <definition>...])
# With MANUVIA_FUZZ: the libFuzzer program <name>. Otherwise, with the tests on: the same entry
# point behind a small main that replays corpus/<name>/ and regressions/<name>/ of the calling
# folder, as the CTest test fuzz.<name> labelled "fuzz", so every build (gcc included) runs
# the inputs the fuzzers once found interesting.
include_guard(GLOBAL)

function(manuvia_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;DEPENDS;DEFINES" ${ARGN})
  if(MANUVIA_FUZZ)
    set(target ${name})
    add_executable(${target} ${ARG_SOURCES})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  elseif(MANUVIA_TESTS)
    set(target ${name}_replay)
    add_executable(${target} ${ARG_SOURCES} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/common/replay_main.cpp)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME fuzz.${name}
      COMMAND ${target} ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name}
              ${CMAKE_CURRENT_SOURCE_DIR}/regressions/${name})
    set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 300)
  else()
    return()
  endif()
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  if(ARG_DEFINES)
    target_compile_definitions(${target} PRIVATE ${ARG_DEFINES})
  endif()
  foreach(dep IN LISTS ARG_DEPENDS)
    if(TARGET ${dep})
      add_dependencies(${target} ${dep})
    endif()
  endforeach()
endfunction()
