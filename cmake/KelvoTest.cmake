# kelvo_add_test(NAME name SOURCES ... LIBS ... [LABELS ...])
# One GoogleTest executable; each test case becomes a CTest test. The label
# "threaded" marks suites that the ThreadSanitizer pass runs.
function(kelvo_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${T_NAME} PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60)
endfunction()
