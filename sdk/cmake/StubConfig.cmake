# The Stub SDK for CMake:
#
#   find_package(Stub CONFIG REQUIRED)   # or Stub X.Y: major version X, at X.Y or later
#   target_link_libraries(my_host PRIVATE Stub::Host)      # the host library and its headers
#   target_link_libraries(my_engine PRIVATE Stub::Headers) # the public headers alone
#
# Stub::Headers  the folder include/ (stub/stub_categories.h, stub/stub_host.h,
#                stub/stub_catalog.h and the engine's headers), nothing to link.
# Stub::Catalog  the package catalog's header with the system libraries a
#                client of StubHost.dll links (ole32, oleaut32, uuid); define
#                its identifiers by including <initguid.h> before
#                stub/stub_catalog.h in one source file, or link
#                Stub::CatalogIdentifiers, which compiles them in from
#                stub/stub_catalog_i.c (a project with C enabled). Any compiler.
# Stub::Host     the host library for the consumer's architecture (lib/x86 or
#                lib/x64, by CMAKE_SIZEOF_VOID_P) with the system libraries it
#                needs (ole32, oleaut32, uuid, advapi32). A GNU archive of
#                mingw-w64 g++ objects: MSVC cannot link it, so with MSVC
#                this package gives Stub::Headers and Stub::Catalog only, and
#                hosts use the package catalog.
# Stub_PROBE_X86, Stub_PROBE_X64
#                StubProbe.exe of each architecture, the process the host
#                library (and the catalog) tries packages in: ship both with
#                the application, in FOLDER\x86 and FOLDER\x64, or the one
#                of the application's own kind beside its program (see
#                docs/hosts.md, "Trying a package out of process").
#
# The release is found from this file's own place (lib/cmake/Stub), wherever
# it was unpacked: point CMAKE_PREFIX_PATH or Stub_DIR at it.
cmake_minimum_required(VERSION 3.16)

get_filename_component(_stub_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_stub_arch x64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_stub_arch x86)
else()
  set(Stub_FOUND FALSE)
  set(Stub_NOT_FOUND_MESSAGE
      "Stub: the consumer's pointer size is unknown (no language enabled before find_package?)")
  return()
endif()
if(NOT WIN32)
  set(Stub_FOUND FALSE)
  set(Stub_NOT_FOUND_MESSAGE "Stub: the SDK is for Windows targets (CMAKE_SYSTEM_NAME Windows)")
  return()
endif()
set(_stub_host_library "${_stub_prefix}/lib/${_stub_arch}/libstubhost.a")
if(NOT EXISTS "${_stub_prefix}/include/stub/stub_host.h" OR
   (NOT MSVC AND NOT EXISTS "${_stub_host_library}"))
  set(Stub_FOUND FALSE)
  set(Stub_NOT_FOUND_MESSAGE
      "Stub: this release holds no ${_stub_arch} host library (${_stub_host_library})")
  return()
endif()

set(Stub_PROBE_X86 "${_stub_prefix}/lib/x86/StubProbe.exe")
set(Stub_PROBE_X64 "${_stub_prefix}/lib/x64/StubProbe.exe")

if(NOT TARGET Stub::Headers)
  add_library(Stub::Headers INTERFACE IMPORTED)
  set_target_properties(Stub::Headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_stub_prefix}/include")
endif()
if(NOT TARGET Stub::Catalog)
  add_library(Stub::Catalog INTERFACE IMPORTED)
  set_target_properties(Stub::Catalog PROPERTIES
    INTERFACE_LINK_LIBRARIES "Stub::Headers;ole32;oleaut32;uuid")
endif()
if(NOT TARGET Stub::CatalogIdentifiers)
  add_library(Stub::CatalogIdentifiers INTERFACE IMPORTED)
  set_target_properties(Stub::CatalogIdentifiers PROPERTIES
    INTERFACE_SOURCES "${_stub_prefix}/include/stub/stub_catalog_i.c"
    INTERFACE_LINK_LIBRARIES "Stub::Catalog")
endif()
if(MSVC)
  if(NOT Stub_FIND_QUIETLY)
    message(STATUS "Stub: MSVC gets Stub::Headers and Stub::Catalog; the host library "
                   "(Stub::Host) is for mingw-w64 only")
  endif()
elseif(NOT TARGET Stub::Host)
  add_library(Stub::Host STATIC IMPORTED)
  set_target_properties(Stub::Host PROPERTIES
    IMPORTED_LOCATION "${_stub_host_library}"
    IMPORTED_LINK_INTERFACE_LANGUAGES CXX
    INTERFACE_LINK_LIBRARIES "Stub::Headers;ole32;oleaut32;uuid;advapi32")
endif()

set(Stub_INCLUDE_DIR "${_stub_prefix}/include")
set(Stub_ARCH "${_stub_arch}")
unset(_stub_prefix)
unset(_stub_arch)
unset(_stub_host_library)
