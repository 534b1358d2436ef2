# Windows version resources: the product, maker, version and description that
# Windows shows in a DLL's or program's properties (Details tab) and that
# installers and support staff read to tell files apart.
#
#   orv_add_version_resource(TARGET "File description")
#
# gives an executable or shared library target a VERSIONINFO resource with
# that description, ORV_PRODUCT_NAME, ORV_COMPANY_NAME, the top-level
# project's VERSION (as numbers and as text) and the target's own file name.
# Anywhere but Windows it does nothing, and the RC language is enabled only
# for Windows builds, so Linux builds need no resource compiler.
#
# Include this file from the top-level CMakeLists.txt: enable_language() must
# be called there, above every target that links a resource.
set(ORV_PRODUCT_NAME "Emulated incubator-controller drivers")
# The name the release zips carry.
set(ORV_COMPANY_NAME "orv-emulated-drivers")

if(WIN32)
  enable_language(RC)
endif()

set(_orv_version_rc_template ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# A string as an RC string literal's contents: a quote is written twice.
function(_orv_rc_string out value)
  string(REPLACE "\"" "\"\"" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

function(orv_add_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(ORV_RC_FILE_TYPE 0x1L)
  elseif(type MATCHES "^(SHARED|MODULE)_LIBRARY$")
    set(ORV_RC_FILE_TYPE 0x2L)
  else()
    message(FATAL_ERROR "orv_add_version_resource: ${target} is a ${type}; "
                        "only programs and DLLs carry a version resource")
  endif()
  if(description STREQUAL "")
    message(FATAL_ERROR "orv_add_version_resource: ${target} needs a file description")
  endif()

  # The top-level project's version, even if called below another project().
  set(numbers "")
  foreach(part MAJOR MINOR PATCH TWEAK)
    set(number "${CMAKE_PROJECT_VERSION_${part}}")
    if(number STREQUAL "")
      set(number 0)
    endif()
    list(APPEND numbers ${number})
  endforeach()
  list(JOIN numbers "," ORV_RC_VERSION_NUMBERS)
  set(ORV_RC_VERSION "${CMAKE_PROJECT_VERSION}")
  set(ORV_RC_TARGET ${target})
  _orv_rc_string(ORV_RC_FILE_DESCRIPTION "${description}")
  _orv_rc_string(ORV_RC_PRODUCT_NAME "${ORV_PRODUCT_NAME}")
  _orv_rc_string(ORV_RC_COMPANY_NAME "${ORV_COMPANY_NAME}")

  # Configured now, then the file names filled in at generate time, when
  # every property that decides them is set.
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${_orv_version_rc_template} ${rc}.in @ONLY)
  file(GENERATE OUTPUT ${rc} INPUT ${rc}.in)

  # Compiled in a target of its own, whose options start empty: the options
  # meant for the C++ compiler (warnings, floating-point flags) would make
  # windres fail.
  add_library(${target}_version_resource OBJECT ${rc})
  set_target_properties(${target}_version_resource PROPERTIES COMPILE_OPTIONS "")
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_version_resource>)
endfunction()
