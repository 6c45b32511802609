# kestrix_add_test(NAME SOURCES a.cpp ... LIBS lib ... [THREADED] [REALTIME] [TIMEOUT s])
# One executable per test file so that each runs alone; THREADED suites also run under TSan.
# REALTIME suites demand that no frame is lost while a simulated camera streams at its real rate:
# a CPU-heavy suite beside them can starve the receiver, so ctest runs them with nothing else.
function(kestrix_add_test name)
  cmake_parse_arguments(T "THREADED;REALTIME" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(KESTRIX_SANITIZE STREQUAL "thread" AND NOT T_THREADED)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    KESTRIX_BINARY_DIR="${PROJECT_BINARY_DIR}" KESTRIX_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(labels unit)
  if(T_THREADED)
    set(labels threaded)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${labels}")
  if(T_REALTIME)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()

# kestrix_realtime_flag(VAR NAME LIST...): VAR becomes REALTIME when NAME is in the list.
function(kestrix_realtime_flag var name)
  set(${var} "" PARENT_SCOPE)
  if(name IN_LIST ARGN)
    set(${var} REALTIME PARENT_SCOPE)
  endif()
endfunction()

# kestrix_fw_rerun(TEST [FILTER PATTERN]): the suite once more against kestrix-fwd over the fake
# kernel (label fw), limited to the gtest filter PATTERN when given. Left out under
# ThreadSanitizer, whose runtime cannot follow the preloaded fake's threads.
function(kestrix_fw_rerun name)
  cmake_parse_arguments(F "" "FILTER" "" ${ARGN})
  if(NOT TARGET ${name} OR KESTRIX_SANITIZE STREQUAL "thread")
    return()
  endif()
  set(arguments)
  if(F_FILTER)
    set(arguments --gtest_filter=${F_FILTER})
  endif()
  add_test(NAME ${name}_fw COMMAND ${name} ${arguments})
  get_test_property(${name} RUN_SERIAL serial)
  get_test_property(${name} TIMEOUT timeout)
  set_tests_properties(${name}_fw PROPERTIES LABELS fw ENVIRONMENT KESTRIX_TEST_BRIDGE=fw
                       TIMEOUT ${timeout})
  if(serial)
    set_tests_properties(${name}_fw PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()
