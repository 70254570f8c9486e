add_executable(test_cli_e2e test_cli_e2e.cpp process_harness.h)
target_link_libraries(test_cli_e2e PRIVATE flash3_test_main)
target_include_directories(test_cli_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(test_cli_e2e flash3-cli flash3-sim)
gtest_discover_tests(test_cli_e2e PROPERTIES ENVIRONMENT "${FLASH3_TEST_ENV}" TIMEOUT 120 DISCOVERY_TIMEOUT 30)

# The CLI's own parts, called directly.
add_executable(test_cli_parts test_cli_parts.cpp)
target_link_libraries(test_cli_parts PRIVATE flash3cli_lib flash3_test_main)
target_include_directories(test_cli_parts PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(test_cli_parts PROPERTIES ENVIRONMENT "${FLASH3_TEST_ENV}" DISCOVERY_TIMEOUT 30)

# Several ports at once: verdicts, the log file and the JSON report.
add_executable(test_station_e2e test_station_e2e.cpp process_harness.h)
target_link_libraries(test_station_e2e PRIVATE flash3_test_main)
target_include_directories(test_station_e2e PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(test_station_e2e flash3-cli flash3-sim)
gtest_discover_tests(test_station_e2e PROPERTIES ENVIRONMENT "${FLASH3_TEST_ENV}" TIMEOUT 120 DISCOVERY_TIMEOUT 30)
