# The desktop program's windows, clicked through on the offscreen platform.
if(TARGET flash3ui)
  add_executable(test_ui
    engine_harness.h
    process_harness.h
    test_ui_main.cpp
    test_ui_windows.cpp
    test_ui_layout.cpp
    test_ui_run.cpp
    test_ui_logs.cpp
    ui_harness.h)
  target_link_libraries(test_ui PRIVATE flash3ui flash3_test_main Qt6::Test)
  target_include_directories(test_ui PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  # Start-up is also tried on the desktop program itself.
  add_dependencies(test_ui flash3)
  if(TARGET flash3-sim)
    # One run goes against the virtual device over a pseudo-terminal.
    add_dependencies(test_ui flash3-sim)
  endif()
  gtest_discover_tests(test_ui PROPERTIES ENVIRONMENT "${FLASH3_TEST_ENV}" TIMEOUT 120 DISCOVERY_TIMEOUT 30)

  # The screenshot tool draws every window without failing.
  if(TARGET flash3-screenshots)
    add_test(NAME ui_screenshots COMMAND flash3-screenshots ${CMAKE_BINARY_DIR}/screenshots)
    set_tests_properties(ui_screenshots PROPERTIES ENVIRONMENT "${FLASH3_TEST_ENV}")
  endif()
endif()
