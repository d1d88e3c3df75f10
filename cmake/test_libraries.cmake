# Finds the libraries of the tests and the benchmarks. Where one is missing,
# its part is left out with a message and the rest builds: OSTREL_BUILD_TESTS
# and OSTREL_BUILD_BENCH become OFF (normal variables over the cache's options)
# for the whole project. Included by the top-level CMakeLists.txt.
#
# The tests need GoogleTest: the installed one (Debian: libgtest-dev) or, in a
# cross build (Debian ships no MinGW build of it), its sources, built with the
# tests (Debian: googletest, in /usr/src/googletest; another folder can be named
# with -DOSTREL_GTEST_SOURCE_DIR=...).

if(NOT BUILD_TESTING)
  set(OSTREL_BUILD_TESTS OFF)
  set(OSTREL_BUILD_BENCH OFF)
endif()

if(OSTREL_BUILD_TESTS)
  if(CMAKE_CROSSCOMPILING)
    # The sources are the host's files, outside the cross build's root (where an
    # installed GoogleTest would be the host's, not the target's).
    find_path(OSTREL_GTEST_SOURCE_DIR NAMES googletest/include/gtest/gtest.h
      PATHS /usr/src/googletest /usr/local/src/googletest
      NO_CMAKE_FIND_ROOT_PATH
      DOC "GoogleTest's sources, built with the tests of a cross build")
    if(OSTREL_GTEST_SOURCE_DIR AND NOT EXISTS ${OSTREL_GTEST_SOURCE_DIR}/googletest/include/gtest/gtest.h)
      message(FATAL_ERROR "OSTREL_GTEST_SOURCE_DIR=${OSTREL_GTEST_SOURCE_DIR} holds no GoogleTest sources "
        "(googletest/include/gtest/gtest.h)")
    endif()
    set(OSTREL_GTEST_FROM ${OSTREL_GTEST_SOURCE_DIR})
  else()
    find_package(GTest QUIET)
    if(GTest_FOUND)
      set(OSTREL_GTEST_FROM installed)
    endif()
  endif()
  if(NOT OSTREL_GTEST_FROM)
    message(NOTICE "ostrel: GoogleTest not found (Debian: libgtest-dev; for a cross build, its "
      "sources: googletest, or -DOSTREL_GTEST_SOURCE_DIR=...): the tests are not built. "
      "-DOSTREL_BUILD_TESTS=OFF leaves them out without this message.")
    set(OSTREL_BUILD_TESTS OFF)
  endif()
endif()

if(OSTREL_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(NOTICE "ostrel: Google Benchmark not found (Debian: libbenchmark-dev): the "
      "benchmarks are not built. -DOSTREL_BUILD_BENCH=OFF leaves them out without this message.")
    set(OSTREL_BUILD_BENCH OFF)
  endif()
endif()
