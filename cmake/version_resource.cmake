# The VERSIONINFO resource of a Windows file of this project: file and product
# version from the project's VERSION (the one place the version is written),
# company, product and the file's own description, as U.S. English strings in
# Unicode (string table 040904B0, translation 0x0409 1200). Every DLL and
# program the release ships calls it once, after add_library/add_executable:
#
#   stub_version_resource(TARGET DESCRIPTION "text" ORIGINAL_NAME File.dll)
#
# The resource is compiled by windres in an object library of its own, so the
# target's compile options (which windres does not take) never reach it.
# windres writes no time stamp and the .rc names no build path: the file's
# bytes stay the same from build to build.
set(STUB_PRODUCT_NAME "Stub COM in-process server for style packages")
set(STUB_COMPANY_NAME "The Stub project" CACHE STRING
    "CompanyName of the version resource of every Windows file")
# The binary version as version.dll answers it: (major << 16 | minor) and
# (patch << 16 | tweak), missing parts counted as 0.
foreach(part MAJOR MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    set(STUB_VERSION_${part} 0)
  else()
    set(STUB_VERSION_${part} ${PROJECT_VERSION_${part}})
  endif()
endforeach()
math(EXPR STUB_VERSION_MS "(${STUB_VERSION_MAJOR} << 16) | ${STUB_VERSION_MINOR}")
math(EXPR STUB_VERSION_LS "(${STUB_VERSION_PATCH} << 16) | ${STUB_VERSION_TWEAK}")

function(stub_version_resource target)
  cmake_parse_arguments(PARSE_ARGV 1 STUB_VR "" "DESCRIPTION;ORIGINAL_NAME" "")
  if(NOT STUB_VR_DESCRIPTION OR NOT STUB_VR_ORIGINAL_NAME)
    message(FATAL_ERROR "stub_version_resource(${target}): DESCRIPTION and ORIGINAL_NAME are required")
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(STUB_VR_FILE_TYPE VFT_DLL)
  else()
    set(STUB_VR_FILE_TYPE VFT_APP)
  endif()
  string(REGEX REPLACE "\\.[^.]*$" "" STUB_VR_INTERNAL_NAME "${STUB_VR_ORIGINAL_NAME}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  add_library(${target}_version OBJECT ${rc})
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_version>)
endfunction()
