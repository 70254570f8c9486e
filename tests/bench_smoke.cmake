# The benchmark driver, once at its tiny sizes, so the benchmarks cannot rot:
# every figure gets a row with a number in it. No timing is judged.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME bench_smoke
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/bench/smoke_check.py ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(bench_smoke PROPERTIES
  ENVIRONMENT "${FLASH3_TEST_ENV}"
  TIMEOUT 600
  # Eight runs at once and the idle figures: alone, so other tests do not starve them.
  RUN_SERIAL TRUE
  LABELS bench)
