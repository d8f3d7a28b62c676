# kelvo_add_test(NAME name SOURCES ... LIBS ... [LABELS ...])
# One GoogleTest executable; each test case becomes a CTest test. The label
# "threaded" marks suites that the ThreadSanitizer pass runs.
function(kelvo_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  # Discovered tests take one label: a list loses its separators on the way to the
  # discovery script. Several are joined with "_", which ctest -L/-LE still find, as
  # both take a regular expression ("faults_threaded" is in -L faults and -L threaded).
  string(REPLACE ";" "_" labels "${T_LABELS}")
  # Suites that sit through long waits start first, so that they do not end a run alone.
  set(cost 1)
  if("slow" IN_LIST T_LABELS)
    set(cost 1000)
  endif()
  gtest_discover_tests(${T_NAME} PROPERTIES LABELS "${labels}" COST ${cost} DISCOVERY_TIMEOUT 60)
endfunction()
