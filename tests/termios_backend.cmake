add_executable(test_termios_backend test_termios_backend.cpp)
target_link_libraries(test_termios_backend PRIVATE flash3core GTest::gtest_main)
gtest_discover_tests(test_termios_backend)

# The driver's own rules over the fake backend (also run under Wine by
# ./run.sh test-windows).
add_executable(test_driver windows/test_driver.cpp)
target_link_libraries(test_driver PRIVATE flash3serial GTest::gtest_main)
gtest_discover_tests(test_driver DISCOVERY_TIMEOUT 30)
