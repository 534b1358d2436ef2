# Cross builds for Windows run their test programs under Wine through a
# generated wrapper, <build>/wine-run.sh, which CMake uses as the emulator for
# add_test and gtest_discover_tests. The toolchain file finds Wine (ORV_WINE).
if(NOT (WIN32 AND CMAKE_CROSSCOMPILING AND ORV_WINE))
  return()
endif()

get_filename_component(_orv_wine_dir ${ORV_WINE} DIRECTORY)
find_program(ORV_WINESERVER NAMES wineserver64 wineserver
             HINTS ${_orv_wine_dir} PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
set(ORV_WINEPREFIX ${CMAKE_BINARY_DIR}/wine-prefix CACHE PATH
    "Wine prefix in which the tests of this build run")
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                      GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

# Creates the prefix at build time: done by the first test instead, its 15 s
# would run into the time limit of the test discovery.
add_custom_command(
  OUTPUT ${ORV_WINEPREFIX}/.orv-booted
  COMMAND env WINEPREFIX=${ORV_WINEPREFIX} ${CMAKE_BINARY_DIR}/wine-run.sh cmd.exe /c exit
  COMMENT "Creating the Wine prefix for the tests"
  VERBATIM)
add_custom_target(orv_wine_prefix ALL DEPENDS ${ORV_WINEPREFIX}/.orv-booted)
