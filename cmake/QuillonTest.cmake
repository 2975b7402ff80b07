# quillon_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [ENV ...] [TIMEOUT s])
# One GoogleTest executable, each of its tests registered with CTest.
find_package(GTest REQUIRED)
include(GoogleTest)

function(quillon_add_test)
  cmake_parse_arguments(QT "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  if(NOT QT_TIMEOUT)
    set(QT_TIMEOUT 120)
  endif()
  add_executable(${QT_NAME} ${QT_SOURCES})
  target_link_libraries(${QT_NAME} PRIVATE ${QT_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  # The tests' own helpers by folder ("skype/RecordingTransport.h"); the code
  # under test only through what the test links, as for the program itself.
  target_include_directories(${QT_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  set(labels unit ${QT_LABELS})
  gtest_discover_tests(${QT_NAME} DISCOVERY_TIMEOUT 60 TEST_LIST ${QT_NAME}_TESTS)
  # The discovery flattens list-valued PROPERTIES (a second label would be
  # read as a property name), so the properties are set by a script CTest
  # runs after the discovered tests of this target are defined.
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${QT_NAME}_properties.cmake")
  file(WRITE "${script}"
    "if(${QT_NAME}_TESTS)\n"
    "  set_tests_properties(\${${QT_NAME}_TESTS} PROPERTIES\n"
    "    LABELS \"${labels}\" TIMEOUT ${QT_TIMEOUT} ENVIRONMENT \"${QT_ENV}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()
