# Fault injection end to end (flash3-cli against flash3-sim over a pty) and a
# short soak of many runs with random images and faults.
add_executable(test_faults_e2e test_faults_e2e.cpp process_harness.h)
target_link_libraries(test_faults_e2e PRIVATE flash3_test_main)
target_include_directories(test_faults_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(test_faults_e2e flash3-cli flash3-sim)
gtest_discover_tests(test_faults_e2e PROPERTIES ENVIRONMENT "${FLASH3_TEST_ENV}" TIMEOUT 120 DISCOVERY_TIMEOUT 30)

# The long-lived program of the soak: the desktop program's windows when they
# are built, else the window model alone.
add_executable(flash3-soak-driver ${CMAKE_CURRENT_SOURCE_DIR}/soak/soak_driver.cpp)
if(TARGET flash3ui)
  target_link_libraries(flash3-soak-driver PRIVATE flash3ui)
  target_compile_definitions(flash3-soak-driver PRIVATE FLASH3_SOAK_UI)
else()
  target_link_libraries(flash3-soak-driver PRIVATE flash3core)
endif()

# A short soak: 50 CLI runs with random images and faults (fixed seed), then
# 60 runs in one long-lived process, then two small station runs of 8 ports. Under the sanitizers memory is not
# judged (ASan's quarantine grows by design; its leak check runs instead).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(soak_args --build ${CMAKE_BINARY_DIR} --runs 50 --seed 1 --gui-runs 60
  --station-runs 2 --station-ports 8-8 --station-lines 2-4)
if(FLASH3_SANITIZE)
  list(APPEND soak_args --no-memory-check)
endif()
add_test(NAME soak_short COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/soak/soak.py ${soak_args})
set_tests_properties(soak_short PROPERTIES ENVIRONMENT "${FLASH3_TEST_ENV}" TIMEOUT 900)
