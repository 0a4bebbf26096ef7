# The toolkit's devices on real hardware: kpxIOConn, kpxVexaGlove, kpxTracker and
# kpxVexaGrasp, reached through the device registry and the device manager. A target of its
# own so the rest of the toolkit (and palmdesk) need not link the device library.
# mbplugin/devices is added after this folder; the link resolves once both exist.
if(NOT "mbplugin/devices" IN_LIST MANUVIA_ONLY AND NOT "mbplugin" IN_LIST MANUVIA_ONLY
   AND MANUVIA_ONLY)
  message(STATUS "platform/handsim: handsim_devices skipped (needs mbplugin/devices)")
  return()
endif()

add_library(handsim_devices STATIC
  kpxioconn.cpp
  kpxvexaglove.cpp
  kpxtracker.cpp
  kpxvexagrasp.cpp)
add_library(platform::handsim_devices ALIAS handsim_devices)
target_link_libraries(handsim_devices PUBLIC platform::handsim mbplugin::devices)

manuvia_add_gtest(handsim_devices_tests LABELS handsim
  SOURCES tests/iodevices_test.cpp
  LIBS platform::handsim_devices platform::devicemanager)
if(TARGET handsim_devices_tests)
  # The plug-ins and kelbsim are added after this folder; wire them up once all exist.
  function(handsim_devices_wire_peers)
    foreach(peer glove linemux forcesim)
      if(TARGET ${peer})
        add_dependencies(handsim_devices_tests ${peer})
      endif()
    endforeach()
    if(TARGET kelbsim)
      add_dependencies(handsim_devices_tests kelbsim)
      target_compile_definitions(handsim_devices_tests PRIVATE
        KELBSIM_PATH="$<TARGET_FILE:kelbsim>")
    endif()
  endfunction()
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL handsim_devices_wire_peers)
endif()
