# A MinGW build links the C and C++ runtime as DLLs (never statically: host
# and plug-ins must share one libstdc++-6.dll, since std::string and
# std::vector cross the driver table). Every program and plug-in in <build>/bin
# imports them, so they are copied there on every build, which also lets the
# tests and the release package pick them up from one place.
if(NOT ORV_MINGW_RUNTIME_DLLS)
  return()
endif()

set(_orv_runtime_copies "")
foreach(dll IN LISTS ORV_MINGW_RUNTIME_DLLS)
  get_filename_component(name ${dll} NAME)
  list(APPEND _orv_runtime_copies ${CMAKE_BINARY_DIR}/bin/${name})
endforeach()
add_custom_command(
  OUTPUT ${_orv_runtime_copies}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ORV_MINGW_RUNTIME_DLLS} ${CMAKE_BINARY_DIR}/bin
  DEPENDS ${ORV_MINGW_RUNTIME_DLLS}
  COMMENT "Copying the MinGW runtime DLLs to bin/"
  VERBATIM)
add_custom_target(orv_mingw_runtime_dlls ALL DEPENDS ${_orv_runtime_copies})
