# flash3-sim's tests; needs only the sim library and GoogleTest.
include(GoogleTest)
add_executable(test_sim
  ${CMAKE_CURRENT_LIST_DIR}/sim_harness.h
  ${CMAKE_CURRENT_LIST_DIR}/test_sim_image.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_sim_options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_sim_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_sim_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_sim_station.cpp)
target_link_libraries(test_sim PRIVATE flash3sim_lib GTest::gtest_main)
set_target_properties(test_sim PROPERTIES AUTOMOC OFF)
# The prefix lets "ctest -R sim" pick out every test of the virtual device.
gtest_discover_tests(test_sim TEST_PREFIX "sim.")
