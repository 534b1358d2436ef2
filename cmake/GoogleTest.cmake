# Provides GoogleTest (GTest::gtest, GTest::gtest_main, GTest::gmock) and sets
# GTest_FOUND, before any folder asks for it with find_package(GTest).
#
# A native build uses the installed libraries. A cross build (MinGW, -m32)
# cannot: the installed libraries are for the build machine. It compiles
# Debian's GoogleTest source instead with the target's compiler and flags.
set(ORV_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest source tree that cross builds compile (Debian package googletest)")

if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest)
  return()
endif()

if(NOT EXISTS ${ORV_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(STATUS "No GoogleTest source in ${ORV_GOOGLETEST_SOURCE_DIR}: tests are not built")
  set(GTest_FOUND FALSE)
  return()
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${ORV_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Later find_package(GTest) calls, in this folder or a sub-folder, find the
# targets just made through an empty package configuration.
set(_orv_gtest_config_dir ${CMAKE_BINARY_DIR}/googletest/config)
file(WRITE ${_orv_gtest_config_dir}/GTestConfig.cmake
     "# The GTest:: targets were added from source by cmake/GoogleTest.cmake.\n")
set(GTest_DIR ${_orv_gtest_config_dir} CACHE PATH "GoogleTest package configuration" FORCE)
find_package(GTest CONFIG REQUIRED)
