# The demos' simulation step (UserSimulation), shared by graspdemo and ghostdemo.
if(NOT TARGET demo_simulation)
  add_library(demo_simulation STATIC ${CMAKE_CURRENT_LIST_DIR}/usersimulation.cpp)
  add_library(demos::simulation ALIAS demo_simulation)
  target_include_directories(demo_simulation PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
  target_link_libraries(demo_simulation PUBLIC platform::handsim)
endif()
