# Debian's header-only libraries: CLI11, nlohmann-json and toml11. A native
# build finds them with find_package; a cross build must not see the rest of
# /usr/include, whose Linux headers would shadow the target's, so it reaches
# each through a folder of the build that holds links to that library's
# headers alone.

# Links /usr/include/<entry> for each entry into deps/<name>-include of the
# build, and sets out to that folder.
function(_orv_header_folder name out)
  set(dir ${CMAKE_BINARY_DIR}/deps/${name}-include)
  file(MAKE_DIRECTORY ${dir})
  foreach(entry ${ARGN})
    if(NOT EXISTS ${dir}/${entry})
      file(CREATE_LINK /usr/include/${entry} ${dir}/${entry} SYMBOLIC)
    endif()
  endforeach()
  set(${out} ${dir} PARENT_SCOPE)
endfunction()

# CLI11 (libcli11-dev) for target's own sources.
function(orv_use_cli11 target)
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(CLI11 2 CONFIG REQUIRED)
    target_link_libraries(${target} PRIVATE CLI11::CLI11)
    return()
  endif()
  if(NOT EXISTS /usr/include/CLI/CLI.hpp)
    message(FATAL_ERROR "/usr/include/CLI/CLI.hpp is missing: run tools/setup.sh (libcli11-dev)")
  endif()
  _orv_header_folder(cli11 dir CLI)
  target_include_directories(${target} SYSTEM PRIVATE ${dir})
endfunction()

# nlohmann-json (nlohmann-json3-dev) for target, with scope PRIVATE, PUBLIC
# or INTERFACE.
function(orv_use_json target scope)
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(nlohmann_json 3 REQUIRED)
    target_link_libraries(${target} ${scope} nlohmann_json::nlohmann_json)
    return()
  endif()
  _orv_header_folder(json dir nlohmann)
  target_include_directories(${target} SYSTEM ${scope} ${dir})
endfunction()

# toml11 (libtoml11-dev) for target, with scope as above. A native build
# finds it in /usr/include already.
function(orv_use_toml11 target scope)
  if(NOT EXISTS /usr/include/toml.hpp)
    message(FATAL_ERROR "toml11 (/usr/include/toml.hpp) is missing: run tools/setup.sh (libtoml11-dev)")
  endif()
  if(CMAKE_CROSSCOMPILING)
    _orv_header_folder(toml dir toml.hpp toml)
    target_include_directories(${target} SYSTEM ${scope} ${dir})
  endif()
endfunction()
